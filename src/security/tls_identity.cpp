#include "security/tls_identity.hpp"

#include "diagnostics/logger.hpp"

#include <cstdio>
#include <ctime>
#include <mutex>
#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <string>

namespace tessarine {
namespace {

using Bytes = std::vector<std::uint8_t>;

struct MdCtxDeleter {
    void operator()(EVP_MD_CTX* p) const { EVP_MD_CTX_free(p); }
};
struct Pkcs8Deleter {
    void operator()(PKCS8_PRIV_KEY_INFO* p) const { PKCS8_PRIV_KEY_INFO_free(p); }
};
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxDeleter>;
using Pkcs8Ptr = std::unique_ptr<PKCS8_PRIV_KEY_INFO, Pkcs8Deleter>;

Logger tlsLog() {
    return Logger("app.tessarine.mac", "TLS");
}

// The process-wide cache: set once, read by every later call.
struct Cache {
    std::mutex mutex;
    std::shared_ptr<const Keychain> keychain; // created on first use
    std::shared_ptr<const KeychainIdentity> identity;
    std::shared_ptr<asio::ssl::context> serverOptions;

    static Cache& instance() {
        static Cache cache;
        return cache;
    }
    const Keychain& keychainLocked() {
        if (!keychain)
            keychain = std::make_shared<Keychain>();
        return *keychain;
    }
};

// The description of the most recent OpenSSL error; empties the error queue.
std::string takeOpenSSLError() {
    unsigned long code = ERR_peek_last_error();
    ERR_clear_error();
    if (code == 0)
        return "unknown error";
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// ---- DER ----------------------------------------------------------------

Bytes der(std::uint8_t tag, std::span<const std::uint8_t> content) {
    Bytes out{tag};
    std::size_t length = content.size();
    if (length < 0x80) {
        out.push_back(static_cast<std::uint8_t>(length));
    } else {
        Bytes digits;
        for (std::size_t n = length; n > 0; n >>= 8)
            digits.insert(digits.begin(), static_cast<std::uint8_t>(n & 0xFF));
        out.push_back(static_cast<std::uint8_t>(0x80 | digits.size()));
        out.insert(out.end(), digits.begin(), digits.end());
    }
    out.insert(out.end(), content.begin(), content.end());
    return out;
}

Bytes concat(std::initializer_list<std::span<const std::uint8_t>> parts) {
    Bytes out;
    for (auto part : parts)
        out.insert(out.end(), part.begin(), part.end());
    return out;
}

Bytes sequence(std::initializer_list<std::span<const std::uint8_t>> parts) {
    return der(0x30, concat(parts));
}

Bytes bitString(std::span<const std::uint8_t> bits) {
    return der(0x03, concat({Bytes{0x00}, bits})); // no unused bits
}

const Bytes oidCommonName{0x06, 0x03, 0x55, 0x04, 0x03};
const Bytes oidEcPublicKey{0x06, 0x07, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x02, 0x01};
const Bytes oidPrime256v1{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x03, 0x01, 0x07};
const Bytes oidEcdsaWithSha256{0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02};

Bytes name() {
    static constexpr std::string_view commonName = "Tessarine";
    Bytes utf8 = der(0x0C, Bytes(commonName.begin(), commonName.end()));
    return sequence({der(0x31, sequence({oidCommonName, utf8}))});
}

bool isLeapYear(int year) {
    return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

Bytes utcTime(const std::tm& t) {
    char text[64];
    std::snprintf(text, sizeof text, "%02d%02d%02d%02d%02d%02dZ", (t.tm_year + 1900) % 100,
                  t.tm_mon + 1, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec);
    return der(0x17, Bytes(text, text + 13));
}

// The uncompressed point 04 || X || Y.
std::optional<Bytes> publicPoint(EVP_PKEY* key) {
    Bytes point(65);
    std::size_t size = 0;
    if (EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, point.data(),
                                        point.size(), &size) != 1 ||
        size != 65 || point[0] != 0x04) {
        ERR_clear_error();
        return std::nullopt;
    }
    return point;
}

std::optional<Bytes> signSha256(EVP_PKEY* key, std::span<const std::uint8_t> message) {
    MdCtxPtr ctx(EVP_MD_CTX_new());
    std::size_t size = 0;
    if (!ctx || EVP_DigestSignInit(ctx.get(), nullptr, EVP_sha256(), nullptr, key) != 1 ||
        EVP_DigestSign(ctx.get(), nullptr, &size, message.data(), message.size()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    Bytes signature(size);
    if (EVP_DigestSign(ctx.get(), signature.data(), &size, message.data(), message.size()) != 1) {
        ERR_clear_error();
        return std::nullopt;
    }
    signature.resize(size);
    return signature;
}

// ---- Keychain forms -------------------------------------------------------

std::optional<Bytes> pkcs8(EVP_PKEY* key) {
    Pkcs8Ptr info(EVP_PKEY2PKCS8(key));
    int size = info ? i2d_PKCS8_PRIV_KEY_INFO(info.get(), nullptr) : 0;
    if (size <= 0) {
        ERR_clear_error();
        return std::nullopt;
    }
    Bytes out(static_cast<std::size_t>(size));
    unsigned char* cursor = out.data();
    if (i2d_PKCS8_PRIV_KEY_INFO(info.get(), &cursor) != size) {
        ERR_clear_error();
        return std::nullopt;
    }
    return out;
}

openssl::PKeyPtr parsePkcs8(const Bytes& data) {
    const unsigned char* cursor = data.data();
    Pkcs8Ptr info(d2i_PKCS8_PRIV_KEY_INFO(nullptr, &cursor, static_cast<long>(data.size())));
    if (!info || cursor != data.data() + data.size()) {
        ERR_clear_error();
        return nullptr;
    }
    openssl::PKeyPtr key(EVP_PKCS82PKEY(info.get()));
    if (!key)
        ERR_clear_error();
    return key;
}

// The whole buffer must be one certificate: trailing bytes mean it is not ours.
openssl::X509Ptr parseCertificate(const Bytes& data) {
    const unsigned char* cursor = data.data();
    openssl::X509Ptr cert(d2i_X509(nullptr, &cursor, static_cast<long>(data.size())));
    if (!cert || cursor != data.data() + data.size()) {
        ERR_clear_error();
        return nullptr;
    }
    return cert;
}

// The certificate and key in the keychain, if they form an identity.
std::shared_ptr<const KeychainIdentity> findIdentity(const Keychain& keychain) {
    try {
        auto keyData = keychain.find(KeychainItemId::key(TLSIdentity::keyTag));
        if (!keyData)
            return nullptr;
        auto certData = keychain.find(KeychainItemId::certificate(TLSIdentity::certificateLabel));
        if (!certData)
            return nullptr;
        openssl::PKeyPtr key = parsePkcs8(*keyData);
        openssl::X509Ptr cert = parseCertificate(*certData);
        if (!key || !cert)
            return nullptr;
        EVP_PKEY* certKey = X509_get0_pubkey(cert.get());
        if (certKey == nullptr || EVP_PKEY_eq(certKey, key.get()) != 1) {
            ERR_clear_error();
            return nullptr;
        }
        return std::make_shared<KeychainIdentity>(std::move(cert), std::move(key),
                                                  std::move(*certData), std::move(*keyData));
    } catch (const KeychainError&) {
        return nullptr;
    }
}

void removeIdentityItems(const Keychain& keychain) {
    for (const auto& id : {KeychainItemId::key(TLSIdentity::keyTag),
                           KeychainItemId::certificate(TLSIdentity::certificateLabel)}) {
        try {
            keychain.remove(id);
        } catch (const KeychainError&) {
            // Best effort: the next creation removes them again.
        }
    }
}

std::shared_ptr<const KeychainIdentity> createIdentity(const Keychain& keychain) {
    Logger log = tlsLog();
    // Whatever is there did not form an identity; start clean.
    removeIdentityItems(keychain);

    ERR_clear_error();
    openssl::PKeyPtr key(EVP_EC_gen("P-256"));
    if (!key) {
        log.error("Key generation failed: %{public}s", takeOpenSSLError());
        return nullptr;
    }
    auto keyData = pkcs8(key.get());
    if (!keyData) {
        log.error("Key generation failed: %{public}s", "private key encoding failed");
        return nullptr;
    }
    try {
        if (keychain.add(KeychainItemId::key(TLSIdentity::keyTag), *keyData) !=
            KeychainStatus::success) {
            log.error("Key generation failed: %{public}s", "a key item appeared concurrently");
            return nullptr;
        }
    } catch (const KeychainError& e) {
        log.error("Key generation failed: %{public}s", e.what());
        return nullptr;
    }

    if (!publicPoint(key.get())) {
        // As with a platform keychain, the stored key stays; the next creation removes it.
        log.error("Public key extraction failed");
        return nullptr;
    }

    auto certData = TLSIdentity::buildCertificate(key.get(), std::chrono::system_clock::now());
    if (!certData || !parseCertificate(*certData)) {
        log.error("Certificate creation failed");
        removeIdentityItems(keychain);
        return nullptr;
    }

    try {
        // A certificate already under the label (another process raced us) is
        // fine if it matches our key; the lookup below decides.
        keychain.add(KeychainItemId::certificate(TLSIdentity::certificateLabel), *certData);
    } catch (const KeychainError& e) {
        log.error("Certificate storage failed: %d", e.status());
        removeIdentityItems(keychain);
        return nullptr;
    }

    auto identity = findIdentity(keychain);
    if (!identity) {
        log.error("Identity not found after creation");
        removeIdentityItems(keychain);
        return nullptr;
    }
    log.info("TLS identity created and stored");
    return identity;
}

std::shared_ptr<const KeychainIdentity> identityLocked(Cache& cache) {
    if (cache.identity)
        return cache.identity;
    const Keychain& keychain = cache.keychainLocked();
    if (auto found = findIdentity(keychain)) {
        tlsLog().info("Loaded existing TLS identity");
        cache.identity = found;
        return found;
    }
    tlsLog().info("Creating new TLS identity");
    cache.identity = createIdentity(keychain);
    return cache.identity;
}

void restrictToTls13(SSL_CTX* ctx) {
    if (SSL_CTX_set_min_proto_version(ctx, TLS1_3_VERSION) != 1 ||
        SSL_CTX_set_max_proto_version(ctx, TLS1_3_VERSION) != 1)
        throw TLSError(TLSErrorCode::contextSetupFailed, ERR_get_error());
}

std::shared_ptr<asio::ssl::context> makeServerContext(const KeychainIdentity& identity) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    SSL_CTX* ctx = context->native_handle();
    restrictToTls13(ctx);
    if (SSL_CTX_use_certificate(ctx, identity.certificate()) != 1 ||
        SSL_CTX_use_PrivateKey(ctx, identity.privateKey()) != 1 ||
        SSL_CTX_check_private_key(ctx) != 1)
        throw TLSError(TLSErrorCode::contextSetupFailed, ERR_get_error());
    // Any client certificate, or none, is accepted: no certificate is requested.
    SSL_CTX_set_verify(ctx, SSL_VERIFY_NONE, nullptr);
    return context;
}

} // namespace

KeychainIdentity::KeychainIdentity(openssl::X509Ptr certificate, openssl::PKeyPtr privateKey,
                                   std::vector<std::uint8_t> certificateDer,
                                   std::vector<std::uint8_t> privateKeyDer)
    : certificate_(std::move(certificate)), privateKey_(std::move(privateKey)),
      certificateDer_(std::move(certificateDer)), privateKeyDer_(std::move(privateKeyDer)) {}

const char* TLSError::what() const noexcept {
    switch (code_) {
    case TLSErrorCode::contextSetupFailed:
        return "TLS context setup failed";
    }
    return "TLS error";
}

std::optional<std::vector<std::uint8_t>>
TLSIdentity::buildCertificate(EVP_PKEY* privateKey, std::chrono::system_clock::time_point now) {
    auto point = publicPoint(privateKey);
    if (!point)
        return std::nullopt;

    std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    std::tm notBefore{};
    if (gmtime_r(&seconds, &notBefore) == nullptr)
        return std::nullopt;
    // Ten calendar years on; 29 February becomes 28 February in a common year.
    std::tm notAfter = notBefore;
    notAfter.tm_year += 10;
    if (notAfter.tm_mon == 1 && notAfter.tm_mday == 29 && !isLeapYear(notAfter.tm_year + 1900))
        notAfter.tm_mday = 28;

    const Bytes version{0xA0, 0x03, 0x02, 0x01, 0x02};
    const Bytes serialNumber{0x02, 0x01, 0x01};
    const Bytes algorithm = sequence({oidEcdsaWithSha256});
    const Bytes issuer = name();
    const Bytes tbs =
        sequence({version, serialNumber, algorithm, issuer,
                  sequence({utcTime(notBefore), utcTime(notAfter)}), issuer,
                  sequence({sequence({oidEcPublicKey, oidPrime256v1}), bitString(*point)})});

    auto signature = signSha256(privateKey, tbs);
    if (!signature)
        return std::nullopt;
    return sequence({tbs, algorithm, bitString(*signature)});
}

std::shared_ptr<const KeychainIdentity> TLSIdentity::identity() {
    Cache& cache = Cache::instance();
    std::lock_guard lock(cache.mutex);
    return identityLocked(cache);
}

std::shared_ptr<asio::ssl::context> TLSIdentity::serverOptions() {
    Cache& cache = Cache::instance();
    std::lock_guard lock(cache.mutex);
    if (cache.serverOptions)
        return cache.serverOptions;
    auto identity = identityLocked(cache);
    std::shared_ptr<asio::ssl::context> context;
    if (identity) {
        try {
            context = makeServerContext(*identity);
        } catch (const std::exception&) {
            ERR_clear_error(); // treated like an unavailable identity
        }
    }
    if (!context) {
        tlsLog().error("TLS identity unavailable — streaming unencrypted");
        return nullptr;
    }
    cache.serverOptions = context;
    tlsLog().info("TLS server options ready (cached)");
    return context;
}

asio::ssl::context TLSIdentity::clientContext() {
    try {
        asio::ssl::context context(asio::ssl::context::tls_client);
        restrictToTls13(context.native_handle());
        // The host's certificate is self-signed; the device is trusted by identifier instead.
        context.set_verify_mode(asio::ssl::verify_none);
        return context;
    } catch (const asio::system_error& e) {
        throw TLSError(TLSErrorCode::contextSetupFailed,
                       static_cast<unsigned long>(e.code().value()));
    }
}

void TLSIdentity::resetCacheForTesting() {
    Cache& cache = Cache::instance();
    std::lock_guard lock(cache.mutex);
    cache.identity.reset();
    cache.serverOptions.reset();
    cache.keychain.reset();
}

void TLSIdentity::useKeychainForTesting(std::shared_ptr<const Keychain> keychain) {
    Cache& cache = Cache::instance();
    std::lock_guard lock(cache.mutex);
    cache.identity.reset();
    cache.serverOptions.reset();
    cache.keychain = std::move(keychain);
}

} // namespace tessarine
