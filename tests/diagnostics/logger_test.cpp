#include "diagnostics/logger.hpp"

#include <gtest/gtest.h>

#include <stdexcept>
#include <thread>

using namespace tessarine;

TEST(LogFormat, RendersAnnotatedPlaceholdersWithTheirValues) {
    EXPECT_EQ(
        formatLogMessage("Listening on tcp://0.0.0.0:%hu service=%{public}s",
                         {LogArg{std::uint64_t{9876}}, LogArg{std::string("_tessarine._tcp")}}),
        "Listening on tcp://0.0.0.0:9876 service=_tessarine._tcp");
    EXPECT_EQ(formatLogMessage("[%{public}s] n=%ld avg=%.*fms",
                               {LogArg{std::string("encode")}, LogArg{std::int64_t{60}},
                                LogArg{std::int64_t{1}}, LogArg{30.55}}),
              "[encode] n=60 avg=30.6ms");
    EXPECT_EQ(formatLogMessage("id=%{public}u %ldx%ld@%{public}fHz",
                               {LogArg{std::uint64_t{7}}, LogArg{std::int64_t{-3}},
                                LogArg{std::int64_t{4}}, LogArg{60.0}}),
              "id=7 -3x4@60.000000Hz");
    EXPECT_EQ(formatLogMessage("hidpi=%{bool}d 100%%", {LogArg{true}}), "hidpi=true 100%");
    EXPECT_EQ(formatLogMessage("status %d", {}), "status <missing>");
    EXPECT_EQ(formatLogMessage("dangling %", {}), "dangling ");
}

TEST(LogCapture, SeesEveryLevelWithSubsystemAndCategory) {
    LogCapture capture;
    Logger log("app.tessarine.mac", "Agent");
    log.debug("Connection state: %{public}s", "ready");
    log.info("Peer requested disconnect: %{public}s", std::string("busy"));
    log.error("Frame decode error: %{public}@", std::runtime_error("boom"));

    auto records = capture.records();
    ASSERT_EQ(records.size(), 3u);
    EXPECT_EQ(records[0].level, LogLevel::debug);
    EXPECT_EQ(records[1].subsystem, "app.tessarine.mac");
    EXPECT_EQ(records[2].message, "Frame decode error: boom");
    EXPECT_TRUE(capture.contains("Agent", "Peer requested disconnect: busy"));
    EXPECT_FALSE(capture.contains("Agent", "Peer requested disconnect"));
    EXPECT_EQ(capture.count("Agent", "Peer requested"), 1u);
    EXPECT_TRUE(capture.messages("TLS").empty());
}

TEST(LogCapture, StopsListeningWhenDestroyed) {
    Logger log("app.tessarine.mac", "Sleep");
    auto capture = std::make_unique<LogCapture>();
    log.info("one");
    capture.reset();
    LogCapture later;
    log.info("two");
    ASSERT_EQ(later.messages("Sleep").size(), 1u);
    EXPECT_EQ(later.messages("Sleep")[0], "two");
}

TEST(LogCapture, WaitForSeesALineWrittenOnAnotherThread) {
    LogCapture capture;
    Logger log("app.tessarine.mac", "Cursor");
    EXPECT_FALSE(capture.waitFor("Cursor", "late", std::chrono::milliseconds(1)));
    std::thread writer([&] { log.info("late"); });
    EXPECT_TRUE(capture.waitFor("Cursor", "late", std::chrono::seconds(10)));
    writer.join();
}
