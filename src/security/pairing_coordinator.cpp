#include "security/pairing_coordinator.hpp"

#include <nlohmann/json.hpp>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/params.h>
#include <openssl/rand.h>

namespace tessarine {
namespace {

struct KdfDeleter {
    void operator()(EVP_KDF* p) const { EVP_KDF_free(p); }
};
struct KdfCtxDeleter {
    void operator()(EVP_KDF_CTX* p) const { EVP_KDF_CTX_free(p); }
};
struct MacDeleter {
    void operator()(EVP_MAC* p) const { EVP_MAC_free(p); }
};
struct MacCtxDeleter {
    void operator()(EVP_MAC_CTX* p) const { EVP_MAC_CTX_free(p); }
};

KeychainItemId secretItem() {
    return KeychainItemId::genericPassword(PairingCoordinator::keychainService,
                                           PairingCoordinator::keychainAccount);
}

// OpenSSL parameters want a non-null pointer even for empty input.
void* paramData(std::span<const std::uint8_t> bytes) {
    static std::uint8_t empty = 0;
    return bytes.empty() ? &empty : const_cast<std::uint8_t*>(bytes.data());
}

[[noreturn]] void throwCrypto() {
    int status = static_cast<int>(ERR_peek_last_error() & 0x7FFFFFFF);
    ERR_clear_error();
    throw PairingError(PairingErrorCode::cryptoFailed, status);
}

int hexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

std::string toHex(std::span<const std::uint8_t> bytes) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size() * 2);
    for (auto b : bytes) {
        out += digits[b >> 4];
        out += digits[b & 0x0F];
    }
    return out;
}

} // namespace

const char* PairingError::what() const noexcept {
    switch (code_) {
    case PairingErrorCode::randomGeneratorFailed:
        return "The random generator failed; no pairing secret was created";
    case PairingErrorCode::secretStorageFailed:
        return "The pairing secret could not be stored";
    case PairingErrorCode::cryptoFailed:
        return "Pairing key derivation failed";
    case PairingErrorCode::invalidBootstrap:
        return "Invalid pairing bootstrap record";
    }
    return "Pairing error";
}

// ---- PairingBootstrap -----------------------------------------------------

PairingBootstrap::PairingBootstrap(std::string host, std::uint16_t port,
                                   std::span<const std::uint8_t> secret)
    : v(1), host(std::move(host)), port(port), secret(toHex(secret)) {}

std::optional<std::vector<std::uint8_t>> PairingBootstrap::secretData() const {
    if (secret.size() % 2 != 0)
        return std::nullopt;
    std::vector<std::uint8_t> bytes;
    bytes.reserve(secret.size() / 2);
    for (std::size_t i = 0; i < secret.size(); i += 2) {
        int hi = hexDigit(secret[i]);
        int lo = hexDigit(secret[i + 1]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        bytes.push_back(static_cast<std::uint8_t>(hi << 4 | lo));
    }
    return bytes;
}

void to_json(nlohmann::json& json, const PairingBootstrap& bootstrap) {
    // nlohmann::json objects keep their keys sorted.
    json = nlohmann::json{{"v", bootstrap.v},
                          {"host", bootstrap.host},
                          {"port", bootstrap.port},
                          {"secret", bootstrap.secret}};
}

void from_json(const nlohmann::json& json, PairingBootstrap& bootstrap) {
    const auto& v = json.at("v");
    const auto& host = json.at("host");
    const auto& port = json.at("port");
    const auto& secret = json.at("secret");
    if (!v.is_number_integer() || !host.is_string() || !port.is_number_unsigned() ||
        port.get<std::uint64_t>() > 0xFFFF || !secret.is_string())
        throw nlohmann::json::type_error::create(302, "pairing bootstrap field of wrong type",
                                                 &json);
    bootstrap.v = v.get<std::int64_t>();
    bootstrap.host = host.get<std::string>();
    bootstrap.port = port.get<std::uint16_t>();
    bootstrap.secret = secret.get<std::string>();
}

std::string PairingBootstrap::jsonString() const {
    try {
        return nlohmann::json(*this).dump();
    } catch (const nlohmann::json::exception&) {
        return "{}";
    }
}

PairingBootstrap PairingBootstrap::fromJSON(std::string_view json) {
    auto parsed = nlohmann::json::parse(json, nullptr, false);
    if (parsed.is_discarded() || !parsed.is_object())
        throw PairingError(PairingErrorCode::invalidBootstrap);
    try {
        return parsed.get<PairingBootstrap>();
    } catch (const nlohmann::json::exception&) {
        throw PairingError(PairingErrorCode::invalidBootstrap);
    }
}

// ---- PairingCoordinator ---------------------------------------------------

bool PairingCoordinator::systemRandom(std::span<std::uint8_t> buffer) {
    return RAND_bytes(buffer.data(), static_cast<int>(buffer.size())) == 1;
}

PairingCoordinator::PairingCoordinator()
    : keychain_(std::make_shared<Keychain>()), random_(systemRandom) {}

PairingCoordinator::PairingCoordinator(std::shared_ptr<const Keychain> keychain,
                                       RandomSource random)
    : keychain_(std::move(keychain)), random_(std::move(random)) {}

std::vector<std::uint8_t> PairingCoordinator::loadOrCreateSecret() const {
    try {
        if (auto stored = keychain_->find(secretItem()))
            return *stored;
    } catch (const KeychainError&) {
        // Unreadable counts as absent; storing the new secret reports a keychain
        // that cannot be used.
    }
    return generateAndStore();
}

std::vector<std::uint8_t> PairingCoordinator::rotateSecret() const {
    // Generating before deleting keeps the old secret if no new one can be made.
    return generateAndStore();
}

std::vector<std::uint8_t> PairingCoordinator::generateAndStore() const {
    std::vector<std::uint8_t> secret(secretSize, 0);
    // An unchecked failure would store and hand out an all-zero secret.
    if (!random_ || !random_(secret))
        throw PairingError(PairingErrorCode::randomGeneratorFailed);
    try {
        keychain_->remove(secretItem());
        if (keychain_->add(secretItem(), secret) != KeychainStatus::success)
            throw PairingError(PairingErrorCode::secretStorageFailed);
    } catch (const KeychainError& e) {
        // A secret handed out but not stored would be replaced on the next call.
        throw PairingError(PairingErrorCode::secretStorageFailed, e.status());
    }
    log_.info("Generated new pairing secret (%ld bytes)", secret.size());
    return secret;
}

PairingBootstrap PairingCoordinator::bootstrap(std::string host, std::uint16_t port) const {
    return PairingBootstrap(std::move(host), port, loadOrCreateSecret());
}

std::vector<std::uint8_t> PairingCoordinator::deriveSessionKey(std::span<const std::uint8_t> psk,
                                                               std::span<const std::uint8_t> salt,
                                                               std::string_view info) {
    std::unique_ptr<EVP_KDF, KdfDeleter> kdf(EVP_KDF_fetch(nullptr, "HKDF", nullptr));
    if (!kdf)
        throwCrypto();
    std::unique_ptr<EVP_KDF_CTX, KdfCtxDeleter> ctx(EVP_KDF_CTX_new(kdf.get()));
    if (!ctx)
        throwCrypto();
    std::span<const std::uint8_t> infoBytes(reinterpret_cast<const std::uint8_t*>(info.data()),
                                            info.size());
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, paramData(psk), psk.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, paramData(salt), salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, paramData(infoBytes),
                                          infoBytes.size()),
        OSSL_PARAM_construct_end(),
    };
    std::vector<std::uint8_t> key(32);
    if (EVP_KDF_derive(ctx.get(), key.data(), key.size(), params) != 1)
        throwCrypto();
    return key;
}

std::vector<std::uint8_t> PairingCoordinator::computeHandshakeMAC(
    std::span<const std::uint8_t> psk, std::span<const std::uint8_t> nonce, std::string_view role) {
    std::unique_ptr<EVP_MAC, MacDeleter> mac(EVP_MAC_fetch(nullptr, "HMAC", nullptr));
    if (!mac)
        throwCrypto();
    std::unique_ptr<EVP_MAC_CTX, MacCtxDeleter> ctx(EVP_MAC_CTX_new(mac.get()));
    if (!ctx)
        throwCrypto();
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_end(),
    };
    const auto* key = static_cast<const unsigned char*>(paramData(psk));
    if (EVP_MAC_init(ctx.get(), key, psk.size(), params) != 1 ||
        EVP_MAC_update(ctx.get(), nonce.data(), nonce.size()) != 1 ||
        EVP_MAC_update(ctx.get(), reinterpret_cast<const unsigned char*>(role.data()),
                       role.size()) != 1)
        throwCrypto();
    std::vector<std::uint8_t> code(32);
    std::size_t size = 0;
    if (EVP_MAC_final(ctx.get(), code.data(), &size, code.size()) != 1 || size != code.size())
        throwCrypto();
    return code;
}

} // namespace tessarine
