#include "media/bgrx_to_nv12.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <random>
#include <vector>

namespace tessarine {
namespace {

// Exact full-range BT.709, in double precision.
double lumaOf(double r, double g, double b) {
    return 0.2126 * r + 0.7152 * g + 0.0722 * b;
}

struct Image {
    int width, height;
    std::vector<std::uint8_t> bgrx; // stride = width * 4 + 12 (padding is never read)
    int stride() const { return width * 4 + 12; }
    const std::uint8_t* at(int x, int y) const {
        return &bgrx[static_cast<std::size_t>(y * stride() + x * 4)];
    }
};

Image randomImage(int width, int height, unsigned seed) {
    Image image{width, height, {}};
    image.bgrx.resize(static_cast<std::size_t>(image.stride() * height));
    std::mt19937 rng(seed);
    for (auto& byte : image.bgrx)
        byte = static_cast<std::uint8_t>(rng());
    return image;
}

void checkAgainstReference(const Image& image) {
    const int w = image.width, h = image.height;
    const int lumaStride = w + 3, chromaStride = ((w + 1) / 2) * 2 + 5;
    std::vector<std::uint8_t> luma(static_cast<std::size_t>(lumaStride * h), 0xEE);
    std::vector<std::uint8_t> chroma(static_cast<std::size_t>(chromaStride * ((h + 1) / 2)), 0xEE);
    convertBgrxToNv12(image.bgrx.data(), image.stride(), w, h, luma.data(), lumaStride,
                      chroma.data(), chromaStride);
    int worst = 0;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            const auto* p = image.at(x, y);
            const double want = lumaOf(p[2], p[1], p[0]);
            worst = std::max(worst, static_cast<int>(std::abs(
                                        luma[static_cast<std::size_t>(y * lumaStride + x)] -
                                        std::lround(want))));
        }
    for (int cy = 0; cy < (h + 1) / 2; ++cy)
        for (int cx = 0; cx < (w + 1) / 2; ++cx) {
            double r = 0, g = 0, b = 0;
            for (int dy = 0; dy < 2; ++dy)
                for (int dx = 0; dx < 2; ++dx) {
                    // An odd last column or row repeats.
                    const auto* p =
                        image.at(std::min(2 * cx + dx, w - 1), std::min(2 * cy + dy, h - 1));
                    b += p[0] / 4.0;
                    g += p[1] / 4.0;
                    r += p[2] / 4.0;
                }
            const double y = lumaOf(r, g, b);
            const double cb = std::clamp((b - y) / 1.8556 + 128, 0.0, 255.0);
            const double cr = std::clamp((r - y) / 1.5748 + 128, 0.0, 255.0);
            const auto* uv = &chroma[static_cast<std::size_t>(cy * chromaStride + cx * 2)];
            worst = std::max(worst, static_cast<int>(std::abs(uv[0] - std::lround(cb))));
            worst = std::max(worst, static_cast<int>(std::abs(uv[1] - std::lround(cr))));
        }
    EXPECT_LE(worst, 1) << w << "x" << h;
    // Nothing written beyond each row's pixels.
    for (int y = 0; y < h; ++y)
        for (int x = w; x < lumaStride; ++x)
            ASSERT_EQ(luma[static_cast<std::size_t>(y * lumaStride + x)], 0xEE);
    for (int cy = 0; cy < (h + 1) / 2; ++cy)
        for (int x = ((w + 1) / 2) * 2; x < chromaStride; ++x)
            ASSERT_EQ(chroma[static_cast<std::size_t>(cy * chromaStride + x)], 0xEE);
}

TEST(BgrxToNv12Test, MatchesFullRangeBt709WithinOne) {
    checkAgainstReference(randomImage(64, 32, 1));
    checkAgainstReference(randomImage(67, 33, 2)); // odd sizes: last column and row repeat
    checkAgainstReference(randomImage(1, 1, 3));
}

TEST(BgrxToNv12Test, ExtremesAreExact) {
    // White, black, pure red and pure blue (whose Cr / Cb saturate).
    const std::uint8_t pixels[][4] = {
        {255, 255, 255, 0}, {0, 0, 0, 0}, {0, 0, 255, 0}, {255, 0, 0, 0}};
    const int expected[][3] = {{255, 128, 128}, {0, 128, 128}, {54, 99, 255}, {18, 255, 116}};
    for (int i = 0; i < 4; ++i) {
        std::vector<std::uint8_t> block;
        for (int k = 0; k < 4; ++k)
            block.insert(block.end(), pixels[i], pixels[i] + 4);
        std::uint8_t luma[4], chroma[2];
        convertBgrxToNv12(block.data(), 8, 2, 2, luma, 2, chroma, 2);
        EXPECT_EQ(luma[0], expected[i][0]) << i;
        EXPECT_EQ(luma[3], expected[i][0]) << i;
        EXPECT_EQ(chroma[0], expected[i][1]) << i;
        EXPECT_EQ(chroma[1], expected[i][2]) << i;
    }
}

} // namespace
} // namespace tessarine
