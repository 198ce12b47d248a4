#pragma once

#include "protocol/frame.hpp"

#include <cstddef>
#include <optional>
#include <span>

namespace tessarine {

// Turns an arbitrarily chunked byte stream into frames. Bytes that do not yet
// form a complete frame stay buffered. Consumed bytes are dropped by advancing
// a read offset; the buffer is compacted only when the consumed part outweighs
// what is left, so parsing stays linear however many frames a chunk holds.
// A large video or audio payload that arrives over several reads is gathered
// straight into its own buffer, so its bytes are copied once, not twice.
class FrameReader {
public:
    static constexpr std::size_t defaultMaxPayload = 64u << 20;
    static constexpr std::size_t defaultDirectFill = 16u << 10;

    // A video or audio header declaring more than maxPayload bytes is refused
    // (WireError::frameTooLarge) instead of buffering toward it.
    // Payloads of at least directFill bytes that span several reads are
    // gathered in place.
    explicit FrameReader(std::size_t maxPayload = defaultMaxPayload,
                         std::size_t directFill = defaultDirectFill)
        : maxPayload_(maxPayload), directFill_(directFill) {}

    void append(std::span<const std::uint8_t> data);

    // The next complete frame, or nothing while the buffer holds none. Throws
    // WireError: unknownFrameType and frameTooLarge leave the buffer as it is
    // (the stream cannot be resynchronised); decodeFailed has consumed the
    // broken control frame, so the next call continues after it.
    std::optional<Frame> next();

    // Drops every buffered byte (the connection ended).
    void reset();

    std::size_t bufferedBytes() const;
    std::size_t maxPayload() const { return maxPayload_; }

private:
    // A media frame at the front of the stream whose payload is still arriving.
    struct PendingMedia {
        std::uint8_t type;
        std::uint64_t pts;
        std::size_t length;
        Bytes payload;
    };
    void startPendingIfLarge();

    std::optional<PendingMedia> pending_;
    Bytes buffer_;
    std::size_t offset_ = 0;
    std::size_t maxPayload_;
    std::size_t directFill_;
};

} // namespace tessarine
