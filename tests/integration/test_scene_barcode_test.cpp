#include "tools/timestamp_barcode.hpp"

#include <gtest/gtest.h>

#include <vector>

using namespace tessarine;

namespace {

// Paints a stamp the way the scene does, onto a luma plane.
void paint(std::vector<std::uint8_t>& luma, int stride, std::uint64_t stamp) {
    const int b = TimestampBarcode::blockPx;
    auto block = [&](int index, std::uint8_t value) {
        for (int y = 0; y < b; ++y)
            for (int x = 0; x < b; ++x)
                luma[static_cast<std::size_t>(y) * stride + index * b + x] = value;
    };
    block(0, 235);
    block(1, 16);
    for (int bit = 0; bit < TimestampBarcode::bits; ++bit)
        block(bit + 2, (stamp >> (TimestampBarcode::bits - 1 - bit)) & 1 ? 220 : 30);
}

} // namespace

TEST(TimestampBarcode, ReadsBackWhatWasDrawnAndRejectsPicturesWithoutOne) {
    const int width = 1000, stride = 1024, height = 40;
    std::vector<std::uint8_t> luma(static_cast<std::size_t>(stride) * height, 128);
    EXPECT_FALSE(TimestampBarcode::read(luma.data(), stride, width, height));

    const std::uint64_t now = 1'796'000'000'000'000ULL; // December 2026, in microseconds
    const std::uint64_t stamp = now & ((std::uint64_t{1} << TimestampBarcode::bits) - 1);
    paint(luma, stride, stamp);
    auto read = TimestampBarcode::read(luma.data(), stride, width, height);
    ASSERT_TRUE(read);
    EXPECT_EQ(*read, stamp);
    EXPECT_EQ(TimestampBarcode::unwrap(*read, now + 12'345), now);
    EXPECT_FALSE(
        TimestampBarcode::read(luma.data(), stride, TimestampBarcode::widthPx - 1, height));
}

TEST(TimestampBarcode, UnwrapPicksTheTimeNearestToNowAcrossTheWrap) {
    const std::uint64_t span = std::uint64_t{1} << TimestampBarcode::bits;
    const std::uint64_t now = 5 * span + 10; // just after a wrap
    EXPECT_EQ(TimestampBarcode::unwrap(span - 5, now), 5 * span - 5);
    EXPECT_EQ(TimestampBarcode::unwrap(3, now), 5 * span + 3);
    EXPECT_EQ(TimestampBarcode::unwrap(20, 6 * span - 2), 6 * span + 20);
}
