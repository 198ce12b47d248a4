#include "protocol/control_message.hpp"

#include <array>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <nlohmann/json.hpp>

namespace tessarine {
namespace {

using Json = nlohmann::ordered_json;

constexpr std::array<std::string_view, 10> caseKeys = {
    "hello",      "displayConfig",   "audioConfig", "pairConfirm",      "heartbeat",
    "disconnect", "requestKeyframe", "cursorImage", "cursorVisibility", "quicPort"};

[[noreturn]] void fail(const std::string& description) {
    throw ControlDecodeError(description);
}

std::string_view typeName(const Json& value) {
    switch (value.type()) {
    case Json::value_t::null:
        return "null";
    case Json::value_t::object:
        return "an object";
    case Json::value_t::array:
        return "an array";
    case Json::value_t::string:
        return "a string";
    case Json::value_t::boolean:
        return "a boolean";
    case Json::value_t::binary:
        return "binary data";
    case Json::value_t::discarded:
        return "nothing";
    default:
        return "a number";
    }
}

// Reading one record: every field required, the right JSON type, in range.
class Fields {
public:
    Fields(const Json& object, std::string_view path) : object_(object), path_(path) {
        if (!object.is_object())
            fail("Expected to decode an object at " + path_ + " but found " +
                 std::string(typeName(object)) + " instead.");
    }

    const Json& require(const char* key) const {
        auto it = object_.find(key);
        if (it == object_.end())
            fail("No value associated with key \"" + std::string(key) + "\" at " + path_ + ".");
        if (it->is_null())
            fail("Expected a value for key \"" + std::string(key) + "\" at " + path_ +
                 " but found null instead.");
        return *it;
    }

    template <typename Int> Int integer(const char* key) const {
        const Json& v = require(key);
        if (v.is_number_unsigned()) {
            auto raw = v.get<std::uint64_t>();
            if (raw <= static_cast<std::uint64_t>(std::numeric_limits<Int>::max()))
                return static_cast<Int>(raw);
        } else if (v.is_number_integer()) {
            auto raw = v.get<std::int64_t>();
            if (raw >= static_cast<std::int64_t>(std::numeric_limits<Int>::min()) &&
                (raw < 0 || static_cast<std::uint64_t>(raw) <=
                                static_cast<std::uint64_t>(std::numeric_limits<Int>::max())))
                return static_cast<Int>(raw);
        } else {
            mismatch(key, "an integer", v);
        }
        fail("Parsed JSON number <" + v.dump() + "> does not fit at " + path_ + "." + key + ".");
    }

    double number(const char* key) const {
        const Json& v = require(key);
        if (!v.is_number())
            mismatch(key, "a number", v);
        return v.get<double>();
    }

    float singleFloat(const char* key) const {
        double d = number(key);
        float f = static_cast<float>(d);
        if (!std::isfinite(f))
            fail("Parsed JSON number <" + std::to_string(d) + "> does not fit in Float at " +
                 path_ + "." + key + ".");
        return f;
    }

    bool boolean(const char* key) const {
        const Json& v = require(key);
        if (!v.is_boolean())
            mismatch(key, "a boolean", v);
        return v.get<bool>();
    }

    std::string string(const char* key) const {
        const Json& v = require(key);
        if (!v.is_string())
            mismatch(key, "a string", v);
        return v.get<std::string>();
    }

    Uuid uuid(const char* key) const {
        auto text = string(key);
        auto id = Uuid::parse(text);
        if (!id)
            fail("Attempted to decode UUID from invalid UUID string at " + path_ + "." + key + ".");
        return *id;
    }

    Bytes base64(const char* key) const {
        Bytes out;
        if (!base64Decode(string(key), out))
            fail("Encountered Data is not valid Base64 at " + path_ + "." + key + ".");
        return out;
    }

private:
    [[noreturn]] void mismatch(const char* key, std::string_view expected, const Json& v) const {
        fail("Expected to decode " + std::string(expected) + " at " + path_ + "." + key +
             " but found " + std::string(typeName(v)) + " instead.");
    }

    const Json& object_;
    std::string path_;
};

void requireFinite(double value, const char* what) {
    if (!std::isfinite(value))
        throw ControlEncodeError(std::string("Unable to encode a non-finite number (") + what +
                                 ") directly in JSON.");
}

// A float written with the shortest text that reads back as the same float
// (1.1f is sent as 1.1, not as 1.100000023841858).
Json floatJson(float value) {
    char text[32];
    auto result = std::to_chars(text, text + sizeof text, value);
    return Json(std::strtod(std::string(text, result.ptr).c_str(), nullptr));
}

Json recordJson(const ClientHello& h) {
    requireFinite(h.scaleFactor, "scaleFactor");
    return Json{{"deviceId", h.deviceId.toString()},
                {"deviceName", h.deviceName},
                {"widthPx", h.widthPx},
                {"heightPx", h.heightPx},
                {"scaleFactor", h.scaleFactor}};
}

Json recordJson(const DisplayConfig& c) {
    requireFinite(c.scaleFactor, "scaleFactor");
    return Json{{"widthPx", c.widthPx},
                {"heightPx", c.heightPx},
                {"scaleFactor", c.scaleFactor},
                {"refreshHz", c.refreshHz}};
}

Json recordJson(const AudioConfig& c) {
    return Json{{"sampleRateHz", c.sampleRateHz},
                {"channelCount", c.channelCount},
                {"codec", c.codec},
                {"bitrateBps", c.bitrateBps}};
}

Json recordJson(const CursorImage& c) {
    requireFinite(c.scale, "scale");
    return Json{{"cursorId", c.cursorId},
                {"widthPt", c.widthPt},
                {"heightPt", c.heightPt},
                {"hotspotXPt", c.hotspotXPt},
                {"hotspotYPt", c.hotspotYPt},
                {"scale", floatJson(c.scale)},
                {"pngData", base64Encode(c.pngData)}};
}

Json caseBody(const ControlMessage& message) {
    return std::visit(
        [](const auto& m) -> Json {
            using M = std::decay_t<decltype(m)>;
            if constexpr (std::is_same_v<M, ClientHello> || std::is_same_v<M, DisplayConfig> ||
                          std::is_same_v<M, AudioConfig> || std::is_same_v<M, CursorImage>)
                return Json{{"_0", recordJson(m)}};
            else if constexpr (std::is_same_v<M, PairConfirm>)
                return Json{{"deviceName", m.deviceName}};
            else if constexpr (std::is_same_v<M, Heartbeat>)
                return Json{{"sentAtMillis", m.sentAtMillis}};
            else if constexpr (std::is_same_v<M, Disconnect>)
                return Json{{"reason", m.reason}};
            else if constexpr (std::is_same_v<M, RequestKeyframe>)
                return Json::object();
            else if constexpr (std::is_same_v<M, CursorVisibility>)
                return Json{{"visible", m.visible}};
            else
                return Json{{"port", m.port}};
        },
        message);
}

ControlMessage decodeCase(std::string_view key, const Json& body) {
    const std::string path(key);
    Fields outer(body, path);
    if (key == "hello") {
        Fields f(outer.require("_0"), path + "._0");
        return ClientHello{f.uuid("deviceId"), f.string("deviceName"),
                           f.integer<std::uint32_t>("widthPx"),
                           f.integer<std::uint32_t>("heightPx"), f.number("scaleFactor")};
    }
    if (key == "displayConfig") {
        Fields f(outer.require("_0"), path + "._0");
        return DisplayConfig{f.integer<std::uint32_t>("widthPx"),
                             f.integer<std::uint32_t>("heightPx"), f.number("scaleFactor"),
                             f.integer<std::uint32_t>("refreshHz")};
    }
    if (key == "audioConfig") {
        Fields f(outer.require("_0"), path + "._0");
        return AudioConfig{f.integer<std::uint32_t>("sampleRateHz"),
                           f.integer<std::uint8_t>("channelCount"), f.string("codec"),
                           f.integer<std::uint32_t>("bitrateBps")};
    }
    if (key == "cursorImage") {
        Fields f(outer.require("_0"), path + "._0");
        return CursorImage{f.integer<std::uint32_t>("cursorId"),
                           f.integer<std::uint16_t>("widthPt"),
                           f.integer<std::uint16_t>("heightPt"),
                           f.integer<std::uint16_t>("hotspotXPt"),
                           f.integer<std::uint16_t>("hotspotYPt"),
                           f.singleFloat("scale"),
                           f.base64("pngData")};
    }
    if (key == "pairConfirm")
        return PairConfirm{outer.string("deviceName")};
    if (key == "heartbeat")
        return Heartbeat{outer.integer<std::uint64_t>("sentAtMillis")};
    if (key == "disconnect")
        return Disconnect{outer.string("reason")};
    if (key == "requestKeyframe")
        return RequestKeyframe{};
    if (key == "cursorVisibility")
        return CursorVisibility{outer.boolean("visible")};
    return QuicPort{outer.integer<std::uint16_t>("port")};
}

constexpr std::string_view base64Alphabet =
    "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

} // namespace

std::string_view controlMessageKey(const ControlMessage& message) {
    return caseKeys[message.index()];
}

std::string encodeControlMessage(const ControlMessage& message) {
    Json root = Json::object();
    root[std::string(controlMessageKey(message))] = caseBody(message);
    return root.dump();
}

ControlMessage decodeControlMessage(std::string_view text) {
    Json root;
    try {
        root = Json::parse(text);
    } catch (const Json::exception& e) {
        fail(std::string("The given data was not valid JSON. ") + e.what());
    }
    if (!root.is_object())
        fail("Expected to decode an object but found " + std::string(typeName(root)) + " instead.");
    const Json* body = nullptr;
    std::string_view key;
    int found = 0;
    for (auto it = root.begin(); it != root.end(); ++it) {
        for (auto candidate : caseKeys) {
            if (it.key() == candidate) {
                ++found;
                key = candidate;
                body = &it.value();
            }
        }
    }
    if (found != 1)
        fail("Invalid number of keys found, expected one.");
    try {
        return decodeCase(key, *body);
    } catch (const Json::exception& e) {
        fail(e.what()); // a conversion the checks above did not foresee: still just a bad message
    }
}

std::string base64Encode(const Bytes& data) {
    std::string out;
    out.reserve((data.size() + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 2 < data.size(); i += 3) {
        std::uint32_t v = data[i] << 16 | data[i + 1] << 8 | data[i + 2];
        out += base64Alphabet[v >> 18 & 63];
        out += base64Alphabet[v >> 12 & 63];
        out += base64Alphabet[v >> 6 & 63];
        out += base64Alphabet[v & 63];
    }
    if (std::size_t rest = data.size() - i; rest > 0) {
        std::uint32_t v = data[i] << 16 | (rest == 2 ? data[i + 1] << 8 : 0);
        out += base64Alphabet[v >> 18 & 63];
        out += base64Alphabet[v >> 12 & 63];
        out += rest == 2 ? base64Alphabet[v >> 6 & 63] : '=';
        out += '=';
    }
    return out;
}

bool base64Decode(std::string_view text, Bytes& out) {
    out.clear();
    if (text.size() % 4 != 0)
        return false;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        std::uint32_t v = 0;
        int padding = 0;
        for (std::size_t k = 0; k < 4; ++k) {
            char c = text[i + k];
            std::uint32_t sextet = 0;
            if (c == '=') {
                // Padding only in the last group's final one or two places.
                if (i + 4 != text.size() || k < 2 || (k == 2 && text[i + 3] != '='))
                    return false;
                ++padding;
            } else {
                auto pos = base64Alphabet.find(c);
                if (pos == std::string_view::npos || padding > 0)
                    return false;
                sextet = static_cast<std::uint32_t>(pos);
            }
            v = v << 6 | sextet;
        }
        out.push_back(static_cast<std::uint8_t>(v >> 16));
        if (padding < 2)
            out.push_back(static_cast<std::uint8_t>(v >> 8));
        if (padding < 1)
            out.push_back(static_cast<std::uint8_t>(v));
    }
    return true;
}

} // namespace tessarine
