#pragma once

#include "protocol/uuid.hpp"
#include "security/keychain.hpp"

#include <map>
#include <memory>
#include <nlohmann/json_fwd.hpp>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tessarine {

// An allowed tablet as the user interface shows it.
struct TrustedDevice {
    Uuid id;
    std::string name;

    bool operator==(const TrustedDevice&) const = default;
};

// JSON form {"id": "<UUID text>", "name": "..."}.
void to_json(nlohmann::json& json, const TrustedDevice& device);
void from_json(const nlohmann::json& json, TrustedDevice& device);

// The allowed tablets, kept as one keychain item holding a JSON object from
// upper-case UUID text to name. Nothing is cached: every read goes to the
// keychain and every change rewrites the whole map. Callers serialise their
// read-modify-write sequences.
class TrustedDeviceStore {
public:
    static constexpr const char* keychainService = "app.tessarine.mac.trust";
    static constexpr const char* keychainAccount = "trusted-ipads-v2";

    TrustedDeviceStore(); // the user's keychain
    explicit TrustedDeviceStore(std::shared_ptr<const Keychain> keychain);

    // The stored map; empty when the item is missing, unreadable or not a map
    // of UUID text to strings. Never fails.
    std::map<Uuid, std::string> loadAll() const;
    // Writes the whole map, creating the item if needed. Failures are not
    // reported: callers read back what the keychain really holds.
    void saveAll(const std::map<Uuid, std::string>& devices) const;
    // loadAll() as records, stably sorted by NFC-normalised name in code-point order.
    std::vector<TrustedDevice> sortedDevices() const;

    // The item's value for a map, and the map for a value (nullopt if undecodable).
    static std::string encode(const std::map<Uuid, std::string>& devices);
    static std::optional<std::map<Uuid, std::string>> decode(std::span<const std::uint8_t> data);

private:
    std::shared_ptr<const Keychain> keychain_;
};

} // namespace tessarine
