#include "viewer/latest_picture.hpp"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>

using namespace tessarine;

TEST(LatestPictureTest, NewestWinsAndOlderBuffersAreReleased) {
    LatestPicture slot;
    EXPECT_FALSE(slot.take());

    PixelBuffer first = PixelBuffer::allocate(64, 32);
    std::weak_ptr<void> firstAlive;
    {
        // Observe the first buffer's storage through a borrowed wrapper.
        auto owner = std::make_shared<int>(0);
        firstAlive = owner;
        slot.put(PixelBuffer::borrow(64, 32, first.luma(), first.lumaStride(), first.chroma(),
                                     first.chromaStride(), owner),
                 MediaTime::make(1, 1000));
    }
    EXPECT_FALSE(firstAlive.expired());
    EXPECT_TRUE(slot.put(PixelBuffer::allocate(128, 64), MediaTime::make(2, 1000)));
    EXPECT_TRUE(firstAlive.expired()); // nobody waits on a stale picture
    EXPECT_EQ(slot.dropped(), 1u);

    auto entry = slot.take();
    ASSERT_TRUE(entry);
    EXPECT_EQ(entry->picture.width(), 128);
    EXPECT_EQ(entry->pts, MediaTime::make(2, 1000));
    EXPECT_FALSE(slot.take());
    EXPECT_FALSE(slot.put(PixelBuffer::allocate(16, 16), MediaTime::make(3, 1000)));
}

TEST(LatestPictureTest, ProducerAndConsumerOnTwoThreadsSeeIncreasingTimes) {
    LatestPicture slot;
    constexpr int kCount = 20000;
    std::atomic<bool> done{false};
    std::thread producer([&] {
        for (int i = 1; i <= kCount; ++i)
            slot.put(PixelBuffer::allocate(16, 16), MediaTime::make(i, 1000));
        done = true;
    });
    std::int64_t last = 0;
    for (;;) {
        const bool finished = done.load();
        if (auto entry = slot.take()) {
            EXPECT_GT(entry->pts.value, last);
            last = entry->pts.value;
        } else if (finished) {
            break; // the producer's last picture has been taken
        }
    }
    producer.join();
    EXPECT_EQ(last, kCount);
}
