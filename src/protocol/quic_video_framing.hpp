#pragma once

#include "protocol/control_message.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <utility>

namespace tessarine {

// The content of one QUIC video stream: pts (8 bytes, big-endian), then the
// access unit up to the end of the stream.
namespace QUICVideoFraming {

Bytes encode(std::uint64_t pts, std::span<const std::uint8_t> payload);
// Nothing when fewer than 8 bytes are given.
std::optional<std::pair<std::uint64_t, Bytes>> decode(std::span<const std::uint8_t> data);

} // namespace QUICVideoFraming
} // namespace tessarine
