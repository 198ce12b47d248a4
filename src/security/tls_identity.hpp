#pragma once

#include "security/keychain.hpp"

#include <asio/ssl.hpp>
#include <chrono>
#include <cstdint>
#include <exception>
#include <memory>
#include <optional>
#include <span>
#include <vector>

namespace tessarine {

namespace openssl {
struct X509Deleter {
    void operator()(X509* p) const { X509_free(p); }
};
struct PKeyDeleter {
    void operator()(EVP_PKEY* p) const { EVP_PKEY_free(p); }
};
using X509Ptr = std::unique_ptr<X509, X509Deleter>;
using PKeyPtr = std::unique_ptr<EVP_PKEY, PKeyDeleter>;
} // namespace openssl

// The host's certificate together with the private key whose public key it
// carries. Immutable; shared by every TLS context built from it.
class KeychainIdentity {
public:
    KeychainIdentity(openssl::X509Ptr certificate, openssl::PKeyPtr privateKey,
                     std::vector<std::uint8_t> certificateDer,
                     std::vector<std::uint8_t> privateKeyDer);

    X509* certificate() const { return certificate_.get(); }
    EVP_PKEY* privateKey() const { return privateKey_.get(); }
    // DER forms, for TLS stacks other than OpenSSL.
    const std::vector<std::uint8_t>& certificateDer() const { return certificateDer_; }
    // PKCS#8 PrivateKeyInfo.
    const std::vector<std::uint8_t>& privateKeyDer() const { return privateKeyDer_; }

private:
    openssl::X509Ptr certificate_;
    openssl::PKeyPtr privateKey_;
    std::vector<std::uint8_t> certificateDer_;
    std::vector<std::uint8_t> privateKeyDer_;
};

enum class TLSErrorCode { contextSetupFailed };

class TLSError : public std::exception {
public:
    TLSError(TLSErrorCode code, unsigned long status = 0) : code_(code), status_(status) {}
    TLSErrorCode code() const { return code_; }
    // The OpenSSL error code, 0 if none was queued.
    unsigned long status() const { return status_; }
    const char* what() const noexcept override;

private:
    TLSErrorCode code_;
    unsigned long status_;
};

// The host's self-signed TLS identity: a P-256 key and a certificate for it,
// created on first use, kept in the user's keychain, cached for the process.
// Peers are never verified at the TLS layer; trust is decided later by device
// identifier. Failures are logged and turn into absent results.
class TLSIdentity {
public:
    static constexpr const char* keyTag = "app.tessarine.mac.tls.key";
    static constexpr const char* certificateLabel = "app.tessarine.mac.tls.cert";

    // The identity from the keychain, created there if missing; nullptr when it
    // cannot be had. Cached after the first success.
    static std::shared_ptr<const KeychainIdentity> identity();

    // The TLS 1.3-only server context for the TCP listener, or nullptr (the host
    // then listens unencrypted). The same object on every call once built.
    static std::shared_ptr<asio::ssl::context> serverOptions();

    // A TLS 1.3-only client context that accepts the host's self-signed
    // certificate. Throws TLSError.
    static asio::ssl::context clientContext();

    // The DER certificate for the key: self-signed, CN "Tessarine", serial 1,
    // valid from `now` for 10 years, no extensions. nullopt if the key cannot
    // be exported or signed with.
    static std::optional<std::vector<std::uint8_t>>
    buildCertificate(EVP_PKEY* privateKey, std::chrono::system_clock::time_point now);

    // Test hooks: forget the process-wide cache (the next call reads the
    // keychain again) and use another keychain (nullptr: the user's).
    static void resetCacheForTesting();
    static void useKeychainForTesting(std::shared_ptr<const Keychain> keychain);
};

} // namespace tessarine
