#include "agent/agent_fixture.hpp"
#include "support/dbus_daemon.hpp"

#include <cstdlib>
#include <sys/wait.h>

using namespace tessarine;
using namespace tessarine::testing;
using tessarine::test::DbusDaemon;
using tessarine::test::ScopedEnvironment;

namespace {

// logind's announcement, sent on the private bus that stands in for the system bus.
void announceSleep(const std::string& address, bool sleeping) {
    const std::string command = "dbus-send --bus='" + address +
                                "' --type=signal /org/freedesktop/login1 "
                                "org.freedesktop.login1.Manager.PrepareForSleep boolean:" +
                                (sleeping ? "true" : "false");
    ASSERT_EQ(std::system(command.c_str()), 0) << command;
}

class AgentSleepTest : public AgentControllerTest {
protected:
    void SetUp() override {
        if (auto reason = DbusDaemon::unavailable())
            GTEST_SKIP() << *reason;
        AgentControllerTest::SetUp();
        bus_ = std::make_unique<DbusDaemon>();
        environment_ =
            std::make_unique<ScopedEnvironment>("DBUS_SYSTEM_BUS_ADDRESS", bus_->address());
    }

    std::unique_ptr<DbusDaemon> bus_;
    std::unique_ptr<ScopedEnvironment> environment_;
};

TEST_F(AgentSleepTest, SleepEndsTheSessionAndTheTabletCanComeBack) {
    startController(/*observeSleep=*/true);
    auto tablet = liveTablet(kTablet, "Tab");

    announceSleep(bus_->address(), true);
    auto bye = tablet->waitForControl<Disconnect>();
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->reason, "mac-sleep");
    EXPECT_TRUE(waitForState(AgentController::State::listening()));
    EXPECT_TRUE(media_->sawEvent("display.destroyed"));
    EXPECT_TRUE(logs_.contains("Agent", "Mac will sleep — tearing down session"));

    // On wake only a log line; the listener is still there for the tablet.
    announceSleep(bus_->address(), false);
    EXPECT_TRUE(logs_.waitFor("Sleep", "Mac did wake — reattach virtual display", kTimeout));
    tablet->close();
    auto again = connectTablet();
    again->sayHello(helloFrom(kTablet, "Tab"));
    EXPECT_TRUE(waitForState(AgentController::State::live("Tab", 0)));
    EXPECT_TRUE(logs_.waitFor(
        "Agent", "Mac woke — listener is still alive, iPad will reconnect on its own", kTimeout));
}

TEST_F(AgentSleepTest, SleepWithoutASessionStillSettlesOnListening) {
    startController(/*observeSleep=*/true);
    announceSleep(bus_->address(), true);
    EXPECT_TRUE(
        states_.waitFor([](const AgentController::State& s) { return s.kind == Kind::listening; }));
    EXPECT_TRUE(media_->events.snapshot().empty());
}

} // namespace
