#include "security/trusted_device_store.hpp"

#include <algorithm>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <utf8proc.h>

namespace tessarine {
namespace {

KeychainItemId itemId() {
    return KeychainItemId::genericPassword(TrustedDeviceStore::keychainService,
                                           TrustedDeviceStore::keychainAccount);
}

// UTF-8 byte order is code-point order, so the NFC bytes are the sort key.
// Text that is not valid UTF-8 cannot be normalised and sorts by its bytes.
std::string sortKey(const std::string& name) {
    utf8proc_uint8_t* normalized =
        utf8proc_NFC(reinterpret_cast<const utf8proc_uint8_t*>(name.c_str()));
    if (normalized == nullptr)
        return name;
    std::string key(reinterpret_cast<const char*>(normalized));
    std::free(normalized);
    return key;
}

} // namespace

void to_json(nlohmann::json& json, const TrustedDevice& device) {
    json = nlohmann::json{{"id", device.id.toString()}, {"name", device.name}};
}

void from_json(const nlohmann::json& json, TrustedDevice& device) {
    auto id = Uuid::parse(json.at("id").get<std::string>());
    if (!id)
        throw nlohmann::json::other_error::create(501, "\"id\" is not a UUID", &json);
    device.id = *id;
    device.name = json.at("name").get<std::string>();
}

TrustedDeviceStore::TrustedDeviceStore() : keychain_(std::make_shared<Keychain>()) {}

TrustedDeviceStore::TrustedDeviceStore(std::shared_ptr<const Keychain> keychain)
    : keychain_(std::move(keychain)) {}

std::string TrustedDeviceStore::encode(const std::map<Uuid, std::string>& devices) {
    nlohmann::json object = nlohmann::json::object();
    for (const auto& [id, name] : devices)
        object[id.toString()] = name;
    // Names arrive from the network; invalid UTF-8 is replaced rather than
    // failing the whole write.
    return object.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

std::optional<std::map<Uuid, std::string>>
TrustedDeviceStore::decode(std::span<const std::uint8_t> data) {
    auto json = nlohmann::json::parse(data.begin(), data.end(), nullptr, false);
    if (json.is_discarded() || !json.is_object())
        return std::nullopt;
    std::map<Uuid, std::string> devices;
    for (const auto& [key, value] : json.items()) {
        auto id = Uuid::parse(key);
        if (!id || !value.is_string())
            return std::nullopt;
        devices[*id] = value.get<std::string>();
    }
    return devices;
}

std::map<Uuid, std::string> TrustedDeviceStore::loadAll() const {
    try {
        auto data = keychain_->find(itemId());
        if (!data)
            return {};
        return decode(*data).value_or(std::map<Uuid, std::string>{});
    } catch (const std::exception&) {
        return {};
    }
}

void TrustedDeviceStore::saveAll(const std::map<Uuid, std::string>& devices) const {
    std::string json = encode(devices);
    std::span<const std::uint8_t> value(reinterpret_cast<const std::uint8_t*>(json.data()),
                                        json.size());
    try {
        if (keychain_->update(itemId(), value) == KeychainStatus::itemNotFound)
            keychain_->add(itemId(), value);
    } catch (const KeychainError&) {
        // Not reported: the caller republishes what loadAll() then returns.
    }
}

std::vector<TrustedDevice> TrustedDeviceStore::sortedDevices() const {
    std::vector<std::pair<std::string, TrustedDevice>> keyed;
    for (auto& [id, name] : loadAll())
        keyed.push_back({sortKey(name), TrustedDevice{id, name}});
    std::stable_sort(keyed.begin(), keyed.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<TrustedDevice> devices;
    devices.reserve(keyed.size());
    for (auto& entry : keyed)
        devices.push_back(std::move(entry.second));
    return devices;
}

} // namespace tessarine
