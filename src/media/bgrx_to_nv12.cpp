#include "media/bgrx_to_nv12.hpp"

#include <cstddef>

namespace tessarine {

namespace {

// Kr = .2126, Kg = .7152, Kb = .0722, scaled by 2^16; each row sums to 65536
// (luma) or 0 (chroma), so white is exactly 255 and greys have neutral chroma.
constexpr int kYR = 13933, kYG = 46871, kYB = 4732;
constexpr int kCbR = -7509, kCbG = -25259, kCbB = 32768;
constexpr int kCrR = 32768, kCrG = -29763, kCrB = -3005;

inline std::uint8_t clamp8(int v) {
    return static_cast<std::uint8_t>(v < 0 ? 0 : (v > 255 ? 255 : v));
}

void lumaRow(const std::uint8_t* s, int width, std::uint8_t* y) {
    for (int x = 0; x < width; ++x) {
        const std::uint8_t* p = s + 4 * x;
        y[x] = static_cast<std::uint8_t>((kYR * p[2] + kYG * p[1] + kYB * p[0] + 32768) >> 16);
    }
}

// Sums of four pixels: scale 2^16 × 4 = 2^18.
inline void chromaPair(int b, int g, int r, std::uint8_t* uv) {
    uv[0] = clamp8((kCbR * r + kCbG * g + kCbB * b + (128 << 18) + (1 << 17)) >> 18);
    uv[1] = clamp8((kCrR * r + kCrG * g + kCrB * b + (128 << 18) + (1 << 17)) >> 18);
}

void chromaRow(const std::uint8_t* s0, const std::uint8_t* s1, int width, std::uint8_t* uv) {
    const int pairs = width / 2;
    for (int x = 0; x < pairs; ++x) {
        const std::uint8_t* a = s0 + 8 * x;
        const std::uint8_t* b = s1 + 8 * x;
        chromaPair(a[0] + a[4] + b[0] + b[4], a[1] + a[5] + b[1] + b[5], a[2] + a[6] + b[2] + b[6],
                   uv + 2 * x);
    }
    if (width % 2) {
        const std::uint8_t* a = s0 + 4 * (width - 1);
        const std::uint8_t* b = s1 + 4 * (width - 1);
        chromaPair(2 * (a[0] + b[0]), 2 * (a[1] + b[1]), 2 * (a[2] + b[2]), uv + 2 * pairs);
    }
}

} // namespace

// AVX2 where the processor has it, chosen once at load time.
__attribute__((target_clones("avx2", "default"))) void
convertBgrxToNv12(const std::uint8_t* source, int sourceStride, int width, int height,
                  std::uint8_t* luma, int lumaStride, std::uint8_t* chroma, int chromaStride) {
    for (int row = 0; row < height; row += 2) {
        const std::uint8_t* s0 = source + static_cast<std::ptrdiff_t>(row) * sourceStride;
        const std::uint8_t* s1 = row + 1 < height ? s0 + sourceStride : s0;
        lumaRow(s0, width, luma + static_cast<std::ptrdiff_t>(row) * lumaStride);
        if (row + 1 < height)
            lumaRow(s1, width, luma + static_cast<std::ptrdiff_t>(row + 1) * lumaStride);
        chromaRow(s0, s1, width, chroma + static_cast<std::ptrdiff_t>(row / 2) * chromaStride);
    }
}

} // namespace tessarine
