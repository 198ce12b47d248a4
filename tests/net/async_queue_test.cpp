#include "net/async_queue.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <map>
#include <string>

namespace tessarine {
namespace {

using test::IoThreads;
using test::next;

TEST(AsyncQueueTest, DeliversInOrderAndDrainsBeforeEndingOnClose) {
    IoThreads threads;
    AsyncQueue<std::string> queue;
    EXPECT_TRUE(queue.push("a"));
    EXPECT_TRUE(queue.push("b"));
    EXPECT_EQ(next(threads, queue), "a");
    queue.close();
    EXPECT_TRUE(queue.closed());
    EXPECT_FALSE(queue.push("c")); // dropped after close
    EXPECT_EQ(next(threads, queue), "b");
    EXPECT_EQ(next(threads, queue), std::nullopt);
    EXPECT_EQ(next(threads, queue), std::nullopt); // stays ended
}

TEST(AsyncQueueTest, WaitingConsumerIsWokenByPushAndByClose) {
    IoThreads threads;
    AsyncQueue<int> queue;
    std::promise<std::optional<int>> first;
    std::promise<std::optional<int>> second;
    asio::co_spawn(
        threads.io(),
        [&]() -> asio::awaitable<void> {
            first.set_value(co_await queue.pop());
            second.set_value(co_await queue.pop());
        },
        asio::detached);
    auto firstValue = first.get_future();
    // The consumer is (or soon will be) suspended on an empty queue; the value
    // pushed from this thread must reach it either way.
    queue.push(7);
    ASSERT_EQ(firstValue.wait_for(test::eventTimeout), std::future_status::ready);
    EXPECT_EQ(firstValue.get(), 7);
    auto secondValue = second.get_future();
    queue.close();
    ASSERT_EQ(secondValue.wait_for(test::eventTimeout), std::future_status::ready);
    EXPECT_EQ(secondValue.get(), std::nullopt);
}

TEST(AsyncQueueTest, CancelledPopLosesNoValue) {
    IoThreads threads;
    AsyncQueue<int> queue;
    EXPECT_THROW(next(threads, queue, std::chrono::milliseconds(20)), test::Timeout);
    // The abandoned waiter must not swallow the next value.
    queue.push(42);
    EXPECT_EQ(next(threads, queue), 42);
    queue.push(43);
    EXPECT_EQ(queue.tryPop(), 43);
    EXPECT_EQ(queue.tryPop(), std::nullopt);
}

TEST(AsyncQueueTest, ManyProducersKeepTheirOwnOrder) {
    IoThreads threads(2);
    AsyncQueue<std::pair<int, int>> queue;
    constexpr int producers = 4;
    constexpr int perProducer = 5000;
    std::promise<std::map<int, std::vector<int>>> received;
    asio::co_spawn(
        threads.io(),
        [&]() -> asio::awaitable<void> {
            std::map<int, std::vector<int>> byProducer;
            while (auto value = co_await queue.pop())
                byProducer[value->first].push_back(value->second);
            received.set_value(std::move(byProducer));
        },
        asio::detached);
    std::vector<std::thread> workers;
    for (int p = 0; p < producers; ++p)
        workers.emplace_back([&queue, p] {
            for (int i = 0; i < perProducer; ++i)
                queue.push({p, i});
        });
    for (auto& worker : workers)
        worker.join();
    queue.close();
    auto future = received.get_future();
    ASSERT_EQ(future.wait_for(test::eventTimeout), std::future_status::ready);
    const auto byProducer = future.get();
    ASSERT_EQ(byProducer.size(), static_cast<std::size_t>(producers));
    for (const auto& [producer, values] : byProducer) {
        ASSERT_EQ(values.size(), static_cast<std::size_t>(perProducer)) << producer;
        for (int i = 0; i < perProducer; ++i)
            ASSERT_EQ(values[static_cast<std::size_t>(i)], i) << producer;
    }
}

} // namespace
} // namespace tessarine
