#include "agent/sleep_observer.hpp"
#include "support/dbus_daemon.hpp"

#include <gtest/gtest.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>

namespace tessarine {
namespace {

using namespace std::chrono_literals;

constexpr const char* kWillSleep = "Mac will sleep — detach virtual display";
constexpr const char* kDidWake = "Mac did wake — reattach virtual display";
constexpr const char* kLogindPath = "/org/freedesktop/login1";
constexpr const char* kManager = "org.freedesktop.login1.Manager";

struct BusRelease {
    void operator()(sd_bus* bus) const { sd_bus_flush_close_unref(bus); }
};
using Bus = std::unique_ptr<sd_bus, BusRelease>;

Bus connect(const std::string& address) {
    sd_bus* raw = nullptr;
    if (sd_bus_new(&raw) < 0)
        throw std::runtime_error("sd_bus_new");
    Bus bus(raw);
    if (sd_bus_set_address(raw, address.c_str()) < 0 || sd_bus_set_bus_client(raw, 1) < 0 ||
        sd_bus_start(raw) < 0)
        throw std::runtime_error("cannot connect to " + address);
    return bus;
}

// Counts what an observer reported, and checks where it reported it.
struct Counts {
    int willSleep = 0;
    int didWake = 0;
    bool offExecutor = false;

    void attach(SleepObserver& observer, asio::io_context& io) {
        observer.onWillSleep = [this, &io] {
            ++willSleep;
            offExecutor |= !io.get_executor().running_in_this_thread();
        };
        observer.onDidWake = [this, &io] {
            ++didWake;
            offExecutor |= !io.get_executor().running_in_this_thread();
        };
    }
};

class SleepObserverTest : public ::testing::Test {
protected:
    void SetUp() override {
        TESSARINE_REQUIRE_DBUS_DAEMON();
        daemon_.emplace();
        environment_.emplace("DBUS_SYSTEM_BUS_ADDRESS", daemon_->address());
        emitter_ = connect(daemon_->address());
    }

    // Speaks for logind (or an impostor on another path or interface).
    void emit(bool sleeping, const char* path = kLogindPath, const char* interface = kManager) {
        ASSERT_GE(sd_bus_emit_signal(emitter_.get(), path, interface, "PrepareForSleep", "b",
                                     static_cast<int>(sleeping)),
                  0);
        ASSERT_GE(sd_bus_flush(emitter_.get()), 0);
    }

    // Runs the executor until `done` holds or 10 s pass.
    bool runUntil(const std::function<bool()>& done) {
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (!done()) {
            const auto now = std::chrono::steady_clock::now();
            if (now >= deadline)
                return false;
            io_.run_one_for(deadline - now);
        }
        return true;
    }

    // Connections on the bus, the daemon's own name aside.
    int connectionCount() {
        char** names = nullptr;
        EXPECT_GE(sd_bus_list_names(emitter_.get(), &names, nullptr), 0);
        int count = 0;
        for (char** name = names; name && *name; ++name) {
            count += (*name)[0] == ':' ? 1 : 0;
            free(*name);
        }
        free(names);
        return count;
    }

    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_{io_.get_executor()};
    LogCapture logs_;
    std::optional<test::DbusDaemon> daemon_;
    std::optional<test::ScopedEnvironment> environment_;
    Bus emitter_;
};

TEST_F(SleepObserverTest, SleepAndWakeEachLogAndCallTheirCallbackOnceOnTheExecutor) {
    const int before = connectionCount();
    SleepObserver observer(io_.get_executor());
    Counts counts;
    counts.attach(observer, io_);
    observer.start();
    observer.start(); // keeps the one subscription
    ASSERT_TRUE(observer.observing());
    EXPECT_EQ(connectionCount(), before + 1);

    emit(true);
    ASSERT_TRUE(runUntil([&] { return counts.willSleep == 1; }));
    EXPECT_EQ(counts.didWake, 0);
    EXPECT_EQ(logs_.count("Sleep", kWillSleep), 1U);
    EXPECT_EQ(logs_.count("Sleep", kDidWake), 0U);

    emit(false);
    ASSERT_TRUE(runUntil([&] { return counts.didWake == 1; }));
    io_.poll();
    EXPECT_EQ(counts.willSleep, 1);
    EXPECT_EQ(counts.didWake, 1);
    EXPECT_FALSE(counts.offExecutor);
    EXPECT_EQ(logs_.count("Sleep", kWillSleep), 1U);
    EXPECT_EQ(logs_.count("Sleep", kDidWake), 1U);
}

TEST_F(SleepObserverTest, IgnoresOtherPathsInterfacesAndMalformedSignals) {
    SleepObserver observer(io_.get_executor());
    Counts counts;
    counts.attach(observer, io_);
    observer.start();

    emit(true, "/org/freedesktop/login1/session/self");
    emit(true, kLogindPath, "org.freedesktop.login1.Session");
    ASSERT_GE(
        sd_bus_emit_signal(emitter_.get(), kLogindPath, kManager, "PrepareForSleep", "s", "yes"),
        0);
    // One sender's messages arrive in order: once the wake is in, the rest
    // has been seen.
    emit(false);
    ASSERT_TRUE(runUntil([&] { return counts.didWake == 1; }));
    EXPECT_EQ(counts.willSleep, 0);
    EXPECT_EQ(logs_.count("Sleep", "Ignoring PrepareForSleep with arguments \"s\""), 1U);

    // The malformed one cost nothing: the subscription still works.
    EXPECT_TRUE(observer.observing());
    emit(true);
    ASSERT_TRUE(runUntil([&] { return counts.willSleep == 1; }));
}

TEST_F(SleepObserverTest, StoppedOrDestroyedObserversStaySilent) {
    SleepObserver neverStarted(io_.get_executor());
    neverStarted.stop();
    EXPECT_FALSE(neverStarted.observing());

    SleepObserver stopped(io_.get_executor());
    Counts stoppedCounts;
    stoppedCounts.attach(stopped, io_);
    stopped.start();
    stopped.stop();
    EXPECT_FALSE(stopped.observing());

    // Destroyed with its read wait still pending on the executor.
    Counts destroyedCounts;
    auto destroyed = std::make_unique<SleepObserver>(io_.get_executor());
    destroyedCounts.attach(*destroyed, io_);
    destroyed->start();
    destroyed.reset();

    // Without callbacks the witness only logs.
    SleepObserver witness(io_.get_executor());
    witness.start();

    emit(true);
    ASSERT_TRUE(runUntil([&] { return logs_.count("Sleep", kWillSleep) == 1; }));
    io_.poll();
    EXPECT_EQ(stoppedCounts.willSleep + destroyedCounts.willSleep, 0);
    EXPECT_EQ(logs_.count("Sleep", kWillSleep), 1U);

    // A stopped observer can subscribe again.
    stopped.start();
    emit(false);
    ASSERT_TRUE(runUntil([&] { return stoppedCounts.didWake == 1; }));
}

TEST_F(SleepObserverTest, CallbackMayStopOrDestroyItsObserver) {
    for (const bool destroy : {false, true}) {
        SCOPED_TRACE(destroy ? "destroy" : "stop");
        Bus listener = connect(daemon_->address());
        int seen = 0;
        ASSERT_GE(sd_bus_match_signal(
                      listener.get(), nullptr, nullptr, kLogindPath, kManager, "PrepareForSleep",
                      [](sd_bus_message*, void* userdata, sd_bus_error*) {
                          ++*static_cast<int*>(userdata);
                          return 0;
                      },
                      &seen),
                  0);
        auto observer = std::make_unique<SleepObserver>(io_.get_executor());
        int wakes = 0;
        int sleeps = 0;
        observer->onWillSleep = [&] {
            ++sleeps;
            if (destroy)
                observer.reset();
            else
                observer->stop();
        };
        observer->onDidWake = [&] {
            ++wakes;
        };
        observer->start();

        // Both signals reach the bus before the executor runs, so the
        // observer normally reads them in one batch and the wake is still
        // queued when the sleep callback ends the subscription.
        emit(true);
        emit(false);
        const auto deadline = std::chrono::steady_clock::now() + 10s;
        while (seen < 2 && std::chrono::steady_clock::now() < deadline) {
            const int r = sd_bus_process(listener.get(), nullptr);
            ASSERT_GE(r, 0);
            if (r == 0)
                sd_bus_wait(listener.get(), 1'000'000);
        }
        ASSERT_EQ(seen, 2);

        ASSERT_TRUE(runUntil([&] { return sleeps == 1; }));
        io_.poll();
        EXPECT_EQ(wakes, 0);
        EXPECT_EQ(destroy, observer == nullptr);
        EXPECT_TRUE(observer == nullptr || !observer->observing());
    }
}

TEST_F(SleepObserverTest, LostBusLogsOneErrorAndStopsWatching) {
    asio::io_context io; // no work guard: running out of work is the point
    SleepObserver observer(io.get_executor());
    Counts counts;
    counts.attach(observer, io);
    observer.start();
    ASSERT_TRUE(observer.observing());

    daemon_->kill();
    // A descriptor left in the loop after hang-up would spin until the bound.
    io.run_for(10s);
    EXPECT_TRUE(io.stopped());
    EXPECT_FALSE(observer.observing());
    EXPECT_EQ(logs_.count("Sleep", "System bus connection lost: "), 1U);
    EXPECT_EQ(counts.willSleep + counts.didWake, 0);

    observer.start();
    EXPECT_EQ(logs_.count("Sleep", "System bus unavailable: "), 1U);
    EXPECT_FALSE(observer.observing());
}

TEST(SleepObserverWithoutBus, StartLogsOneErrorAndTheAgentRunsOn) {
    test::ScopedEnvironment environment("DBUS_SYSTEM_BUS_ADDRESS",
                                        "unix:path=/nonexistent/tessarine/system_bus_socket");
    LogCapture logs;
    asio::io_context io;
    {
        SleepObserver observer(io.get_executor());
        bool called = false;
        observer.onWillSleep = [&] {
            called = true;
        };
        observer.onDidWake = [&] {
            called = true;
        };
        EXPECT_NO_THROW(observer.start());
        EXPECT_FALSE(observer.observing());
        EXPECT_EQ(io.poll(), 0U);
        observer.stop();
        EXPECT_FALSE(called);
    }
    const auto records = logs.records();
    ASSERT_EQ(records.size(), 1U);
    EXPECT_EQ(records[0].level, LogLevel::error);
    EXPECT_EQ(records[0].subsystem, "app.tessarine.mac");
    EXPECT_EQ(logs.count("Sleep", "System bus unavailable: "), 1U);
}

} // namespace
} // namespace tessarine
