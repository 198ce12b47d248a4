#include "media/annexb.hpp"

#include <gtest/gtest.h>

using namespace tessarine;

namespace {
using Bytes = std::vector<std::uint8_t>;

std::vector<Bytes> copies(const std::vector<ByteView>& units) {
    std::vector<Bytes> out;
    for (ByteView unit : units)
        out.emplace_back(unit.begin(), unit.end());
    return out;
}
} // namespace

TEST(AnnexBSplitter, AcceptsThreeAndFourByteStartCodesMixed) {
    const Bytes data = {0xAA, 0xBB, // before the first code: ignored
                        0,    0,    0, 1,    0x67, 0x64, 0x00, 0x1f,  // SPS
                        0,    0,    1, 0x68, 0xEE,                    // PPS behind a 3-byte code
                        0,    0,    1,                                // empty unit
                        0,    0,    0, 1,    0x65, 0x88, 0x84, 0x00}; // slice
    const auto units = copies(splitAnnexB(data));
    ASSERT_EQ(units.size(), 4u);
    EXPECT_EQ(units[0], (Bytes{0x67, 0x64, 0x00, 0x1f}));
    EXPECT_EQ(units[1], (Bytes{0x68, 0xEE}));
    EXPECT_TRUE(units[2].empty());
    EXPECT_EQ(units[3], (Bytes{0x65, 0x88, 0x84, 0x00}));
    EXPECT_EQ(nalUnitType(splitAnnexB(data)[3]), nal::kIdrSlice);

    Bytes normalised;
    appendNormalisedAnnexB(normalised, data);
    EXPECT_EQ(normalised,
              (Bytes{0,    0, 0, 1, 0x67, 0x64, 0x00, 0x1f, 0, 0,    0,    1,    0x68,
                     0xEE, 0, 0, 0, 1,    0,    0,    0,    1, 0x65, 0x88, 0x84, 0x00}));
}

TEST(AnnexBSplitter, ShortOrCodelessInputGivesNothing) {
    EXPECT_TRUE(splitAnnexB(Bytes{}).empty());
    EXPECT_TRUE(splitAnnexB(Bytes{0, 0, 1}).empty());
    EXPECT_TRUE(splitAnnexB(Bytes{0x65, 0x12, 0x34, 0x56, 0x78, 0x9a}).empty());
    EXPECT_TRUE(splitAnnexB(Bytes{0, 0, 0, 1}).empty()); // a start code and nothing after
    // A code in the last three bytes is not looked for (it could not start a unit).
    EXPECT_TRUE(splitAnnexB(Bytes{0x41, 0, 0, 1}).empty());
    // A single trailing byte after the code is a unit.
    const auto one = copies(splitAnnexB(Bytes{0, 0, 1, 0x09}));
    ASSERT_EQ(one.size(), 1u);
    EXPECT_EQ(one[0], Bytes{0x09});
    EXPECT_TRUE(startsWithStartCode(Bytes{0, 0, 1, 0x67}));
    EXPECT_TRUE(startsWithStartCode(Bytes{0, 0, 0, 1}));
    EXPECT_FALSE(startsWithStartCode(Bytes{0, 0, 0, 2, 0x67}));
}

TEST(LengthPrefixedWalk, KeepsCompleteUnitsAndDropsATruncatedLastOne) {
    const Bytes data = {0, 0, 0, 2, 0x41, 0x9a, // complete
                        0, 0, 0, 0,             // empty: a bare start code
                        0, 0, 0, 3, 0x01, 0x02, 0x03, 0, 0, 0, 9, 0x41, 0x42}; // claims 9, has 2
    Bytes out;
    appendLengthPrefixedAsAnnexB(out, data);
    EXPECT_EQ(out, (Bytes{0, 0, 0, 1, 0x41, 0x9a, 0, 0, 0, 1, 0, 0, 0, 1, 0x01, 0x02, 0x03}));

    // Fewer than four bytes, or a stray tail too short for a length field.
    EXPECT_TRUE(splitLengthPrefixed(Bytes{0, 0, 1}).empty());
    EXPECT_EQ(splitLengthPrefixed(Bytes{0, 0, 0, 1, 0x09, 0, 0}).size(), 1u);
    // A length near 2^32 must not wrap the bounds check.
    EXPECT_TRUE(splitLengthPrefixed(Bytes{0xff, 0xff, 0xff, 0xff, 1, 2, 3}).empty());
    EXPECT_TRUE(splitLengthPrefixed(Bytes{0xff, 0xff, 0xff, 0xfc, 1, 2, 3, 4}).empty());
    // A unit exactly filling the rest is complete.
    const auto exact = copies(splitLengthPrefixed(Bytes{0, 0, 0, 3, 7, 8, 9}));
    ASSERT_EQ(exact.size(), 1u);
    EXPECT_EQ(exact[0], (Bytes{7, 8, 9}));
}
