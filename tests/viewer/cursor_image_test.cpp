#include "viewer/cursor_image.hpp"

#include "png_fixture.hpp"

#include <gtest/gtest.h>

using namespace tessarine;
using namespace tessarine::testing;

TEST(CursorImageTest, DecodesPngToStraightRgba) {
    const auto rgba = patternRgba(5, 3);
    const RgbaImage image = decodeCursorPng(encodePng(5, 3, rgba));
    EXPECT_EQ(image.width, 5);
    EXPECT_EQ(image.height, 3);
    EXPECT_EQ(image.pixels, rgba);
}

TEST(CursorImageTest, RefusesBrokenAndOversizedImages) {
    auto expectCode = [](const Bytes& png, CursorImageError::Code code) {
        try {
            decodeCursorPng(png);
            ADD_FAILURE() << "accepted";
        } catch (const CursorImageError& error) {
            EXPECT_EQ(error.code(), code);
            EXPECT_STRNE(error.what(), "");
        }
    };
    expectCode({}, CursorImageError::Code::invalidPng);
    expectCode({1, 2, 3, 4, 5, 6, 7, 8, 9}, CursorImageError::Code::invalidPng);

    // Valid header, data cut short.
    auto truncated = encodePng(16, 16, patternRgba(16, 16));
    truncated.resize(truncated.size() / 2);
    expectCode(truncated, CursorImageError::Code::invalidPng);

    // A header announcing a huge picture is refused before any allocation.
    expectCode(encodePng(kMaxCursorSidePx + 1, 1, patternRgba(kMaxCursorSidePx + 1, 1)),
               CursorImageError::Code::tooLarge);
}
