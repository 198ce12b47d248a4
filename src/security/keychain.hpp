#pragma once

#include <cstdint>
#include <exception>
#include <filesystem>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tessarine {

// What kind of item an identifier names; the kinds never share a file.
enum class KeychainItemClass { genericPassword, key, certificate };

// How an item is found: a generic password by service and account, a key by its
// application tag, a certificate by its label.
struct KeychainItemId {
    KeychainItemClass itemClass = KeychainItemClass::genericPassword;
    std::string primary;   // service, application tag or label
    std::string secondary; // account (generic passwords only)

    static KeychainItemId genericPassword(std::string service, std::string account);
    static KeychainItemId key(std::string applicationTag);
    static KeychainItemId certificate(std::string label);

    bool operator==(const KeychainItemId&) const = default;
};

// Outcomes that callers branch on; real failures are thrown as KeychainError.
enum class KeychainStatus { success, duplicateItem, itemNotFound };

enum class KeychainErrorCode {
    noHomeDirectory, // neither TESSARINE_HOME, XDG_DATA_HOME nor a home directory
    unsafeDirectory, // owned by another user, accessible to group/others, or a symlink
    ioFailure,       // a system call failed; status() holds errno
    itemTooLarge,    // value above maxItemSize (written or found on disk)
};

class KeychainError : public std::exception {
public:
    KeychainError(KeychainErrorCode code, int status = 0) : code_(code), status_(status) {}
    KeychainErrorCode code() const { return code_; }
    // The failing errno, 0 where no system call failed.
    int status() const { return status_; }
    const char* what() const noexcept override;

private:
    KeychainErrorCode code_;
    int status_;
};

// The per-user private item store: one file per item in a directory that only
// this user can enter (0700, files 0600). Every write goes to a temporary file
// that is synced and then renamed (or linked, for add) over the item, and the
// directory is synced, so a crash leaves either the old or the new value.
// Operations are independent system calls on the directory; any thread may
// use one Keychain. Virtual so tests can interpose on a real keychain.
class Keychain {
public:
    static constexpr std::size_t maxItemSize = 1 << 20;

    // The user's keychain: $TESSARINE_HOME/keychain, else
    // $XDG_DATA_HOME/tessarine/keychain, else ~/.local/share/tessarine/keychain.
    Keychain();
    explicit Keychain(std::filesystem::path directory);
    virtual ~Keychain() = default;

    static std::filesystem::path defaultDirectory();
    const std::filesystem::path& directory() const { return directory_; }

    // duplicateItem when the item exists (it is left untouched).
    virtual KeychainStatus add(const KeychainItemId& id, std::span<const std::uint8_t> value) const;
    virtual std::optional<std::vector<std::uint8_t>> find(const KeychainItemId& id) const;
    // itemNotFound when the item does not exist.
    virtual KeychainStatus update(const KeychainItemId& id,
                                  std::span<const std::uint8_t> value) const;
    // itemNotFound when the item does not exist.
    virtual KeychainStatus remove(const KeychainItemId& id) const;

    // The item's file name inside the directory: a class prefix and the SHA-256
    // of the identifiers, so no identifier can name a path outside it.
    static std::string fileName(const KeychainItemId& id);

private:
    std::filesystem::path directory_;
};

} // namespace tessarine
