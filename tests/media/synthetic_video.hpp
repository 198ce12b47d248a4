#pragma once

#include <cmath>
#include <cstdint>
#include <limits>

#include "media/pixel_buffer.hpp"

namespace tessarine::testing {

// A moving test picture: diagonal gradients drifting with the frame index, a
// bright box travelling across, and fine stripes (text-like detail).
inline PixelBuffer syntheticFrame(int width, int height, int index) {
    PixelBuffer frame = PixelBuffer::allocate(width, height);
    const int boxX = (index * 4) % (width > 64 ? width - 64 : 1);
    const int boxY = (index * 2) % (height > 48 ? height - 48 : 1);
    for (int row = 0; row < height; ++row) {
        std::uint8_t* y = frame.luma() + static_cast<std::ptrdiff_t>(row) * frame.lumaStride();
        for (int x = 0; x < width; ++x) {
            int value = 40 + ((x + row + index * 3) % 160);
            if ((row / 8) % 3 == 0 && (x % 6) < 2)
                value = 230;
            if (x >= boxX && x < boxX + 64 && row >= boxY && row < boxY + 48)
                value = 250;
            y[x] = static_cast<std::uint8_t>(value);
        }
    }
    for (int row = 0; row < frame.chromaHeight(); ++row) {
        std::uint8_t* c = frame.chroma() + static_cast<std::ptrdiff_t>(row) * frame.chromaStride();
        for (int x = 0; x < (width + 1) / 2; ++x) {
            c[2 * x] = static_cast<std::uint8_t>(64 + ((x + index) % 128));
            c[2 * x + 1] = static_cast<std::uint8_t>(64 + ((row * 2 + index) % 128));
        }
    }
    return frame;
}

// Peak signal-to-noise ratio of the luma planes in dB (infinity if identical).
inline double lumaPsnr(const PixelBuffer& a, const PixelBuffer& b) {
    double squared = 0;
    for (int row = 0; row < a.height(); ++row)
        for (int x = 0; x < a.width(); ++x) {
            const double d = double(a.y(x, row)) - double(b.y(x, row));
            squared += d * d;
        }
    const double mse = squared / (double(a.width()) * a.height());
    return mse == 0 ? std::numeric_limits<double>::infinity()
                    : 10.0 * std::log10(255.0 * 255.0 / mse);
}

// Same for the interleaved chroma plane.
inline double chromaPsnr(const PixelBuffer& a, const PixelBuffer& b) {
    double squared = 0;
    const int bytes = ((a.width() + 1) / 2) * 2;
    for (int row = 0; row < a.chromaHeight(); ++row)
        for (int x = 0; x < bytes; ++x) {
            const double d =
                double(a.chroma()[static_cast<std::ptrdiff_t>(row) * a.chromaStride() + x]) -
                double(b.chroma()[static_cast<std::ptrdiff_t>(row) * b.chromaStride() + x]);
            squared += d * d;
        }
    const double mse = squared / (double(bytes) * a.chromaHeight());
    return mse == 0 ? std::numeric_limits<double>::infinity()
                    : 10.0 * std::log10(255.0 * 255.0 / mse);
}

} // namespace tessarine::testing
