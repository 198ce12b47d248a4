#pragma once

#include <cstdint>
#include <optional>
#include <string>

namespace tessarine {

// A time stamp drawn into the picture as a row of black and white blocks, so
// that whoever decodes the video can tell when the frame was drawn, whatever
// the pipeline in between.
namespace TimestampBarcode {

constexpr int bits = 48;    // microseconds since the epoch, low 48 bits (~8.9 years)
constexpr int blockPx = 16; // each bit is one square block
constexpr int widthPx = (bits + 2) * blockPx; // a white and a black guard block lead
constexpr int heightPx = blockPx;

// Reads the stamp from a luma plane (8-bit, full range) whose top-left corner
// holds the barcode; nothing when the guard blocks are not there.
std::optional<std::uint64_t> read(const std::uint8_t* luma, int stride, int width, int height);

// The full 64-bit time for a 48-bit stamp, taken as the one closest to `now`.
std::uint64_t unwrap(std::uint64_t stamp, std::uint64_t nowUs);

} // namespace TimestampBarcode
} // namespace tessarine
