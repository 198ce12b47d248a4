#pragma once

#include "diagnostics/logger.hpp"
#include "security/keychain.hpp"

#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace tessarine {

enum class PairingErrorCode {
    randomGeneratorFailed, // no secret is stored or returned
    secretStorageFailed,   // the secret could not be written or replaced
    cryptoFailed,          // HKDF or HMAC could not be computed
    invalidBootstrap,      // bootstrap JSON without the four fields of the right types
};

class PairingError : public std::exception {
public:
    PairingError(PairingErrorCode code, int status = 0) : code_(code), status_(status) {}
    PairingErrorCode code() const { return code_; }
    // The failing platform status (errno or OpenSSL error), 0 if none.
    int status() const { return status_; }
    const char* what() const noexcept override;

private:
    PairingErrorCode code_;
    int status_;
};

// What a tablet needs to pair out of band: the host's address and port and the
// pairing secret as lower-case hex.
struct PairingBootstrap {
    std::int64_t v = 1;
    std::string host;
    std::uint16_t port = 0;
    std::string secret;

    PairingBootstrap() = default;
    PairingBootstrap(std::string host, std::uint16_t port, std::span<const std::uint8_t> secret);

    // The secret's bytes; nullopt if it is not an even number of hex digits.
    std::optional<std::vector<std::uint8_t>> secretData() const;
    // Compact JSON with sorted keys ("host", "port", "secret", "v"); "{}" if the
    // text cannot be encoded (e.g. a host that is not valid UTF-8).
    std::string jsonString() const;
    // Throws PairingError(invalidBootstrap) unless all four keys are present and typed.
    static PairingBootstrap fromJSON(std::string_view json);

    bool operator==(const PairingBootstrap&) const = default;
};

void to_json(nlohmann::json& json, const PairingBootstrap& bootstrap);
void from_json(const nlohmann::json& json, PairingBootstrap& bootstrap);

// Owns the host's long-lived pairing secret (a keychain item) and the keyed
// primitives a pairing exchange built on it needs. One thread at a time.
class PairingCoordinator {
public:
    static constexpr const char* keychainService = "app.tessarine.pairing";
    static constexpr const char* keychainAccount = "psk";
    static constexpr std::size_t secretSize = 32;

    // Fills the buffer with random bytes; false if the generator failed.
    using RandomSource = std::function<bool(std::span<std::uint8_t>)>;
    static bool systemRandom(std::span<std::uint8_t> buffer);

    PairingCoordinator(); // the user's keychain, the system CSPRNG
    explicit PairingCoordinator(std::shared_ptr<const Keychain> keychain,
                                RandomSource random = systemRandom);

    // The stored secret, or a new 32-byte one that is stored first. Throws
    // PairingError when no secret can be generated or stored.
    std::vector<std::uint8_t> loadOrCreateSecret() const;
    // Replaces the stored secret with a new one and returns it; the old one
    // stays if no new one can be generated.
    std::vector<std::uint8_t> rotateSecret() const;
    PairingBootstrap bootstrap(std::string host, std::uint16_t port) const;

    // HKDF-SHA256(psk, salt, UTF-8 info) → 32 bytes.
    static std::vector<std::uint8_t> deriveSessionKey(std::span<const std::uint8_t> psk,
                                                      std::span<const std::uint8_t> salt,
                                                      std::string_view info);
    // HMAC-SHA256 keyed with psk over nonce ‖ UTF-8 role (no separator).
    static std::vector<std::uint8_t> computeHandshakeMAC(std::span<const std::uint8_t> psk,
                                                         std::span<const std::uint8_t> nonce,
                                                         std::string_view role);

private:
    std::vector<std::uint8_t> generateAndStore() const;

    Logger log_{"app.tessarine.mac", "Pairing"};
    std::shared_ptr<const Keychain> keychain_;
    RandomSource random_;
};

} // namespace tessarine
