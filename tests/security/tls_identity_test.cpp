#include "security/tls_identity.hpp"

#include "diagnostics/logger.hpp"
#include "temp_home.hpp"

#include <gtest/gtest.h>

#include <asio.hpp>
#include <chrono>
#include <ctime>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>

using namespace tessarine;
using tessarine::testing::TempHome;
using Bytes = std::vector<std::uint8_t>;

namespace {

const std::vector<std::string> firstLaunchLog = {
    "Creating new TLS identity",
    "TLS identity created and stored",
    "TLS server options ready (cached)",
};

Bytes stringBytes(std::string_view text) {
    return {text.begin(), text.end()};
}

// A certificate of the same layout for a different key.
Bytes foreignCertificate() {
    openssl::PKeyPtr key(EVP_EC_gen("P-256"));
    EXPECT_TRUE(key);
    auto cert = TLSIdentity::buildCertificate(key.get(), std::chrono::system_clock::now());
    EXPECT_TRUE(cert);
    return *cert;
}

std::tm asTm(const ASN1_TIME* time) {
    std::tm tm{};
    EXPECT_EQ(ASN1_TIME_to_tm(time, &tm), 1);
    return tm;
}

// The real keychain, except that another writer stores a certificate under the
// label just before ours: the same bytes, or a certificate for another key.
class RacingKeychain : public Keychain {
public:
    enum class Race { none, sameCertificate, otherCertificate };
    explicit RacingKeychain(Race race) : race_(race) {}

    KeychainStatus add(const KeychainItemId& id,
                       std::span<const std::uint8_t> value) const override {
        if (id.itemClass == KeychainItemClass::certificate) {
            if (race_ == Race::sameCertificate)
                Keychain::add(id, value);
            else if (race_ == Race::otherCertificate)
                Keychain::add(id, foreignCertificate());
            lastCertificateAdd = Keychain::add(id, value);
            return *lastCertificateAdd;
        }
        return Keychain::add(id, value);
    }
    mutable std::optional<KeychainStatus> lastCertificateAdd;

private:
    Race race_;
};

class TLSIdentityTest : public ::testing::Test {
protected:
    void SetUp() override { TLSIdentity::resetCacheForTesting(); }
    void TearDown() override { TLSIdentity::resetCacheForTesting(); }

    TempHome home; // before any keychain is created
    Keychain keychain;
    const KeychainItemId keyItem = KeychainItemId::key(TLSIdentity::keyTag);
    const KeychainItemId certItem = KeychainItemId::certificate(TLSIdentity::certificateLabel);
};

struct HandshakeOutcome {
    bool serverDone = false;
    bool clientDone = false;
    std::error_code server;
    std::error_code client;
    int version = 0;
    Bytes peerCertificate;
};

// One TLS handshake over loopback, bounded by a deadline.
HandshakeOutcome handshake(asio::ssl::context& serverContext, asio::ssl::context& clientContext) {
    asio::io_context io;
    asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
    asio::ssl::stream<asio::ip::tcp::socket> server(io, serverContext);
    asio::ssl::stream<asio::ip::tcp::socket> client(io, clientContext);
    HandshakeOutcome out;

    acceptor.async_accept(server.lowest_layer(), [&](std::error_code ec) {
        if (ec) {
            out.server = ec;
            out.serverDone = true;
            return;
        }
        server.async_handshake(asio::ssl::stream_base::server, [&](std::error_code ec) {
            out.server = ec;
            out.serverDone = true;
            if (!ec)
                out.version = SSL_version(server.native_handle());
        });
    });
    client.lowest_layer().async_connect(acceptor.local_endpoint(), [&](std::error_code ec) {
        if (ec) {
            out.client = ec;
            out.clientDone = true;
            return;
        }
        client.async_handshake(asio::ssl::stream_base::client, [&](std::error_code ec) {
            out.client = ec;
            out.clientDone = true;
            if (X509* peer = SSL_get0_peer_certificate(client.native_handle())) {
                int size = i2d_X509(peer, nullptr);
                out.peerCertificate.resize(static_cast<std::size_t>(size));
                unsigned char* cursor = out.peerCertificate.data();
                i2d_X509(peer, &cursor);
            }
        });
    });
    auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!(out.serverDone && out.clientDone) && io.run_one_until(deadline) > 0) {
    }
    return out;
}

} // namespace

TEST_F(TLSIdentityTest, FirstLaunchCreatesAndLaterLaunchesReuse) {
    LogCapture capture;
    auto options = TLSIdentity::serverOptions();
    ASSERT_NE(options, nullptr);
    EXPECT_EQ(capture.messages("TLS"), firstLaunchLog);
    EXPECT_EQ(home.itemCount(), 2u);
    EXPECT_TRUE(keychain.find(keyItem));
    EXPECT_TRUE(keychain.find(certItem));

    // Cached: the same object, nothing logged.
    capture.clear();
    EXPECT_EQ(TLSIdentity::serverOptions(), options);
    auto identity = TLSIdentity::identity();
    ASSERT_NE(identity, nullptr);
    EXPECT_TRUE(capture.messages("TLS").empty());

    // A new process finds the stored identity.
    TLSIdentity::resetCacheForTesting();
    auto reloaded = TLSIdentity::identity();
    ASSERT_NE(reloaded, nullptr);
    EXPECT_EQ(capture.messages("TLS"), std::vector<std::string>{"Loaded existing TLS identity"});
    EXPECT_EQ(reloaded->certificateDer(), identity->certificateDer());
    EXPECT_EQ(reloaded->privateKeyDer(), identity->privateKeyDer());
    EXPECT_EQ(home.itemCount(), 2u);

    // The key item is a PKCS#8 P-256 key.
    EXPECT_EQ(EVP_PKEY_get_base_id(reloaded->privateKey()), EVP_PKEY_EC);
    EXPECT_EQ(EVP_PKEY_get_bits(reloaded->privateKey()), 256);
    struct stat st {};
    ASSERT_EQ(::stat((home.keychainDir() / Keychain::fileName(keyItem)).c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

TEST_F(TLSIdentityTest, CertificateHasTheDesignedLayoutAndVerifies) {
    auto identity = TLSIdentity::identity();
    ASSERT_NE(identity, nullptr);
    const Bytes& der = identity->certificateDer();
    ASSERT_GE(der.size(), 279u - 8);
    EXPECT_LE(der.size(), 281u);
    EXPECT_EQ(Bytes(der.begin(), der.begin() + 2), (Bytes{0x30, 0x82}));
    EXPECT_EQ(std::size_t(der[2]) << 8 | der[3], der.size() - 4);

    const Bytes tbs(der.begin() + 4, der.begin() + 4 + 190);
    EXPECT_EQ(Bytes(tbs.begin(), tbs.begin() + 11),
              (Bytes{0x30, 0x81, 0xBB, 0xA0, 0x03, 0x02, 0x01, 0x02, 0x02, 0x01, 0x01}));
    Bytes expectedName{0x30, 0x14, 0x31, 0x12, 0x30, 0x10, 0x06,
                       0x03, 0x55, 0x04, 0x03, 0x0C, 0x09};
    for (char c : std::string_view("Tessarine"))
        expectedName.push_back(static_cast<std::uint8_t>(c));
    EXPECT_EQ(Bytes(tbs.begin() + 23, tbs.begin() + 45), expectedName); // issuer
    EXPECT_EQ(Bytes(tbs.begin() + 77, tbs.begin() + 99), expectedName); // subject
    // The signature algorithm follows the TBS directly.
    EXPECT_EQ(Bytes(der.begin() + 194, der.begin() + 206),
              (Bytes{0x30, 0x0A, 0x06, 0x08, 0x2A, 0x86, 0x48, 0xCE, 0x3D, 0x04, 0x03, 0x02}));

    X509* cert = identity->certificate();
    EXPECT_EQ(X509_verify(cert, X509_get0_pubkey(cert)), 1);
    EXPECT_EQ(X509_get_version(cert), 2); // v3
    EXPECT_EQ(ASN1_INTEGER_get(X509_get0_serialNumber(cert)), 1);
    EXPECT_EQ(X509_get_ext_count(cert), 0);
    EXPECT_EQ(X509_NAME_cmp(X509_get_issuer_name(cert), X509_get_subject_name(cert)), 0);

    std::tm notBefore = asTm(X509_get0_notBefore(cert));
    std::tm notAfter = asTm(X509_get0_notAfter(cert));
    EXPECT_EQ(notAfter.tm_year, notBefore.tm_year + 10);
    EXPECT_EQ(notAfter.tm_mon, notBefore.tm_mon);
    EXPECT_EQ(notAfter.tm_hour, notBefore.tm_hour);
    EXPECT_EQ(notAfter.tm_min, notBefore.tm_min);
    EXPECT_EQ(notAfter.tm_sec, notBefore.tm_sec);
    EXPECT_LE(std::abs(std::difftime(timegm(&notBefore), std::time(nullptr))), 300.0);
}

TEST_F(TLSIdentityTest, ValidityIsTenCalendarYearsInUtcTime) {
    openssl::PKeyPtr key(EVP_EC_gen("P-256"));
    ASSERT_TRUE(key);
    std::tm leapDay{};
    leapDay.tm_year = 2024 - 1900;
    leapDay.tm_mon = 1;
    leapDay.tm_mday = 29;
    leapDay.tm_hour = 12;
    leapDay.tm_min = 34;
    leapDay.tm_sec = 56;
    auto der = TLSIdentity::buildCertificate(
        key.get(), std::chrono::system_clock::from_time_t(timegm(&leapDay)));
    ASSERT_TRUE(der);
    const Bytes validity(der->begin() + 4 + 45, der->begin() + 4 + 77);
    Bytes expected{0x30, 0x1E, 0x17, 0x0D};
    for (char c : std::string_view("240229123456Z"))
        expected.push_back(static_cast<std::uint8_t>(c));
    expected.insert(expected.end(), {0x17, 0x0D});
    for (char c : std::string_view("340228123456Z"))
        expected.push_back(static_cast<std::uint8_t>(c));
    EXPECT_EQ(validity, expected);
}

TEST_F(TLSIdentityTest, ACertificateAddedConcurrentlyStillYieldsTheIdentity) {
    auto racing = std::make_shared<RacingKeychain>(RacingKeychain::Race::sameCertificate);
    TLSIdentity::useKeychainForTesting(racing);
    LogCapture capture;
    EXPECT_NE(TLSIdentity::identity(), nullptr);
    EXPECT_EQ(racing->lastCertificateAdd, KeychainStatus::duplicateItem);
    EXPECT_TRUE(capture.contains("TLS", "TLS identity created and stored"));
}

TEST_F(TLSIdentityTest, AConcurrentForeignCertificateFailsCleanlyAndTheNextCallRecovers) {
    TLSIdentity::useKeychainForTesting(
        std::make_shared<RacingKeychain>(RacingKeychain::Race::otherCertificate));
    LogCapture capture;
    EXPECT_EQ(TLSIdentity::serverOptions(), nullptr);
    EXPECT_TRUE(capture.contains("TLS", "Identity not found after creation"));
    EXPECT_TRUE(capture.contains("TLS", "TLS identity unavailable — streaming unencrypted"));
    EXPECT_EQ(home.itemCount(), 0u); // the items of the failed creation are gone

    // Nothing was cached: the next call retries and succeeds.
    TLSIdentity::useKeychainForTesting(nullptr);
    capture.clear();
    EXPECT_NE(TLSIdentity::serverOptions(), nullptr);
    EXPECT_EQ(capture.messages("TLS"), firstLaunchLog);
}

TEST_F(TLSIdentityTest, BrokenOrMismatchedItemsAreReplacedCleanly) {
    ASSERT_NE(TLSIdentity::identity(), nullptr);
    const auto goodKey = *keychain.find(keyItem);
    const auto goodCert = *keychain.find(certItem);

    struct Damage {
        const char* what;
        std::function<void()> apply;
    };
    Bytes trailing = goodCert;
    trailing.push_back(0x00);
    const std::vector<Damage> damages = {
        {"corrupt key",
         [&] {
             keychain.update(keyItem, stringBytes("not a key"));
         }},
        {"corrupt certificate",
         [&] {
             keychain.update(certItem, stringBytes("\x30\x82garbage"));
         }},
        {"certificate with trailing bytes",
         [&] {
             keychain.update(certItem, trailing);
         }},
        {"certificate of another key",
         [&] {
             keychain.update(certItem, foreignCertificate());
         }},
        {"certificate without key",
         [&] {
             keychain.remove(keyItem);
         }},
        {"key without certificate",
         [&] {
             keychain.remove(certItem);
         }},
    };
    for (const auto& damage : damages) {
        SCOPED_TRACE(damage.what);
        keychain.remove(keyItem);
        keychain.remove(certItem);
        ASSERT_EQ(keychain.add(keyItem, goodKey), KeychainStatus::success);
        ASSERT_EQ(keychain.add(certItem, goodCert), KeychainStatus::success);
        damage.apply();

        TLSIdentity::resetCacheForTesting();
        LogCapture capture;
        auto identity = TLSIdentity::identity();
        ASSERT_NE(identity, nullptr);
        EXPECT_EQ(capture.messages("TLS"),
                  (std::vector<std::string>{"Creating new TLS identity",
                                            "TLS identity created and stored"}));
        EXPECT_NE(identity->privateKeyDer(), goodKey);
        EXPECT_EQ(*keychain.find(keyItem), identity->privateKeyDer());
        EXPECT_EQ(*keychain.find(certItem), identity->certificateDer());
        EXPECT_EQ(home.itemCount(), 2u);
    }
}

TEST_F(TLSIdentityTest, AnUnusableKeychainMeansNoTLSAndIsRetried) {
    ASSERT_EQ(::mkdir(home.keychainDir().c_str(), 0755), 0);
    ASSERT_EQ(::chmod(home.keychainDir().c_str(), 0755), 0);
    LogCapture capture;
    EXPECT_EQ(TLSIdentity::serverOptions(), nullptr);
    EXPECT_EQ(capture.messages("TLS"),
              (std::vector<std::string>{
                  "Creating new TLS identity",
                  "Key generation failed: The keychain directory is not private to this user",
                  "TLS identity unavailable — streaming unencrypted"}));

    ASSERT_EQ(::chmod(home.keychainDir().c_str(), 0700), 0);
    capture.clear();
    EXPECT_NE(TLSIdentity::serverOptions(), nullptr);
    EXPECT_EQ(capture.messages("TLS"), firstLaunchLog);
}

TEST_F(TLSIdentityTest, HandshakeIsTLS13WithAnyClientCertificateOrNone) {
    auto server = TLSIdentity::serverOptions();
    ASSERT_NE(server, nullptr);
    auto identity = TLSIdentity::identity();

    auto anonymous = TLSIdentity::clientContext();
    auto plain = handshake(*server, anonymous);
    ASSERT_TRUE(plain.serverDone && plain.clientDone) << "handshake timed out";
    EXPECT_FALSE(plain.server) << plain.server.message();
    EXPECT_FALSE(plain.client) << plain.client.message();
    EXPECT_EQ(plain.version, TLS1_3_VERSION);
    EXPECT_EQ(plain.peerCertificate, identity->certificateDer());

    // A client with a self-made certificate of its own.
    auto withCertificate = TLSIdentity::clientContext();
    openssl::PKeyPtr clientKey(EVP_EC_gen("P-256"));
    ASSERT_TRUE(clientKey);
    auto clientCertDer =
        TLSIdentity::buildCertificate(clientKey.get(), std::chrono::system_clock::now());
    ASSERT_TRUE(clientCertDer);
    const unsigned char* cursor = clientCertDer->data();
    openssl::X509Ptr clientCert(
        d2i_X509(nullptr, &cursor, static_cast<long>(clientCertDer->size())));
    ASSERT_TRUE(clientCert);
    ASSERT_EQ(SSL_CTX_use_certificate(withCertificate.native_handle(), clientCert.get()), 1);
    ASSERT_EQ(SSL_CTX_use_PrivateKey(withCertificate.native_handle(), clientKey.get()), 1);
    auto certified = handshake(*server, withCertificate);
    ASSERT_TRUE(certified.serverDone && certified.clientDone) << "handshake timed out";
    EXPECT_FALSE(certified.server) << certified.server.message();
    EXPECT_FALSE(certified.client) << certified.client.message();
}

TEST_F(TLSIdentityTest, ATLS12OnlyClientIsRefused) {
    auto server = TLSIdentity::serverOptions();
    ASSERT_NE(server, nullptr);
    asio::ssl::context old(asio::ssl::context::tls_client);
    ASSERT_EQ(SSL_CTX_set_max_proto_version(old.native_handle(), TLS1_2_VERSION), 1);
    old.set_verify_mode(asio::ssl::verify_none);
    auto outcome = handshake(*server, old);
    ASSERT_TRUE(outcome.serverDone && outcome.clientDone) << "handshake timed out";
    EXPECT_TRUE(outcome.server);
    EXPECT_TRUE(outcome.client);
}
