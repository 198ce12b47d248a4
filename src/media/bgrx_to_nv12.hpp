#pragma once

#include <cstdint>

namespace tessarine {

// Converts 32-bit BGRx pixels (X11's little-endian xRGB) to NV12, full range,
// BT.709 coefficients; chroma is the mean of each 2×2 block (an odd last
// column or row is repeated). 16-bit fixed point, results within 1 of the
// exact values. Written out rather than done by libswscale because this one
// pass is several times faster (bench/capture) and runs for every frame.
void convertBgrxToNv12(const std::uint8_t* source, int sourceStride, int width, int height,
                       std::uint8_t* luma, int lumaStride, std::uint8_t* chroma, int chromaStride);

} // namespace tessarine
