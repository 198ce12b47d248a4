#include "media/cursor_tracker.hpp"

#include <gtest/gtest.h>
#include <spng.h>

#include <string>

namespace tessarine {
namespace {

using Sample = CursorTracker::PendingSample;

std::vector<std::uint8_t> bytes(std::string_view text) {
    return {text.begin(), text.end()};
}

TEST(CursorShapeIdTest, IsFnv1aWithZeroAndOneMappedToOne) {
    EXPECT_EQ(cursorShapeId(bytes("")), 0x811C9DC5u);
    EXPECT_EQ(cursorShapeId(bytes("a")), 0xE40C292Cu);
    EXPECT_EQ(cursorShapeId(bytes("foobar")), 0xBF9CF968u);
    // These inputs hash to exactly 0 and 1.
    EXPECT_EQ(cursorShapeId(std::vector<std::uint8_t>{0x3d, 0x48, 0xf2, 0x00, 0xe2}), 1u);
    EXPECT_EQ(cursorShapeId(std::vector<std::uint8_t>{0x2e, 0x5f, 0x33, 0x00, 0x9a}), 1u);
    EXPECT_NE(cursorShapeId(std::vector<std::uint8_t>{0x3d, 0x48, 0xf2, 0x00, 0xe3}), 1u);
}

TEST(CursorShapeIdTest, HotspotAndSizeArePartOfTheShape) {
    CursorPixels a;
    a.width = 2;
    a.height = 2;
    a.argb = {0xff000000, 0, 0, 0xffffffff};
    CursorPixels movedHotspot = a;
    movedHotspot.hotspotX = 1;
    CursorPixels transposed = a;
    transposed.width = 4;
    transposed.height = 1;
    const auto id = cursorShapeId(cursorShapeBytes(a));
    EXPECT_NE(id, cursorShapeId(cursorShapeBytes(movedHotspot)));
    EXPECT_NE(id, cursorShapeId(cursorShapeBytes(transposed)));
    EXPECT_EQ(id, cursorShapeId(cursorShapeBytes(CursorPixels(a))));
}

TEST(CursorGeometryTest, SamplesMapToDisplayPixelsAndVisibility) {
    CursorTracker::Geometry g;
    g.originX = 1000;
    g.originY = 50;
    g.widthPx = 200;
    g.heightPx = 100;
    EXPECT_EQ(CursorTracker::sample(1000, 50, g), (Sample{0, 0, true}));
    EXPECT_EQ(CursorTracker::sample(1199, 149, g), (Sample{199, 99, true}));
    // One past the last column or row is off the display.
    EXPECT_EQ(CursorTracker::sample(1200, 60, g), (Sample{200, 10, false}));
    EXPECT_EQ(CursorTracker::sample(1010, 150, g), (Sample{10, 100, false}));
    // Just left of the origin truncates to 0 but is not on the display.
    EXPECT_EQ(CursorTracker::sample(999.5, 60, g), (Sample{0, 10, false}));
    // Far away clamps to 16 bits.
    EXPECT_EQ(CursorTracker::sample(-1e9, 1e9, g), (Sample{-32768, 32767, false}));

    g.pointsToPixelsX = 2.0; // 3840 pixels over 1920 points
    g.pointsToPixelsY = 2.0;
    g.widthPx = 3840;
    g.heightPx = 2160;
    EXPECT_EQ(CursorTracker::sample(1000 + 1919.75, 50 + 10.25, g), (Sample{3839, 20, true}));
}

TEST(CursorCoalescerTest, FlushRulesForMovesAndVisibility) {
    CursorTracker::Coalescer c;
    // Nothing pending: nothing reported.
    auto out = c.flush();
    EXPECT_FALSE(out.visibility);
    EXPECT_FALSE(out.move);

    // First sample inside: a move, no visibility call (starts visible).
    c.submit({5, 6, true});
    out = c.flush();
    EXPECT_FALSE(out.visibility);
    ASSERT_TRUE(out.move);
    EXPECT_EQ(*out.move, (Sample{5, 6, true}));

    // Two samples within one tick: only the newer one.
    c.submit({7, 8, true});
    c.submit({9, 10, true});
    out = c.flush();
    ASSERT_TRUE(out.move);
    EXPECT_EQ(*out.move, (Sample{9, 10, true}));
    EXPECT_FALSE(c.flush().move); // taken: not sent again

    // Same position again: nothing.
    c.submit({9, 10, true});
    out = c.flush();
    EXPECT_FALSE(out.move);
    EXPECT_FALSE(out.visibility);

    // Leaving: visibility false once, no move; staying outside: silence.
    c.submit({200, 10, false});
    out = c.flush();
    EXPECT_EQ(out.visibility, std::optional<bool>(false));
    EXPECT_FALSE(out.move);
    c.submit({300, 10, false});
    out = c.flush();
    EXPECT_FALSE(out.visibility);
    EXPECT_FALSE(out.move);

    // Back to the very same spot: visible again and the position is re-sent.
    c.submit({9, 10, true});
    out = c.flush();
    EXPECT_EQ(out.visibility, std::optional<bool>(true));
    ASSERT_TRUE(out.move);
    EXPECT_EQ(*out.move, (Sample{9, 10, true}));
}

TEST(CursorCoalescerTest, FirstSampleOutsideReportsInvisibleOnly) {
    CursorTracker::Coalescer c;
    c.submit({-5, 0, false});
    const auto out = c.flush();
    EXPECT_EQ(out.visibility, std::optional<bool>(false));
    EXPECT_FALSE(out.move);
}

TEST(CursorImageTest, RoundingAndClamping) {
    EXPECT_EQ(roundToUInt16(2.5), 3);
    EXPECT_EQ(roundToUInt16(0.5), 1);
    EXPECT_EQ(roundToUInt16(2.49), 2);
    EXPECT_EQ(roundToUInt16(-3.0), 0);
    EXPECT_EQ(roundToUInt16(70000.0), 65535);
    EXPECT_EQ(roundToUInt16(std::numeric_limits<double>::quiet_NaN()), 0);

    CursorPixels p;
    p.width = 33;
    p.height = 20;
    p.hotspotX = 3;
    p.hotspotY = 5;
    const CursorImage image = makeCursorImage(42, p, 2.0, {1, 2, 3});
    EXPECT_EQ(image.cursorId, 42u);
    EXPECT_EQ(image.widthPt, 17); // 16.5 rounds away from zero
    EXPECT_EQ(image.heightPt, 10);
    EXPECT_EQ(image.hotspotXPt, 2); // 1.5
    EXPECT_EQ(image.hotspotYPt, 3); // 2.5
    EXPECT_FLOAT_EQ(image.scale, 2.0f);
    EXPECT_EQ(image.pngData, (std::vector<std::uint8_t>{1, 2, 3}));
    EXPECT_FLOAT_EQ(makeCursorImage(1, p, 0.0, {}).scale, 1.0f);
}

std::vector<std::uint8_t> decodeRgba(const std::vector<std::uint8_t>& png, std::uint32_t& width,
                                     std::uint32_t& height) {
    std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(0), spng_ctx_free);
    spng_set_png_buffer(ctx.get(), png.data(), png.size());
    spng_ihdr ihdr{};
    if (spng_get_ihdr(ctx.get(), &ihdr) != 0)
        return {};
    width = ihdr.width;
    height = ihdr.height;
    std::size_t size = 0;
    spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &size);
    std::vector<std::uint8_t> out(size);
    if (spng_decode_image(ctx.get(), out.data(), out.size(), SPNG_FMT_RGBA8, 0) != 0)
        return {};
    return out;
}

TEST(CursorImageTest, PngHoldsStraightAlpha) {
    CursorPixels p;
    p.width = 3;
    p.height = 1;
    // Opaque red, half-transparent premultiplied red (64 of 128), fully transparent.
    p.argb = {0xffff0000, 0x80400000, 0x00000000};
    const auto png = encodeCursorPng(p);
    ASSERT_FALSE(png.empty());
    std::uint32_t w = 0, h = 0;
    const auto rgba = decodeRgba(png, w, h);
    ASSERT_EQ(w, 3u);
    ASSERT_EQ(h, 1u);
    ASSERT_EQ(rgba.size(), 12u);
    EXPECT_EQ(std::vector<std::uint8_t>(rgba.begin(), rgba.begin() + 4),
              (std::vector<std::uint8_t>{255, 0, 0, 255}));
    EXPECT_EQ(std::vector<std::uint8_t>(rgba.begin() + 4, rgba.begin() + 8),
              (std::vector<std::uint8_t>{128, 0, 0, 128}));
    EXPECT_EQ(rgba[11], 0);

    CursorPixels truncated = p;
    truncated.argb.pop_back(); // fewer pixels than the size says
    EXPECT_TRUE(encodeCursorPng(truncated).empty());
}

} // namespace
} // namespace tessarine
