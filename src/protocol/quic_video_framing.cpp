#include "protocol/quic_video_framing.hpp"

#include "protocol/byte_order.hpp"

#include <cstring>

namespace tessarine::QUICVideoFraming {

Bytes encode(std::uint64_t pts, std::span<const std::uint8_t> payload) {
    Bytes out(8 + payload.size());
    byte_order::put64(out.data(), pts);
    if (!payload.empty())
        std::memcpy(out.data() + 8, payload.data(), payload.size());
    return out;
}

std::optional<std::pair<std::uint64_t, Bytes>> decode(std::span<const std::uint8_t> data) {
    if (data.size() < 8)
        return std::nullopt;
    return std::pair{byte_order::get64(data.data()), Bytes(data.begin() + 8, data.end())};
}

} // namespace tessarine::QUICVideoFraming
