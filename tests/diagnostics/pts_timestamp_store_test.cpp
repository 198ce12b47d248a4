#include "diagnostics/pts_timestamp_store.hpp"

#include <gtest/gtest.h>

using namespace tessarine;

TEST(PTSTimestampStore, AnswersEachMarkOnce) {
    PTSTimestampStore store(64);
    EXPECT_FALSE(store.elapsedMs(1).has_value());

    store.mark(1);
    store.mark(2);
    store.mark(1); // duplicate key: two answers
    auto first = store.elapsedMs(1);
    auto second = store.elapsedMs(1);
    ASSERT_TRUE(first.has_value());
    ASSERT_TRUE(second.has_value());
    EXPECT_GE(*second, 0.0);
    EXPECT_LT(*first, 60'000.0);
    EXPECT_FALSE(store.elapsedMs(1).has_value());

    EXPECT_TRUE(store.elapsedMs(2).has_value());
    EXPECT_FALSE(store.elapsedMs(2).has_value());
    EXPECT_EQ(store.size(), 0u);
}

TEST(PTSTimestampStore, DuplicatesAreConsumedOldestFirst) {
    PTSTimestampStore store(3);
    store.mark(1); // A
    store.mark(2);
    store.mark(1);                               // B
    ASSERT_TRUE(store.elapsedMs(1).has_value()); // must take A, leaving [2, B]
    store.mark(3);
    store.mark(4); // evicts 2; had B been taken, A would be evicted now
    EXPECT_TRUE(store.elapsedMs(1).has_value());
    EXPECT_FALSE(store.elapsedMs(2).has_value());
}

TEST(PTSTimestampStore, EvictsTheOldestBeyondItsCap) {
    PTSTimestampStore store(64);
    for (std::uint64_t key = 0; key < 65; ++key)
        store.mark(key * 1000);
    EXPECT_EQ(store.size(), 64u);
    EXPECT_FALSE(store.elapsedMs(0).has_value());
    for (std::uint64_t key = 1; key < 65; ++key)
        EXPECT_TRUE(store.elapsedMs(key * 1000).has_value()) << key;

    // Many marks for frames that never come out stay bounded too.
    for (std::uint64_t key = 0; key < 10'000; ++key)
        store.mark(key);
    EXPECT_EQ(store.size(), 64u);
    EXPECT_TRUE(store.elapsedMs(9'999).has_value());
    EXPECT_TRUE(store.elapsedMs(9'936).has_value());
    EXPECT_FALSE(store.elapsedMs(9'935).has_value());

    PTSTimestampStore none(0);
    none.mark(5);
    EXPECT_FALSE(none.elapsedMs(5).has_value());
}
