#include "security/pairing_coordinator.hpp"

#include "temp_home.hpp"

#include <gtest/gtest.h>

#include <sys/stat.h>

using namespace tessarine;
using tessarine::testing::TempHome;
using Bytes = std::vector<std::uint8_t>;

namespace {

Bytes fromHex(std::string_view hex) {
    PairingBootstrap record;
    record.secret = std::string(hex);
    auto bytes = record.secretData();
    EXPECT_TRUE(bytes) << hex;
    return bytes.value_or(Bytes{});
}

Bytes text(std::string_view value) {
    return {value.begin(), value.end()};
}

PairingErrorCode errorOf(const std::function<void()>& operation) {
    try {
        operation();
    } catch (const PairingError& e) {
        return e.code();
    }
    ADD_FAILURE() << "no PairingError thrown";
    return PairingErrorCode::cryptoFailed;
}

const KeychainItemId secretItem = KeychainItemId::genericPassword("app.tessarine.pairing", "psk");

class PairingCoordinatorTest : public ::testing::Test {
protected:
    TempHome home;
    std::shared_ptr<Keychain> keychain = std::make_shared<Keychain>();
};

} // namespace

TEST_F(PairingCoordinatorTest, SecretIsCreatedOnceAndPersists) {
    LogCapture capture;
    PairingCoordinator coordinator(keychain);
    Bytes secret = coordinator.loadOrCreateSecret();
    EXPECT_EQ(secret.size(), 32u);
    EXPECT_NE(secret, Bytes(32, 0));
    EXPECT_EQ(coordinator.loadOrCreateSecret(), secret);
    EXPECT_EQ(PairingCoordinator().loadOrCreateSecret(), secret); // a later launch
    EXPECT_EQ(keychain->find(secretItem), secret);
    EXPECT_EQ(capture.messages("Pairing"),
              std::vector<std::string>{"Generated new pairing secret (32 bytes)"});

    Bytes rotated = coordinator.rotateSecret();
    EXPECT_EQ(rotated.size(), 32u);
    EXPECT_NE(rotated, secret);
    EXPECT_EQ(coordinator.loadOrCreateSecret(), rotated);
    EXPECT_EQ(capture.count("Pairing", "Generated new pairing secret"), 2u);
}

TEST_F(PairingCoordinatorTest, AFailingGeneratorStoresAndHandsOutNothing) {
    LogCapture capture;
    int calls = 0;
    PairingCoordinator failing(keychain, [&](std::span<std::uint8_t>) {
        ++calls;
        return false;
    });
    EXPECT_EQ(errorOf([&] { failing.loadOrCreateSecret(); }),
              PairingErrorCode::randomGeneratorFailed);
    EXPECT_EQ(errorOf([&] { failing.bootstrap("host", 9876); }),
              PairingErrorCode::randomGeneratorFailed);
    EXPECT_EQ(calls, 2);
    EXPECT_FALSE(keychain->find(secretItem));
    EXPECT_TRUE(capture.messages("Pairing").empty());

    // With a secret stored, loading needs no generator, and a failed rotation keeps it.
    Bytes stored = PairingCoordinator(keychain).loadOrCreateSecret();
    EXPECT_EQ(failing.loadOrCreateSecret(), stored);
    EXPECT_EQ(errorOf([&] { failing.rotateSecret(); }), PairingErrorCode::randomGeneratorFailed);
    EXPECT_EQ(keychain->find(secretItem), stored);
}

TEST_F(PairingCoordinatorTest, ASecretThatCannotBeStoredIsNotHandedOut) {
    ASSERT_EQ(::mkdir(home.keychainDir().c_str(), 0777), 0);
    ASSERT_EQ(::chmod(home.keychainDir().c_str(), 0777), 0);
    PairingCoordinator coordinator(keychain);
    EXPECT_EQ(errorOf([&] { coordinator.loadOrCreateSecret(); }),
              PairingErrorCode::secretStorageFailed);
    EXPECT_EQ(errorOf([&] { coordinator.rotateSecret(); }), PairingErrorCode::secretStorageFailed);
}

TEST_F(PairingCoordinatorTest, BootstrapCarriesTheStoredSecretAsSortedCompactJSON) {
    PairingCoordinator coordinator(keychain);
    PairingBootstrap record = coordinator.bootstrap("studio.local", 9876);
    Bytes secret = coordinator.loadOrCreateSecret();
    EXPECT_EQ(record.v, 1);
    EXPECT_EQ(record.secret.size(), 64u);
    EXPECT_EQ(record.secretData(), secret);
    EXPECT_EQ(record.jsonString(),
              R"({"host":"studio.local","port":9876,"secret":")" + record.secret + R"(","v":1})");
    EXPECT_EQ(PairingBootstrap::fromJSON(record.jsonString()), record);

    PairingBootstrap fromBytes("10.0.0.2", 65535, Bytes{0x00, 0x0F, 0xAB, 0xFF});
    EXPECT_EQ(fromBytes.secret, "000fabff");
    EXPECT_EQ(fromBytes.v, 1);
    EXPECT_NE(fromBytes, PairingBootstrap("10.0.0.2", 65534, Bytes{0x00, 0x0F, 0xAB, 0xFF}));

    // A host that is not UTF-8 cannot be encoded.
    EXPECT_EQ(PairingBootstrap("bad\xff", 1, Bytes{}).jsonString(), "{}");
}

TEST(PairingBootstrap, SecretDataDecodesOnlyWholeHexPairs) {
    PairingBootstrap record;
    auto decode = [&](std::string secret) {
        record.secret = std::move(secret);
        return record.secretData();
    };
    EXPECT_EQ(decode(""), Bytes{});
    EXPECT_EQ(decode("00ff7A"), (Bytes{0x00, 0xFF, 0x7A}));
    EXPECT_EQ(decode("zz"), std::nullopt);
    EXPECT_EQ(decode("0g"), std::nullopt);
    EXPECT_EQ(decode("+f"), std::nullopt);
    EXPECT_EQ(decode(" f"), std::nullopt);
    EXPECT_EQ(decode("abc"), std::nullopt); // odd length
}

TEST(PairingBootstrap, DecodingRequiresAllFourFieldsWithTheirTypes) {
    auto decoded =
        PairingBootstrap::fromJSON(R"({"v":2,"secret":"ab","port":1,"host":"h","extra":true})");
    EXPECT_EQ(decoded.v, 2);
    EXPECT_EQ(decoded.host, "h");
    EXPECT_EQ(decoded.port, 1);
    EXPECT_EQ(decoded.secret, "ab");

    for (const char* bad : {
             R"({"secret":"ab","port":1,"host":"h"})",
             R"({"v":1,"port":1,"host":"h"})",
             R"({"v":1,"secret":"ab","host":"h"})",
             R"({"v":1,"secret":"ab","port":1})",
             R"({"v":1,"secret":"ab","port":"1","host":"h"})",
             R"({"v":1,"secret":"ab","port":65536,"host":"h"})",
             R"({"v":1,"secret":"ab","port":-1,"host":"h"})",
             R"({"v":1.5,"secret":"ab","port":1,"host":"h"})",
             R"({"v":1,"secret":null,"port":1,"host":"h"})",
             R"([1,2])",
             "not json",
         }) {
        EXPECT_EQ(errorOf([&] { PairingBootstrap::fromJSON(bad); }),
                  PairingErrorCode::invalidBootstrap)
            << bad;
    }
}

TEST(PairingPrimitives, HKDFMatchesRFC5869) {
    // Test case 1 (first 32 bytes of the 42-byte output).
    Bytes ikm(22, 0x0b);
    Bytes salt = fromHex("000102030405060708090a0b0c");
    Bytes info = fromHex("f0f1f2f3f4f5f6f7f8f9");
    EXPECT_EQ(PairingCoordinator::deriveSessionKey(
                  ikm, salt, std::string_view(reinterpret_cast<const char*>(info.data()), 10)),
              fromHex("3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf"));
    // Test case 3: empty salt and info.
    EXPECT_EQ(PairingCoordinator::deriveSessionKey(ikm, {}, ""),
              fromHex("8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d"));
}

TEST(PairingPrimitives, HandshakeMACIsHMACOverNonceThenRole) {
    // RFC 4231 test case 2, with the data split between nonce and role.
    const Bytes jefe = text("Jefe");
    const Bytes expected =
        fromHex("5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(
        PairingCoordinator::computeHandshakeMAC(jefe, text("what do ya want "), "for nothing?"),
        expected);
    EXPECT_EQ(
        PairingCoordinator::computeHandshakeMAC(jefe, text("what do ya want for nothing?"), ""),
        expected);
    EXPECT_EQ(PairingCoordinator::computeHandshakeMAC(jefe, {}, "what do ya want for nothing?"),
              expected);
    // RFC 4231 test case 1.
    EXPECT_EQ(PairingCoordinator::computeHandshakeMAC(Bytes(20, 0x0b), text("Hi There"), ""),
              fromHex("b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7"));
    // The empty key is a valid HMAC key (HMAC-SHA256("", "")).
    EXPECT_EQ(PairingCoordinator::computeHandshakeMAC({}, {}, ""),
              fromHex("b613679a0814d9ec772f95d778c35fc5ff1697c493715653c6c712144292c5ad"));
}
