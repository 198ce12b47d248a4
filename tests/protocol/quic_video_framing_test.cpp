#include "protocol/quic_video_framing.hpp"

#include <gtest/gtest.h>

using namespace tessarine;

TEST(QUICVideoFraming, EncodeDecode) {
    Bytes payload{1, 2, 3};
    Bytes encoded = QUICVideoFraming::encode(0x0102030405060708, payload);
    EXPECT_EQ(encoded, (Bytes{1, 2, 3, 4, 5, 6, 7, 8, 1, 2, 3}));
    auto decoded = QUICVideoFraming::decode(encoded);
    ASSERT_TRUE(decoded);
    EXPECT_EQ(decoded->first, 0x0102030405060708u);
    EXPECT_EQ(decoded->second, payload);

    Bytes seven(7, 0);
    EXPECT_FALSE(QUICVideoFraming::decode(seven));
    Bytes eight{0, 0, 0, 0, 0, 0, 0, 9};
    auto empty = QUICVideoFraming::decode(eight);
    ASSERT_TRUE(empty);
    EXPECT_EQ(empty->first, 9u);
    EXPECT_TRUE(empty->second.empty());
}
