#include "security/trusted_device_store.hpp"

#include "temp_home.hpp"

#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <sys/stat.h>

using namespace tessarine;
using tessarine::testing::TempHome;

namespace {

Uuid uuid(std::string_view text) {
    auto id = Uuid::parse(text);
    EXPECT_TRUE(id) << text;
    return id.value_or(Uuid{});
}

const Uuid first = uuid("0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9");
const Uuid second = uuid("1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0FF");
const Uuid third = uuid("FFEEDDCC-BBAA-4998-8776-655443322110");

std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

class TrustedDeviceStoreTest : public ::testing::Test {
protected:
    TempHome home;
    std::shared_ptr<Keychain> keychain = std::make_shared<Keychain>();
    TrustedDeviceStore store{keychain};
    const KeychainItemId item =
        KeychainItemId::genericPassword("app.tessarine.mac.trust", "trusted-ipads-v2");

    void storeRaw(std::string_view value) {
        if (keychain->update(item, bytes(value)) == KeychainStatus::itemNotFound)
            keychain->add(item, bytes(value));
    }
};

} // namespace

TEST_F(TrustedDeviceStoreTest, SavesCompactJSONKeyedByUpperCaseIdentifier) {
    EXPECT_TRUE(store.loadAll().empty());
    EXPECT_TRUE(store.sortedDevices().empty());

    std::map<Uuid, std::string> devices{{first, "Studio iPad"}, {second, "Küche \"2\""}};
    store.saveAll(devices);
    EXPECT_EQ(store.loadAll(), devices);
    EXPECT_EQ(keychain->find(item),
              bytes(R"({"0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9":"Studio iPad",)"
                    R"("1F2E3D4C-5B6A-4978-8695-A4B3C2D1E0FF":"Küche \"2\""})"));

    // Re-allowing a stored identifier replaces its name; the count stays.
    devices[first] = "Renamed";
    store.saveAll(devices);
    EXPECT_EQ(store.loadAll().size(), 2u);
    EXPECT_EQ(store.loadAll().at(first), "Renamed");

    // Forgetting everything leaves an item holding the empty map.
    store.saveAll({});
    EXPECT_EQ(keychain->find(item), bytes("{}"));
    EXPECT_TRUE(store.loadAll().empty());

    // A second store on the same keychain (a later launch) reads the same.
    store.saveAll({{third, "iPad"}});
    EXPECT_EQ(TrustedDeviceStore(keychain).loadAll().size(), 1u);
    // The default store reads the user's keychain, here TESSARINE_HOME's.
    EXPECT_EQ(TrustedDeviceStore().loadAll().at(third), "iPad");
}

TEST_F(TrustedDeviceStoreTest, UndecodableValuesLoadAsEmptyAndAreReplacedOnTheNextSave) {
    const std::vector<std::string> values = {
        "",
        "not json",
        "[]",
        R"(["0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9","iPad"])",
        R"({"0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9":"iPad","not-a-uuid":"x"})",
        R"({"0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9":5})",
        R"({"0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9":null})",
        "{\"0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9\":\"bad \xff utf8\"}",
        R"({"0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9":"iPad"} trailing)",
    };
    for (const auto& value : values) {
        SCOPED_TRACE(value);
        storeRaw(value);
        EXPECT_TRUE(store.loadAll().empty());
        EXPECT_TRUE(store.sortedDevices().empty());
        // Accepting a device: read-modify-write over the (empty) map.
        auto devices = store.loadAll();
        devices[second] = "New";
        store.saveAll(devices);
        EXPECT_EQ(store.loadAll(), (std::map<Uuid, std::string>{{second, "New"}}));
    }

    // Lower-case identifier text is still an identifier.
    storeRaw(R"({"0a1b2c3d-4e5f-4061-8293-a4b5c6d7e8f9":"iPad"})");
    EXPECT_EQ(store.loadAll(), (std::map<Uuid, std::string>{{first, "iPad"}}));
}

TEST_F(TrustedDeviceStoreTest, NamesThatAreNotUTF8AreStoredWithoutLosingTheOthers) {
    store.saveAll({{first, "ok"}, {second, "bad \xff name"}});
    auto loaded = store.loadAll();
    ASSERT_EQ(loaded.size(), 2u);
    EXPECT_EQ(loaded.at(first), "ok");
    EXPECT_EQ(loaded.at(second), "bad \xEF\xBF\xBD name"); // U+FFFD
}

TEST_F(TrustedDeviceStoreTest, SortsByNormalisedCodePointsAndKeepsEqualNames) {
    const Uuid fourth = uuid("20000000-0000-4000-8000-000000000000");
    const Uuid fifth = uuid("30000000-0000-4000-8000-000000000000");
    const Uuid sixth = uuid("40000000-0000-4000-8000-000000000000");
    store.saveAll({
        {first, "apple"},
        {second, "E\xCC\x81"
                 "b"}, // "Éb" decomposed: sorts as U+00C9, not as 'E'
        {third, "\xC3\x89"
                "a"}, // "Éa" precomposed
        {fourth, "Zed"},
        {fifth, "iPad"},
        {sixth, "iPad"},
    });
    std::vector<TrustedDevice> expected = {
        {fourth, "Zed"},
        {first, "apple"},
        {fifth, "iPad"},
        {sixth, "iPad"},
        {third, "\xC3\x89"
                "a"},
        {second, "E\xCC\x81"
                 "b"},
    };
    EXPECT_EQ(store.sortedDevices(), expected);
}

TEST_F(TrustedDeviceStoreTest, AnUnusableKeychainReadsAsEmptyAndWritesSilently) {
    store.saveAll({{first, "iPad"}});
    ASSERT_EQ(::chmod(home.keychainDir().c_str(), 0750), 0);
    EXPECT_TRUE(store.loadAll().empty());
    EXPECT_NO_THROW(store.saveAll({{second, "Other"}}));
    ASSERT_EQ(::chmod(home.keychainDir().c_str(), 0700), 0);
    EXPECT_EQ(store.loadAll(), (std::map<Uuid, std::string>{{first, "iPad"}}));
}

TEST(TrustedDevice, JSONFormHasIdAndName) {
    TrustedDevice device{first, "iPad"};
    nlohmann::json json = device;
    EXPECT_EQ(json.dump(), R"({"id":"0A1B2C3D-4E5F-4061-8293-A4B5C6D7E8F9","name":"iPad"})");
    EXPECT_EQ(json.get<TrustedDevice>(), device);
    EXPECT_THROW((void)nlohmann::json::parse(R"({"id":"nope","name":"x"})").get<TrustedDevice>(),
                 nlohmann::json::exception);
}
