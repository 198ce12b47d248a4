#include "agent/agent_fixture.hpp"

#include <asio/ip/tcp.hpp>

using namespace tessarine;
using namespace tessarine::testing;

namespace {

TEST_F(AgentControllerTest, UnknownTabletWaitsAndIsStoredAndStreamedOnceAllowed) {
    startController();
    auto tablet = connectTablet();
    tablet->sayHello(helloFrom(kTablet, "Ana's tablet"));
    ASSERT_TRUE(waitForState(AgentController::State::awaitingAccept(kTablet, "Ana's tablet")));
    ASSERT_TRUE(prompts_.waitFor([](const std::string& p) {
        return p == "11111111-2222-3333-4444-555555555555 Ana's tablet";
    }));
    EXPECT_TRUE(store_->loadAll().empty());

    executor_.call([&] { controller_->resolveTrust(kTablet, true); });
    ASSERT_TRUE(waitForState(AgentController::State::live("Ana's tablet", 0)));
    EXPECT_EQ(executor_.call([&] { return controller_->trustedCount(); }), 1);
    EXPECT_EQ(executor_.call([&] { return controller_->trustedDevices(); }),
              (std::vector<TrustedDevice>{{kTablet, "Ana's tablet"}}));

    // The session's parameters, as the tablet and the media parts see them.
    auto config = tablet->waitForControl<DisplayConfig>();
    ASSERT_TRUE(config);
    EXPECT_EQ(*config, (DisplayConfig{2732, 2048, 2.0, 60}));
    EXPECT_EQ(media_->displayConfiguration.logicalWidth, 1366);
    EXPECT_EQ(media_->displayConfiguration.logicalHeight, 1024);
    EXPECT_EQ(media_->displayConfiguration.displayName, "Ana's tablet");
    EXPECT_TRUE(media_->sawEvent("capturer 7 2732x2048@60"));
    EXPECT_TRUE(media_->sawEvent("encoder 2732x2048 67141632 60 30"));
    EXPECT_TRUE(
        logs_.contains("Agent", "No QUIC port available — video stays on TCP for this session"));
    EXPECT_TRUE(logs_.contains(
        "Agent", "Session accepted for Ana's tablet @ 2732x2048 scale=2.000000 bitrate=67141kbps"));
    EXPECT_TRUE(
        logs_.contains("Agent", "Display mode: logical=1366x1024 pixels=2732x2048 hidpi=true"));

    // Video: wire pts = session start + the frame's media time in whole microseconds.
    const std::uint64_t before = wallMicros();
    media_->capturer->emit(MediaTime::make(1, 60));
    media_->capturer->emit(MediaTime::make(2, 60));
    auto first = tablet->waitForVideo(0);
    auto second = tablet->waitForVideo(1);
    ASSERT_TRUE(first && second);
    EXPECT_EQ(second->pts - first->pts, 33333u - 16666u);
    EXPECT_LT(first->pts, before + 16666);
    EXPECT_GT(first->pts, before - 10'000'000);
    EXPECT_EQ(media_->lastDuration, MediaTime::make(1, 60));

    // A keyframe request reaches the encoder and asks capture for a fresh frame.
    tablet->send(RequestKeyframe{});
    EXPECT_TRUE(media_->sawEvent("encoder.requestIDR"));
    EXPECT_TRUE(media_->sawEvent("capturer.requestFrame"));

    // Cursor events become one message each.
    media_->cursor->callbacks.onMove({5, -1, 2, 9});
    media_->cursor->callbacks.onVisibility(false);
    media_->cursor->callbacks.onShapeChange(CursorImage{9, 16, 16, 1, 2, 2.0f, Bytes{1, 2}});
    EXPECT_TRUE(tablet->frames().waitFor(
        [](const Frame& f) { return f == Frame::cursorMove(5, -1, 2, 0, 9); }));
    EXPECT_TRUE(tablet->waitForControl<CursorVisibility>([](auto& v) { return !v.visible; }));
    EXPECT_TRUE(tablet->waitForControl<CursorImage>([](auto& i) { return i.cursorId == 9; }));
}

TEST_F(AgentControllerTest, SecondHelloIsAnsweredBusyAndChangesNothing) {
    startController();
    auto tablet = liveTablet(kTablet, "Tab");
    tablet->sayHello(helloFrom(kOther, "Intruder"));
    auto busy = tablet->waitForControl<Disconnect>();
    ASSERT_TRUE(busy);
    EXPECT_EQ(busy->reason, "busy");
    EXPECT_TRUE(logs_.contains("Agent", "Rejecting Intruder — already connected"));
    EXPECT_EQ(state(), AgentController::State::live("Tab", 0));
    EXPECT_EQ(store_->loadAll().size(), 1u);
}

TEST_F(AgentControllerTest, DeniedTabletIsToldAndNotStored) {
    startController();
    auto tablet = connectTablet();
    tablet->sayHello(helloFrom(kTablet, "Stranger"));
    ASSERT_TRUE(waitForKind(Kind::awaitingAccept));
    executor_.call([&] { controller_->resolveTrust(kTablet, false); });
    auto denied = tablet->waitForControl<Disconnect>();
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->reason, "denied");
    EXPECT_EQ(state(), AgentController::State::awaitingAccept(kTablet, "Stranger"));
    EXPECT_TRUE(store_->loadAll().empty());
    EXPECT_FALSE(media_->events.waitFor([](auto& e) { return e == "display.create"; },
                                        std::chrono::milliseconds(0)));

    tablet->close();
    EXPECT_TRUE(waitForState(AgentController::State::listening()));
}

TEST_F(AgentControllerTest, ConnectionDroppingDuringThePromptEndsIt) {
    startController();
    auto tablet = connectTablet();
    tablet->sayHello(helloFrom(kTablet, "Shy"));
    ASSERT_TRUE(waitForKind(Kind::awaitingAccept));
    states_.clear(); // before the close: its "listening" must not be missed
    tablet->close();
    ASSERT_TRUE(waitForState(AgentController::State::listening()));
    // A late answer finds nothing to resume.
    executor_.call([&] { controller_->resolveTrust(kTablet, true); });
    EXPECT_TRUE(store_->loadAll().empty());
    EXPECT_EQ(state(), AgentController::State::listening());

    // The next tablet is served afresh.
    auto next = connectTablet();
    next->sayHello(helloFrom(kOther, "Next"));
    EXPECT_TRUE(waitForState(AgentController::State::awaitingAccept(kOther, "Next")));
}

TEST_F(AgentControllerTest, AnswerFromInsideThePromptIsNotLost) {
    startController();
    executor_.call([&] {
        controller_->onRequestTrust = [this](const Uuid& id, const std::string&) {
            controller_->resolveTrust(id, true);
        };
    });
    auto tablet = connectTablet();
    tablet->sayHello(helloFrom(kTablet, "Eager"));
    EXPECT_TRUE(waitForState(AgentController::State::live("Eager", 0)));
}

TEST_F(AgentControllerTest, TrustedTabletSkipsThePromptAndKeepsItsStoredName) {
    startController();
    store_->saveAll({{kTablet, "First name"}});
    auto tablet = connectTablet();
    tablet->sayHello(helloFrom(kTablet, "Renamed", 2732, 2048));
    ASSERT_TRUE(waitForState(AgentController::State::live("Renamed", 0)));
    EXPECT_TRUE(prompts_.snapshot().empty());
    EXPECT_EQ(store_->loadAll().at(kTablet), "First name");
    // Landscape whatever the tablet's orientation.
    EXPECT_EQ(tablet->waitForControl<DisplayConfig>(), (DisplayConfig{2732, 2048, 2.0, 60}));
    EXPECT_TRUE(logs_.contains("Agent", "Trusted iPad: Renamed"));
}

TEST_F(AgentControllerTest, TabletDisconnectTearsDownAtOnceAndStateFollowsTheConnection) {
    startController();
    auto tablet = liveTablet(kTablet, "Tab");
    tablet->send(Disconnect{"bye"});
    // Capture stops, then the encoder goes, and the display is removed last.
    ASSERT_TRUE(media_->events.waitUntil([](const std::vector<std::string>& e) {
        auto at = [&](const std::string& name) {
            return std::find(e.begin(), e.end(), name) - e.begin();
        };
        return at("display.destroyed") < static_cast<long>(e.size()) &&
               at("capturer.stop") < at("encoder.invalidate") &&
               at("encoder.invalidate") < at("display.destroyed") &&
               at("cursor.stop") < at("capturer.stop");
    }));
    EXPECT_TRUE(logs_.contains("Agent", "Peer requested disconnect: bye"));
    EXPECT_EQ(state(), AgentController::State::live("Tab", 0));
    tablet->close();
    EXPECT_TRUE(waitForState(AgentController::State::listening()));
}

TEST_F(AgentControllerTest, ForgettingDevices) {
    startController();
    store_->saveAll({{kOther, "Other"}});
    auto tablet = liveTablet(kTablet, "Tab");
    store_->saveAll({{kTablet, "Tab"}, {kOther, "Other"}});

    // Another device: removed, the session goes on.
    executor_.call([&] { controller_->forget(kOther); });
    EXPECT_EQ(store_->loadAll().size(), 1u);
    EXPECT_EQ(executor_.call([&] { return controller_->trustedCount(); }), 1);
    EXPECT_EQ(state().kind, Kind::live);

    // The current peer: told, dropped, back to listening.
    executor_.call([&] { controller_->forget(kTablet); });
    auto revoked = tablet->waitForControl<Disconnect>();
    ASSERT_TRUE(revoked);
    EXPECT_EQ(revoked->reason, "trust-revoked");
    EXPECT_EQ(state(), AgentController::State::listening());
    EXPECT_TRUE(store_->loadAll().empty());
    EXPECT_TRUE(tablet->waitForState(TransportState::Kind::disconnected) ||
                tablet->waitForState(TransportState::Kind::failed));
}

TEST_F(AgentControllerTest, ForgetAllEndsTheSessionEvenOfATrustedPeer) {
    startController();
    // Nothing to end: just an empty list.
    executor_.call([&] { controller_->forgetAll(); });
    EXPECT_EQ(executor_.call([&] { return controller_->trustedCount(); }), 0);

    auto tablet = liveTablet(kTablet, "Tab");
    executor_.call([&] { controller_->forgetAll(); });
    auto cleared = tablet->waitForControl<Disconnect>();
    ASSERT_TRUE(cleared);
    EXPECT_EQ(cleared->reason, "trust-cleared");
    EXPECT_TRUE(executor_.call([&] { return controller_->trustedDevices().empty(); }));
    EXPECT_EQ(state(), AgentController::State::listening());
}

TEST_F(AgentControllerTest, TeardownDiscardsQueuedFrames) {
    startController();
    auto tablet = liveTablet(kTablet, "Tab");
    // Frames queued and the session torn down in the same turn of the executor:
    // none of them may go out.
    executor_.call([&] {
        for (int i = 1; i <= 50; ++i)
            media_->capturer->emit(MediaTime::make(i, 60));
        controller_->disconnect("marker");
    });
    ASSERT_TRUE(tablet->waitForControl<Disconnect>([](auto& d) { return d.reason == "marker"; }));
    for (const auto& f : tablet->frames().snapshot())
        EXPECT_EQ(f.as<Frame::Video>(), nullptr);
}

class SetupFailureTest : public AgentControllerTest,
                         public ::testing::WithParamInterface<const char*> {};

TEST_P(SetupFailureTest, FailingStepIsReportedAndReleasesEverything) {
    media_->failAt = GetParam();
    startController();
    store_->saveAll({{kTablet, "Tab"}});
    auto tablet = connectTablet();
    tablet->sayHello(helloFrom(kTablet, "Tab"));
    auto bye = tablet->waitForControl<Disconnect>();
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->reason, "setup-failed");
    ASSERT_TRUE(waitForKind(Kind::failed));
    EXPECT_FALSE(state().error.empty());
    EXPECT_EQ(logs_.count("Agent", "Session setup failed: "), 1u);
    EXPECT_TRUE(media_->sawEvent("display.destroyed") || std::string(GetParam()) == "display");
    for (const auto& f : tablet->frames().snapshot()) {
        const auto* control = f.as<Frame::Control>();
        EXPECT_FALSE(control && std::holds_alternative<DisplayConfig>(control->message));
    }
    // The connection stays; a new hello is handled afresh.
    media_->failAt.clear();
    tablet->sayHello(helloFrom(kTablet, "Tab"));
    EXPECT_TRUE(waitForState(AgentController::State::live("Tab", 0)));
}

INSTANTIATE_TEST_SUITE_P(Steps, SetupFailureTest,
                         ::testing::Values("display", "encoder", "capture", "cursor"));

TEST_F(AgentControllerTest, HelloThatCannotMakeADisplayIsRefusedBeforeAnythingIsCreated) {
    startController();
    store_->saveAll({{kTablet, "Tab"}});
    auto tablet = connectTablet();
    for (auto [w, h] : {std::pair{0u, 2048u}, {20000u, 2048u}, {UINT32_MAX, UINT32_MAX}}) {
        tablet->sayHello(helloFrom(kTablet, "Tab", w, h));
        ASSERT_TRUE(
            tablet->waitForControl<Disconnect>([](auto& d) { return d.reason == "setup-failed"; }));
        tablet->frames().clear();
    }
    EXPECT_TRUE(media_->events.snapshot().empty());
    EXPECT_EQ(state().kind, Kind::failed);
}

TEST_F(AgentControllerTest, StartIsOnceOnlyAndAListenerFailureIsFinal) {
    startController();
    auto host = executor_.call([&] { return controller_->transport(); });
    executor_.await(controller_->start());
    EXPECT_EQ(executor_.call([&] { return controller_->transport(); }), host);

    // A second agent on the same port cannot listen.
    AgentController::Options options;
    options.port = port();
    options.media = media_;
    options.trustedStore = store_;
    options.observeSleep = false;
    auto second = executor_.call(
        [&] { return std::make_shared<AgentController>(executor_.executor(), options); });
    executor_.await(second->start());
    auto failed = executor_.call([&] { return second->state(); });
    EXPECT_EQ(failed.kind, Kind::failed);
    EXPECT_TRUE(failed.error.starts_with("listener: ")) << failed.error;
    executor_.await(second->start());
    EXPECT_EQ(executor_.call([&] { return second->state(); }), failed);
    executor_.await(second->quit(std::chrono::milliseconds(50)));
    executor_.call([&] { second.reset(); });
}

} // namespace
