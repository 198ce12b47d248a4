#include "headless/headless_agent.hpp"

#include "agent/agent_fixture.hpp"
#include "headless/control_client.hpp"

#include <gtest/gtest.h>

using namespace tessarine;
using namespace tessarine::testing;

TEST_F(AgentControllerTest, HeadlessAgentPromptsOnceAndTrustsOnlyOnTheUsersWord) {
    const auto socket = keychain_.home() / "run" / "control.sock";
    AgentController::Options options;
    options.port = 0;
    options.media = media_;
    options.trustedStore = store_;
    options.observeSleep = false;
    WaitList<std::string> lines;
    auto agent = executor_.call([&] {
        return std::make_unique<HeadlessAgent>(executor_.executor(), options, socket,
                                               [&lines](std::string line) { lines.push(line); });
    });
    executor_.await(agent->start());
    EXPECT_TRUE(logs_.contains("Agent", "Agent state: listening"));

    TabletPeer tablet(
        executor_, executor_.call([&] { return agent->controller()->transport()->localPort(); }));
    ASSERT_TRUE(tablet.connect());
    tablet.sayHello(helloFrom(kTablet, "Ana's iPad"));
    const std::string id = kTablet.toString();
    ASSERT_TRUE(lines.waitFor([](const std::string&) { return true; }));
    EXPECT_EQ(lines.snapshot(),
              std::vector<std::string>{"Tablet \"Ana's iPad\" (" + id +
                                       ") wants to connect — allow with: tessarine allow " + id +
                                       "   deny with: tessarine deny " + id});
    EXPECT_TRUE(logs_.contains("Agent", "Agent state: awaitingAccept(" + id + ", Ana's iPad)"));
    EXPECT_TRUE(store_->loadAll().empty());
    EXPECT_TRUE(media_->events.snapshot().empty()); // no session before the answer

    EXPECT_EQ(ControlClient(socket).request({{"command", "allow"}, {"id", id}})["ok"], true);
    EXPECT_TRUE(tablet.waitForControl<DisplayConfig>());
    EXPECT_TRUE(logs_.waitFor("Agent", "Agent state: live(Ana's iPad, 0)", kTimeout));
    EXPECT_EQ(store_->loadAll().count(kTablet), 1u);
    // Changes of the trusted list alone log nothing: one line per state.
    EXPECT_EQ(logs_.count("Agent", "Agent state: live"), 1u);

    executor_.await(agent->stop());
    auto bye = tablet.waitForControl<Disconnect>();
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->reason, "mac-quit");
    EXPECT_FALSE(std::filesystem::exists(socket));
    EXPECT_EQ(lines.snapshot().size(), 1u);
    executor_.call([&] { agent.reset(); });
}
