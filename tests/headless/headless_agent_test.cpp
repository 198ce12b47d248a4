#include "headless/headless_agent.hpp"

#include "agent/agent_fixture.hpp"
#include "headless/control_cli.hpp"
#include "headless/control_client.hpp"
#include "headless/control_socket.hpp"

#include <gtest/gtest.h>

using namespace tessarine;
using namespace tessarine::testing;

namespace {

// The fixture's keychain, fake media and tablets, with a HeadlessAgent in
// place of a bare controller.
class HeadlessAgentTest : public AgentControllerTest {
protected:
    void SetUp() override {
        AgentControllerTest::SetUp();
        socket_ = home_ / "run" / "control.sock";
    }

    void TearDown() override {
        for (auto* agent : {&agent_, &second_})
            if (*agent) {
                executor_.await((*agent)->stop());
                executor_.call([&] { agent->reset(); });
            }
        AgentControllerTest::TearDown();
    }

    std::unique_ptr<HeadlessAgent> makeAgent() {
        AgentController::Options options;
        options.port = 0;
        options.media = media_;
        options.trustedStore = store_;
        options.instanceName = "Test Agent";
        options.observeSleep = false;
        return executor_.call([&] {
            return std::make_unique<HeadlessAgent>(executor_.executor(), options, socket_,
                                                   [this](std::string line) { lines_.push(line); });
        });
    }

    std::uint16_t agentPort() {
        return executor_.call([&] { return agent_->controller()->transport()->localPort(); });
    }

    nlohmann::json command(const std::string& name, const std::string& id) {
        return ControlClient(socket_).request({{"command", name}, {"id", id}});
    }

    std::filesystem::path socket_;
    std::unique_ptr<HeadlessAgent> agent_;
    std::unique_ptr<HeadlessAgent> second_;
    WaitList<std::string> lines_;
};

} // namespace

TEST_F(HeadlessAgentTest, AWaitingTabletGetsOnePromptAndNothingUntilTheUserAnswers) {
    agent_ = makeAgent();
    executor_.await(agent_->start());
    EXPECT_TRUE(std::filesystem::exists(socket_));
    EXPECT_TRUE(logs_.contains("Agent", "Agent state: listening"));

    TabletPeer tablet(executor_, agentPort());
    ASSERT_TRUE(tablet.connect());
    tablet.sayHello(helloFrom(kTablet, "Ana's iPad"));
    const std::string id = kTablet.toString();
    ASSERT_TRUE(lines_.waitFor([](const std::string&) { return true; }));
    EXPECT_EQ(lines_.snapshot(),
              std::vector<std::string>{"Tablet \"Ana's iPad\" (" + id +
                                       ") wants to connect — allow with: tessarine allow " + id +
                                       "   deny with: tessarine deny " + id});
    EXPECT_TRUE(logs_.contains("Agent", "Agent state: awaitingAccept(" + id + ", Ana's iPad)"));
    // Nothing is trusted or set up on the agent's own.
    EXPECT_TRUE(store_->loadAll().empty());
    EXPECT_TRUE(media_->events.snapshot().empty());

    EXPECT_EQ(command("allow", id)["ok"], true);
    EXPECT_TRUE(tablet.waitForControl<DisplayConfig>());
    EXPECT_TRUE(logs_.waitFor("Agent", "Agent state: live(Ana's iPad, 0)", kTimeout));
    EXPECT_EQ(store_->loadAll().count(kTablet), 1u);
    // One line per state, not per published change.
    EXPECT_EQ(logs_.count("Agent", "Agent state: live"), 1u);

    // Stopping says goodbye and takes the socket away.
    executor_.await(agent_->stop());
    auto bye = tablet.waitForControl<Disconnect>();
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->reason, "mac-quit");
    EXPECT_FALSE(std::filesystem::exists(socket_));
    EXPECT_EQ(lines_.snapshot().size(), 1u);
}

TEST_F(HeadlessAgentTest, ASecondAgentStopsBeforeListening) {
    agent_ = makeAgent();
    executor_.await(agent_->start());
    second_ = makeAgent();
    try {
        executor_.await(second_->start());
        ADD_FAILURE() << "second agent started";
    } catch (const ControlError& e) {
        EXPECT_EQ(e.code(), ControlErrorCode::alreadyRunning);
    }
    EXPECT_EQ(executor_.call([&] { return second_->controller()->transport(); }), nullptr);
    EXPECT_EQ(ControlClient(socket_).request({{"command", "status"}})["state"], "listening");
}
