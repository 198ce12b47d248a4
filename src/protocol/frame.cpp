#include "protocol/frame.hpp"

#include "protocol/byte_order.hpp"

#include <cstring>
#include <limits>

namespace tessarine {
namespace {

Bytes encodeMedia(std::uint8_t type, std::uint64_t pts, const Bytes& payload) {
    if (payload.size() > std::numeric_limits<std::uint32_t>::max())
        throw WireError::frameTooLarge(payload.size());
    Bytes out(13 + payload.size());
    out[0] = type;
    byte_order::put64(&out[1], pts);
    byte_order::put32(&out[9], static_cast<std::uint32_t>(payload.size()));
    if (!payload.empty())
        std::memcpy(&out[13], payload.data(), payload.size());
    return out;
}

} // namespace

std::optional<FrameType> frameTypeFromByte(std::uint8_t byte) {
    if (byte >= 1 && byte <= 5)
        return static_cast<FrameType>(byte);
    return std::nullopt;
}

Bytes Frame::encode() const {
    return std::visit(
        [](const auto& f) -> Bytes {
            using F = std::decay_t<decltype(f)>;
            if constexpr (std::is_same_v<F, Video>) {
                return encodeMedia(1, f.pts, f.payload);
            } else if constexpr (std::is_same_v<F, Audio>) {
                return encodeMedia(4, f.pts, f.payload);
            } else if constexpr (std::is_same_v<F, Control>) {
                std::string json = encodeControlMessage(f.message);
                if (json.size() >= 65536)
                    throw WireError::controlPayloadTooLarge(static_cast<std::int64_t>(json.size()));
                Bytes out(3 + json.size());
                out[0] = 2;
                byte_order::put16(&out[1], static_cast<std::uint16_t>(json.size()));
                std::memcpy(&out[3], json.data(), json.size());
                return out;
            } else if constexpr (std::is_same_v<F, CursorMove>) {
                Bytes out(14);
                out[0] = 5;
                byte_order::put32(&out[1], f.ptsMs);
                byte_order::put16(&out[5], static_cast<std::uint16_t>(f.xPx));
                byte_order::put16(&out[7], static_cast<std::uint16_t>(f.yPx));
                out[9] = f.flags;
                byte_order::put32(&out[10], f.cursorId);
                return out;
            } else {
                return Bytes{3};
            }
        },
        value);
}

} // namespace tessarine
