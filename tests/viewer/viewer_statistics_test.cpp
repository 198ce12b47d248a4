#include "viewer/viewer_statistics.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <random>

using namespace tessarine;
using namespace std::chrono_literals;

TEST(ViewerStatisticsTest, PercentilesOfKnownSamplesInAnyOrder) {
    ViewerStatistics stats;
    std::vector<double> samples;
    for (int i = 1; i <= 100; ++i)
        samples.push_back(i);
    std::shuffle(samples.begin(), samples.end(), std::mt19937(7));
    for (double s : samples)
        stats.recordDecoded(s);
    const auto summary = stats.summary();
    EXPECT_EQ(summary.framesDecoded, 100u);
    EXPECT_EQ(summary.latency.count, 100);
    // Index n/2 and n*0.95 of the sorted samples (the project's convention).
    EXPECT_DOUBLE_EQ(summary.latency.p50, 51);
    EXPECT_DOUBLE_EQ(summary.latency.p95, 96);
    EXPECT_DOUBLE_EQ(summary.latency.max, 100);

    ViewerStatistics one;
    one.recordDecoded(12.5);
    EXPECT_DOUBLE_EQ(one.summary().latency.p50, 12.5);
    EXPECT_DOUBLE_EQ(one.summary().latency.p95, 12.5);
    EXPECT_DOUBLE_EQ(one.summary().latency.max, 12.5);
}

TEST(ViewerStatisticsTest, IncomparableClocksGiveNoLatencyButCountFrames) {
    ViewerStatistics stats;
    // A frame time that is not this machine's wall clock (µs since the
    // host's capture started) shows up as decades of "latency".
    stats.recordDecoded(1.7e12);
    stats.recordDecoded(-5'000.0);
    stats.recordDecoded(8.0);
    const auto summary = stats.summary();
    EXPECT_EQ(summary.framesDecoded, 3u);
    EXPECT_EQ(summary.latencyDiscarded, 2u);
    EXPECT_EQ(summary.latency.count, 1);
    EXPECT_DOUBLE_EQ(summary.latency.max, 8.0);

    ViewerStatistics none;
    none.recordDecoded(1.7e12);
    const std::string text = ViewerStatistics::format(none.summary());
    EXPECT_NE(text.find("latency:           n/a"), std::string::npos) << text;
    EXPECT_EQ(text.find("p50"), std::string::npos) << text;
}

TEST(ViewerStatisticsTest, RatesRunFromTheFirstFrame) {
    ViewerStatistics stats;
    const ViewerStatistics::Clock::time_point start{1000s};
    EXPECT_EQ(stats.summary(start).elapsedSeconds, 0.0);
    EXPECT_EQ(stats.summary(start).framesPerSecond, 0.0); // no division by zero
    for (int i = 0; i < 120; ++i) {
        stats.recordFrameReceived(1000, start + i * 16ms);
        stats.recordDecoded(5.0);
    }
    stats.recordKeyframeRequest();
    const auto summary = stats.summary(start + 2s);
    EXPECT_EQ(summary.framesReceived, 120u);
    EXPECT_EQ(summary.bytesReceived, 120'000u);
    EXPECT_EQ(summary.keyframeRequests, 1u);
    EXPECT_DOUBLE_EQ(summary.elapsedSeconds, 2.0);
    EXPECT_DOUBLE_EQ(summary.framesPerSecond, 60.0);
    EXPECT_DOUBLE_EQ(summary.bytesPerSecond, 60'000.0);

    const std::string text = ViewerStatistics::format(summary);
    for (const char* line : {"frames received:   120\n", "frames decoded:    120\n",
                             "frames per second: 60.0\n", "latency p50:       5.0 ms\n",
                             "latency p95:       5.0 ms\n", "latency max:       5.0 ms\n"})
        EXPECT_NE(text.find(line), std::string::npos) << line << " in\n" << text;
}
