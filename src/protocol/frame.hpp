#pragma once

#include "protocol/control_message.hpp"
#include "protocol/wire_error.hpp"

#include <cstdint>
#include <optional>
#include <variant>

namespace tessarine {

enum class FrameType : std::uint8_t {
    video = 1,
    control = 2,
    keepalive = 3,
    audio = 4,
    cursorMove = 5
};

// The frame type a byte names, or nothing for 0 and 6..255.
std::optional<FrameType> frameTypeFromByte(std::uint8_t byte);

// One unit on the TCP connection: a type byte, then a fixed layout per type.
// All integers are big-endian.
struct Frame {
    struct Video {
        std::uint64_t pts = 0;
        Bytes payload;
        bool operator==(const Video&) const = default;
    };
    struct Audio {
        std::uint64_t pts = 0;
        Bytes payload;
        bool operator==(const Audio&) const = default;
    };
    struct Control {
        ControlMessage message;
        bool operator==(const Control&) const = default;
    };
    struct CursorMove {
        std::uint32_t ptsMs = 0;
        std::int16_t xPx = 0;
        std::int16_t yPx = 0;
        std::uint8_t flags = 0;
        std::uint32_t cursorId = 0;
        bool operator==(const CursorMove&) const = default;
    };
    struct Keepalive {
        bool operator==(const Keepalive&) const = default;
    };

    // Alternatives in wire-type order (video = 1 ... cursorMove = 5).
    using Value = std::variant<Video, Control, Keepalive, Audio, CursorMove>;
    Value value;

    static Frame video(std::uint64_t pts, Bytes payload) {
        return {Video{pts, std::move(payload)}};
    }
    static Frame audio(std::uint64_t pts, Bytes payload) {
        return {Audio{pts, std::move(payload)}};
    }
    static Frame control(ControlMessage message) { return {Control{std::move(message)}}; }
    static Frame cursorMove(std::uint32_t ptsMs, std::int16_t xPx, std::int16_t yPx,
                            std::uint8_t flags, std::uint32_t cursorId) {
        return {CursorMove{ptsMs, xPx, yPx, flags, cursorId}};
    }
    static Frame keepalive() { return {Keepalive{}}; }

    FrameType type() const { return static_cast<FrameType>(value.index() + 1); }
    template <typename T> const T* as() const { return std::get_if<T>(&value); }

    // The frame's bytes, built with one allocation of the exact size. Throws
    // WireError::controlPayloadTooLarge for JSON of 65,536 bytes or more,
    // WireError::frameTooLarge for a payload the 32-bit length cannot express,
    // and ControlEncodeError for a message that cannot be written as JSON.
    Bytes encode() const;

    bool operator==(const Frame&) const = default;
};

} // namespace tessarine
