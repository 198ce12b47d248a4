#include "security/keychain.hpp"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <openssl/evp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace tessarine {
namespace {

// An owned file descriptor.
class FileDescriptor {
public:
    explicit FileDescriptor(int fd = -1) : fd_(fd) {}
    ~FileDescriptor() { reset(); }
    FileDescriptor(FileDescriptor&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    FileDescriptor& operator=(FileDescriptor&&) = delete;

    int get() const { return fd_; }
    explicit operator bool() const { return fd_ >= 0; }
    // Closes now and reports the result: close() can surface a deferred write error.
    int close() {
        int rc = fd_ >= 0 ? ::close(fd_) : 0;
        fd_ = -1;
        return rc;
    }
    void reset() {
        if (fd_ >= 0)
            ::close(fd_);
        fd_ = -1;
    }

private:
    int fd_;
};

[[noreturn]] void throwIo(int err = errno) {
    throw KeychainError(KeychainErrorCode::ioFailure, err);
}

std::string hex(const unsigned char* data, std::size_t size) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (std::size_t i = 0; i < size; ++i) {
        out += digits[data[i] >> 4];
        out += digits[data[i] & 0x0F];
    }
    return out;
}

// mkdir -p where every directory we create is 0700 whatever the umask.
void createPrivateDirectories(const std::filesystem::path& directory) {
    std::filesystem::path current;
    for (const auto& part : directory) {
        current /= part;
        if (::mkdir(current.c_str(), 0700) == 0) {
            if (::chmod(current.c_str(), 0700) != 0)
                throwIo();
        } else if (errno != EEXIST) {
            throwIo();
        }
    }
}

// Opens (creating if needed) the keychain directory and refuses one that is not
// private to this user. Every later operation is relative to this descriptor,
// so a directory swapped after the check is never written.
FileDescriptor openDirectory(const std::filesystem::path& directory) {
    if (directory.empty())
        throw KeychainError(KeychainErrorCode::noHomeDirectory);
    createPrivateDirectories(directory);
    FileDescriptor fd(::open(directory.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ELOOP || errno == ENOTDIR)
            throw KeychainError(KeychainErrorCode::unsafeDirectory, errno);
        throwIo();
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throwIo();
    if (st.st_uid != ::geteuid() || (st.st_mode & 077) != 0)
        throw KeychainError(KeychainErrorCode::unsafeDirectory);
    return fd;
}

void writeAll(int fd, std::span<const std::uint8_t> value) {
    std::size_t done = 0;
    while (done < value.size()) {
        ssize_t n = ::write(fd, value.data() + done, value.size() - done);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwIo();
        }
        done += static_cast<std::size_t>(n);
    }
}

std::string temporaryName(const std::string& name) {
    static std::atomic<unsigned> counter{0};
    return "." + name + ".tmp-" + std::to_string(::getpid()) + "-" +
           std::to_string(counter.fetch_add(1));
}

// Writes the value to a fresh temporary file in the directory, synced, mode
// 0600 regardless of the umask. Returns its name.
std::string writeTemporary(int dirFd, const std::string& name,
                           std::span<const std::uint8_t> value) {
    if (value.size() > Keychain::maxItemSize)
        throw KeychainError(KeychainErrorCode::itemTooLarge);
    for (int attempt = 0;; ++attempt) {
        std::string tmp = temporaryName(name);
        FileDescriptor fd(::openat(dirFd, tmp.c_str(),
                                   O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd) {
            // A leftover from a crashed process with the same pid: pick another name.
            if (errno == EEXIST && attempt < 100)
                continue;
            throwIo();
        }
        try {
            if (::fchmod(fd.get(), 0600) != 0)
                throwIo();
            writeAll(fd.get(), value);
            if (::fsync(fd.get()) != 0)
                throwIo();
            if (fd.close() != 0)
                throwIo();
        } catch (...) {
            ::unlinkat(dirFd, tmp.c_str(), 0);
            throw;
        }
        return tmp;
    }
}

void syncDirectory(int dirFd) {
    if (::fsync(dirFd) != 0)
        throwIo();
}

bool exists(int dirFd, const std::string& name) {
    struct stat st {};
    if (::fstatat(dirFd, name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        return true;
    if (errno == ENOENT)
        return false;
    throwIo();
}

// Atomically replaces (or creates) the item's file.
void replace(int dirFd, const std::string& name, std::span<const std::uint8_t> value) {
    std::string tmp = writeTemporary(dirFd, name, value);
    if (::renameat(dirFd, tmp.c_str(), dirFd, name.c_str()) != 0) {
        int err = errno;
        ::unlinkat(dirFd, tmp.c_str(), 0);
        throwIo(err);
    }
    syncDirectory(dirFd);
}

} // namespace

const char* KeychainError::what() const noexcept {
    switch (code_) {
    case KeychainErrorCode::noHomeDirectory:
        return "No home directory for the keychain";
    case KeychainErrorCode::unsafeDirectory:
        return "The keychain directory is not private to this user";
    case KeychainErrorCode::ioFailure:
        return "Keychain file operation failed";
    case KeychainErrorCode::itemTooLarge:
        return "Keychain item too large";
    }
    return "Keychain error";
}

KeychainItemId KeychainItemId::genericPassword(std::string service, std::string account) {
    return {KeychainItemClass::genericPassword, std::move(service), std::move(account)};
}

KeychainItemId KeychainItemId::key(std::string applicationTag) {
    return {KeychainItemClass::key, std::move(applicationTag), {}};
}

KeychainItemId KeychainItemId::certificate(std::string label) {
    return {KeychainItemClass::certificate, std::move(label), {}};
}

Keychain::Keychain() : directory_(defaultDirectory()) {}

Keychain::Keychain(std::filesystem::path directory) : directory_(std::move(directory)) {}

std::filesystem::path Keychain::defaultDirectory() {
    auto nonEmpty = [](const char* value) {
        return value != nullptr && *value != '\0';
    };
    if (const char* home = std::getenv("TESSARINE_HOME"); nonEmpty(home))
        return std::filesystem::path(home) / "keychain";
    // XDG: a relative XDG_DATA_HOME is invalid and must be ignored.
    if (const char* data = std::getenv("XDG_DATA_HOME"); nonEmpty(data) && data[0] == '/')
        return std::filesystem::path(data) / "tessarine" / "keychain";
    std::filesystem::path home;
    if (const char* env = std::getenv("HOME"); nonEmpty(env)) {
        home = env;
    } else if (const passwd* pw = ::getpwuid(::geteuid()); pw && nonEmpty(pw->pw_dir)) {
        home = pw->pw_dir;
    } else {
        return {}; // every operation then fails with noHomeDirectory
    }
    return home / ".local" / "share" / "tessarine" / "keychain";
}

std::string Keychain::fileName(const KeychainItemId& id) {
    // Length-prefixed fields keep ("ab","c") and ("a","bc") apart.
    std::string material;
    for (const std::string* field : {&id.primary, &id.secondary}) {
        material += std::to_string(field->size());
        material += ':';
        material += *field;
    }
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int digestSize = 0;
    if (EVP_Digest(material.data(), material.size(), digest, &digestSize, EVP_sha256(), nullptr) !=
        1)
        throw KeychainError(KeychainErrorCode::ioFailure);
    const char* prefix = id.itemClass == KeychainItemClass::genericPassword ? "genp-"
                         : id.itemClass == KeychainItemClass::key           ? "keys-"
                                                                            : "cert-";
    return prefix + hex(digest, digestSize);
}

KeychainStatus Keychain::add(const KeychainItemId& id, std::span<const std::uint8_t> value) const {
    FileDescriptor dir = openDirectory(directory_);
    std::string name = fileName(id);
    if (exists(dir.get(), name))
        return KeychainStatus::duplicateItem;
    std::string tmp = writeTemporary(dir.get(), name, value);
    // link() never replaces an existing name, so a concurrent add cannot be overwritten.
    int rc = ::linkat(dir.get(), tmp.c_str(), dir.get(), name.c_str(), 0);
    int err = errno;
    ::unlinkat(dir.get(), tmp.c_str(), 0);
    if (rc != 0) {
        if (err == EEXIST)
            return KeychainStatus::duplicateItem;
        throwIo(err);
    }
    syncDirectory(dir.get());
    return KeychainStatus::success;
}

std::optional<std::vector<std::uint8_t>> Keychain::find(const KeychainItemId& id) const {
    FileDescriptor dir = openDirectory(directory_);
    std::string name = fileName(id);
    FileDescriptor fd(::openat(dir.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    if (!fd) {
        if (errno == ENOENT)
            return std::nullopt;
        throwIo();
    }
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0)
        throwIo();
    if (!S_ISREG(st.st_mode))
        throw KeychainError(KeychainErrorCode::ioFailure, EINVAL);
    if (static_cast<std::uint64_t>(st.st_size) > maxItemSize)
        throw KeychainError(KeychainErrorCode::itemTooLarge);
    std::vector<std::uint8_t> value;
    std::uint8_t buffer[4096];
    for (;;) {
        ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR)
                continue;
            throwIo();
        }
        if (n == 0)
            break;
        value.insert(value.end(), buffer, buffer + n);
        if (value.size() > maxItemSize)
            throw KeychainError(KeychainErrorCode::itemTooLarge);
    }
    return value;
}

KeychainStatus Keychain::update(const KeychainItemId& id,
                                std::span<const std::uint8_t> value) const {
    FileDescriptor dir = openDirectory(directory_);
    std::string name = fileName(id);
    if (!exists(dir.get(), name))
        return KeychainStatus::itemNotFound;
    replace(dir.get(), name, value);
    return KeychainStatus::success;
}

KeychainStatus Keychain::remove(const KeychainItemId& id) const {
    FileDescriptor dir = openDirectory(directory_);
    std::string name = fileName(id);
    if (::unlinkat(dir.get(), name.c_str(), 0) != 0) {
        if (errno == ENOENT)
            return KeychainStatus::itemNotFound;
        throwIo();
    }
    syncDirectory(dir.get());
    return KeychainStatus::success;
}

} // namespace tessarine
