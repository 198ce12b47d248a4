#include "diagnostics/latency_tracker.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>
#include <thread>

using namespace tessarine;

namespace {
std::vector<double> oneToSixty() {
    std::vector<double> samples;
    for (int i = 1; i <= 60; ++i)
        samples.push_back(i);
    return samples;
}
} // namespace

TEST(LatencyTracker, ReportsEveryBatchOnceWithItsFiguresAndStartsAfresh) {
    LogCapture capture;
    LatencyTracker tracker("app.tessarine.mac", "Latency", "encode", 60);
    std::vector<LatencyTracker::Stats> reports;
    tracker.onStats([&](const LatencyTracker::Stats& s) { reports.push_back(s); });

    // Fed out of order: the figures come from the sorted batch.
    auto samples = oneToSixty();
    std::shuffle(samples.begin(), samples.end(), std::mt19937(7));
    for (int i = 0; i < 59; ++i)
        tracker.record(samples[static_cast<std::size_t>(i)]);
    EXPECT_TRUE(capture.messages("Latency").empty());
    EXPECT_TRUE(reports.empty());

    tracker.record(samples[59]);
    ASSERT_EQ(capture.messages("Latency").size(), 1u);
    EXPECT_EQ(capture.messages("Latency")[0],
              "[encode] n=60 avg=30.5ms p50=31.0ms p95=58.0ms min=1.0ms max=60.0ms");
    ASSERT_EQ(reports.size(), 1u);
    EXPECT_EQ(reports[0], (LatencyTracker::Stats{"encode", 60, 30.5, 31.0, 58.0, 1.0, 60.0}));
    EXPECT_EQ(capture.records()[0].subsystem, "app.tessarine.mac");

    // The next batch holds only its own samples.
    for (int i = 0; i < 59; ++i)
        tracker.record(100.0);
    EXPECT_EQ(reports.size(), 1u);
    tracker.record(160.0);
    ASSERT_EQ(reports.size(), 2u);
    EXPECT_EQ(reports[1].count, 60);
    EXPECT_EQ(reports[1].min, 100.0);
    EXPECT_EQ(reports[1].max, 160.0);
    EXPECT_EQ(reports[1].avg, 101.0);
}

TEST(LatencyTracker, SummaryOfSmallAndOddBatches) {
    auto one = LatencyTracker::summarise("send", {4.25});
    EXPECT_EQ(one, (LatencyTracker::Stats{"send", 1, 4.25, 4.25, 4.25, 4.25, 4.25}));
    // Odd count: the true median; p95 of 5 samples is index 4.
    auto five = LatencyTracker::summarise("send", {5, 1, 4, 2, 3});
    EXPECT_EQ(five.p50, 3.0);
    EXPECT_EQ(five.p95, 5.0);
    EXPECT_EQ(LatencyTracker::summarise("send", {}).count, 0);
    // Negative samples (a wall-clock step) are kept as they are.
    EXPECT_EQ(LatencyTracker::summarise("send", {-2, 2}).min, -2.0);
}

TEST(LatencyTracker, ConcurrentRecordersLoseNoSampleAndSplitNoBatch) {
    LatencyTracker tracker("app.tessarine.mac", "Latency", "send", 60);
    std::mutex mutex;
    std::vector<std::int64_t> counts;
    double total = 0;
    tracker.onStats([&](const LatencyTracker::Stats& s) {
        std::lock_guard lock(mutex);
        counts.push_back(s.count);
        total += s.avg * static_cast<double>(s.count);
    });
    constexpr int threads = 4, perThread = 600;
    std::vector<std::thread> workers;
    for (int t = 0; t < threads; ++t)
        workers.emplace_back([&] {
            for (int i = 0; i < perThread; ++i)
                tracker.record(1.0);
        });
    for (auto& w : workers)
        w.join();
    ASSERT_EQ(counts.size(), static_cast<std::size_t>(threads * perThread / 60));
    for (auto c : counts)
        EXPECT_EQ(c, 60);
    EXPECT_DOUBLE_EQ(total, threads * perThread);
}
