#pragma once

#include "protocol/uuid.hpp"

#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

namespace tessarine {

using Bytes = std::vector<std::uint8_t>;

// The tablet's introduction.
struct ClientHello {
    Uuid deviceId;
    std::string deviceName;
    std::uint32_t widthPx = 0;
    std::uint32_t heightPx = 0;
    double scaleFactor = 1.0;
    bool operator==(const ClientHello&) const = default;
};

// The display the agent will stream.
struct DisplayConfig {
    std::uint32_t widthPx = 0;
    std::uint32_t heightPx = 0;
    double scaleFactor = 1.0;
    std::uint32_t refreshHz = 0;
    bool operator==(const DisplayConfig&) const = default;
};

// One cursor shape; `cursorMove` frames refer to it by `cursorId`.
struct CursorImage {
    std::uint32_t cursorId = 0;
    std::uint16_t widthPt = 0;
    std::uint16_t heightPt = 0;
    std::uint16_t hotspotXPt = 0;
    std::uint16_t hotspotYPt = 0;
    float scale = 1.0f;
    Bytes pngData;
    bool operator==(const CursorImage&) const = default;
};

struct AudioConfig {
    std::uint32_t sampleRateHz = 0;
    std::uint8_t channelCount = 0;
    std::string codec;
    std::uint32_t bitrateBps = 0;
    bool operator==(const AudioConfig&) const = default;
};

// Cases with a labelled value.
struct PairConfirm {
    std::string deviceName;
    bool operator==(const PairConfirm&) const = default;
};
struct Heartbeat {
    std::uint64_t sentAtMillis = 0;
    bool operator==(const Heartbeat&) const = default;
};
struct Disconnect {
    std::string reason;
    bool operator==(const Disconnect&) const = default;
};
struct RequestKeyframe {
    bool operator==(const RequestKeyframe&) const = default;
};
struct CursorVisibility {
    bool visible = true;
    bool operator==(const CursorVisibility&) const = default;
};
struct QuicPort {
    std::uint16_t port = 0;
    bool operator==(const QuicPort&) const = default;
};

// Everything that is not media or cursor motion; one message per control frame.
// Alternatives are in the protocol's case order.
using ControlMessage =
    std::variant<ClientHello, DisplayConfig, AudioConfig, PairConfirm, Heartbeat, Disconnect,
                 RequestKeyframe, CursorImage, CursorVisibility, QuicPort>;

// The JSON key of a message's case ("hello", "displayConfig", ...).
std::string_view controlMessageKey(const ControlMessage& message);

// Raised when a message cannot be written as JSON (a non-finite number).
class ControlEncodeError : public std::invalid_argument {
public:
    using std::invalid_argument::invalid_argument;
};

// Raised when JSON text is not a valid message; what() is the decoder's description.
class ControlDecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// Compact JSON: {"case":{...}}. Throws ControlEncodeError.
std::string encodeControlMessage(const ControlMessage& message);

// Throws ControlDecodeError with the description of what was wrong.
ControlMessage decodeControlMessage(std::string_view json);

// Standard Base64 (RFC 4648 alphabet, "=" padding, no line breaks).
std::string base64Encode(const Bytes& data);
// Strict: returns false on any character, length or padding error.
bool base64Decode(std::string_view text, Bytes& out);

} // namespace tessarine
