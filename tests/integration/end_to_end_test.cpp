// The agent with its real parts — a private Xvfb virtual display, X11
// capture, the H.264 encoder and the cursor tracker — serving a tablet that
// connects over TLS on loopback and decodes what it receives.
#include "agent/agent_controller.hpp"
#include "agent/real_session_media.hpp"
#include "media/h264_decoder.hpp"
#include "media/test_display.hpp"
#include "security/tls_identity.hpp"
#include "support/dbus_daemon.hpp"
#include "support/tablet_peer.hpp"
#include "support/temporary_keychain.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <future>
#include <regex>
#include <sys/stat.h>

using namespace tessarine;
using namespace tessarine::testing;
using Kind = AgentController::State::Kind;
using test::TestClient;
using test::TestDisplay;

namespace {

const Uuid kViewer = *Uuid::parse("0F0F0F0F-1111-2222-3333-444444444444");

struct Picture {
    int width = 0;
    int height = 0;
    std::uint8_t lumaAt100x100 = 0;
};

class EndToEndTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto missing = TestDisplay::xvfbMissing())
            GTEST_SKIP() << *missing;
        decoder_.onDecodedFrame([this](const PixelBuffer& picture, MediaTime) {
            pictures_.push(Picture{picture.width(), picture.height(),
                                   picture.width() > 100 && picture.height() > 100
                                       ? picture.y(100, 100)
                                       : std::uint8_t{0}});
        });
    }

    void TearDown() override {
        tablet_.reset();
        if (controller_) {
            executor_.await(controller_->quit(std::chrono::milliseconds(200)));
            executor_.call([&] { controller_.reset(); });
        }
    }

    void startAgent(bool observeSleep = false) {
        AgentController::Options options;
        options.port = 0;
        VirtualDisplayManagerOptions display;
        display.backend = VirtualDisplayBackendKind::xvfb;
        options.media = makeSessionMedia(display);
        options.trustedStore = store_;
        options.instanceName = "End to end";
        options.observeSleep = observeSleep;
        controller_ = executor_.call([&] {
            auto c = std::make_shared<AgentController>(executor_.executor(), options);
            c->addObserver([this, c = c.get()] { states_.push(c->state()); });
            return c;
        });
        executor_.await(controller_->start());
    }

    std::uint16_t port() {
        return executor_.call([&] { return controller_->transport()->localPort(); });
    }

    bool waitForState(const AgentController::State& wanted) {
        return states_.waitFor([&](const AgentController::State& s) { return s == wanted; })
            .has_value();
    }

    // Connects the tablet and says hello as a 2048 × 2732 Retina tablet.
    void connectAndSayHello() {
        tablet_ = std::make_unique<TabletPeer>(executor_, port());
        ASSERT_TRUE(tablet_->connect());
        tablet_->sayHello(ClientHello{kViewer, "Viewer", 2048, 2732, 2.0});
    }

    // The private display the session created, from the agent's own announcement.
    void findVirtualDisplay() {
        ASSERT_TRUE(logs_.waitForPrefix("VirtualDisplay", "Run programs on the tablet's display",
                                        kTimeout));
        for (const auto& line : logs_.messages("VirtualDisplay")) {
            std::smatch m;
            if (std::regex_search(line, m, std::regex("DISPLAY=(\\S+) XAUTHORITY=(\\S+)"))) {
                xDisplay_ = m[1];
                xAuthority_ = m[2];
            }
        }
        ASSERT_FALSE(xDisplay_.empty());
        setenv("XAUTHORITY", xAuthority_.c_str(), 1);
        client_ = std::make_unique<TestClient>(xDisplay_);
    }

    // Decodes every video frame received so far that has not been decoded yet.
    std::size_t decodeReceived() {
        std::size_t videos = 0;
        for (const auto& frame : tablet_->frames().snapshot()) {
            const auto* video = frame.as<Frame::Video>();
            if (!video)
                continue;
            if (videos++ < decodedUpTo_)
                continue;
            decoder_.decode(video->payload,
                            MediaTime::make(static_cast<std::int64_t>(video->pts), 1'000'000));
            ++decodedUpTo_;
        }
        return videos;
    }

    // Waits until a video frame beyond the first `count` has arrived.
    bool waitForVideoCount(std::size_t count) {
        return tablet_->frames().waitUntil([count](const std::vector<Frame>& frames) {
            return static_cast<std::size_t>(
                       std::count_if(frames.begin(), frames.end(), [](const Frame& f) {
                           return f.as<Frame::Video>() != nullptr;
                       })) >= count;
        });
    }

    std::size_t videoCount() {
        auto frames = tablet_->frames().snapshot();
        return static_cast<std::size_t>(std::count_if(
            frames.begin(), frames.end(), [](const Frame& f) { return f.as<Frame::Video>(); }));
    }

    ExecutorThread executor_;
    TemporaryKeychain keychain_;
    const std::filesystem::path& home_ = keychain_.home();
    std::shared_ptr<TrustedDeviceStore> store_ = keychain_.store();
    std::shared_ptr<AgentController> controller_;
    std::unique_ptr<TabletPeer> tablet_;
    WaitList<AgentController::State> states_;
    WaitList<Picture> pictures_;
    H264Decoder decoder_;
    std::size_t decodedUpTo_ = 0;
    std::string xDisplay_, xAuthority_;
    std::unique_ptr<TestClient> client_;
    LogCapture logs_;
};

TEST_F(EndToEndTest, AllowedViewerGetsTheDisplayItsPicturesAndItsCursor) {
    startAgent();
    connectAndSayHello();
    ASSERT_TRUE(states_.waitFor([](auto& s) { return s.kind == Kind::awaitingAccept; }));
    EXPECT_EQ(videoCount(), 0u);
    executor_.call([&] { controller_->resolveTrust(kViewer, true); });

    auto config = tablet_->waitForControl<DisplayConfig>();
    ASSERT_TRUE(config);
    EXPECT_EQ(*config, (DisplayConfig{2732, 2048, 2.0, 60}));
    ASSERT_TRUE(waitForState(AgentController::State::live("Viewer", 0)));

    // The first picture always comes, at the display's pixel size.
    ASSERT_TRUE(waitForVideoCount(1));
    decodeReceived();
    auto first = pictures_.waitFor([](const Picture&) { return true; });
    ASSERT_TRUE(first);
    EXPECT_EQ(first->width, 2732);
    EXPECT_EQ(first->height, 2048);

    // A still screen sends (almost) nothing: no new picture within a good
    // number of frame intervals.
    findVirtualDisplay();
    const std::size_t before = videoCount();
    EXPECT_FALSE(tablet_->frames().waitUntil(
        [before](const std::vector<Frame>& frames) {
            return static_cast<std::size_t>(
                       std::count_if(frames.begin(), frames.end(), [](const Frame& f) {
                           return f.as<Frame::Video>() != nullptr;
                       })) > before + 1;
        },
        std::chrono::milliseconds(500)));

    // Drawing on the virtual display sends a new picture showing it.
    const std::size_t quiet = videoCount();
    client_->fill(0, 0, 400, 400, 0xFFFFFF);
    client_->sync();
    ASSERT_TRUE(waitForVideoCount(quiet + 1));
    decodeReceived();
    EXPECT_TRUE(pictures_.waitFor([](const Picture& p) { return p.lumaAt100x100 > 230; }));

    // On a still screen a keyframe request is still answered with a picture.
    const std::size_t still = videoCount();
    tablet_->send(RequestKeyframe{});
    ASSERT_TRUE(waitForVideoCount(still + 1));

    // The pointer over the display travels as cursor moves, with its shape.
    client_->movePointer(100, 50);
    client_->sync();
    auto move = tablet_->frames().waitFor([](const Frame& f) {
        const auto* m = f.as<Frame::CursorMove>();
        return m && m->xPx == 100 && m->yPx == 50;
    });
    ASSERT_TRUE(move);
    auto shape = tablet_->waitForControl<CursorImage>();
    ASSERT_TRUE(shape);
    EXPECT_FALSE(shape->pngData.empty());
    EXPECT_EQ(move->as<Frame::CursorMove>()->cursorId, shape->cursorId);
}

TEST_F(EndToEndTest, DisconnectRemovesTheVirtualDisplay) {
    startAgent();
    store_->saveAll({{kViewer, "Viewer"}});
    connectAndSayHello();
    ASSERT_TRUE(waitForState(AgentController::State::live("Viewer", 0)));
    findVirtualDisplay();
    const std::string socket = "/tmp/.X11-unix/X" + xDisplay_.substr(1);
    struct stat info {};
    EXPECT_EQ(stat(socket.c_str(), &info), 0);

    tablet_->send(Disconnect{"done"});
    tablet_->close();
    ASSERT_TRUE(waitForState(AgentController::State::listening()));
    client_.reset();
    // Quitting waits for the background teardown; the private server has gone
    // with the display by then, and its socket with it.
    executor_.await(controller_->quit(std::chrono::milliseconds(200)));
    EXPECT_TRUE(logs_.contains("Capture", "Capture stopped"));
    EXPECT_EQ(logs_.count("VirtualDisplay", "Destroying virtual display"), 1u);
    const bool gone = stat(socket.c_str(), &info) != 0;
    EXPECT_TRUE(gone) << socket;
}

TEST_F(EndToEndTest, SleepEndsTheSessionAndTheViewerComesBack) {
    if (auto reason = test::DbusDaemon::unavailable())
        GTEST_SKIP() << *reason;
    test::DbusDaemon bus;
    test::ScopedEnvironment environment("DBUS_SYSTEM_BUS_ADDRESS", bus.address());
    startAgent(/*observeSleep=*/true);
    store_->saveAll({{kViewer, "Viewer"}});
    connectAndSayHello();
    ASSERT_TRUE(waitForState(AgentController::State::live("Viewer", 0)));

    const std::string command = "dbus-send --bus='" + bus.address() +
                                "' --type=signal /org/freedesktop/login1 "
                                "org.freedesktop.login1.Manager.PrepareForSleep boolean:true";
    ASSERT_EQ(std::system(command.c_str()), 0);
    auto bye = tablet_->waitForControl<Disconnect>();
    ASSERT_TRUE(bye);
    EXPECT_EQ(bye->reason, "mac-sleep");
    ASSERT_TRUE(waitForState(AgentController::State::listening()));

    tablet_->close();
    states_.clear();
    connectAndSayHello();
    EXPECT_TRUE(waitForState(AgentController::State::live("Viewer", 0)));
    EXPECT_TRUE(tablet_->waitForControl<DisplayConfig>());
}

TEST_F(EndToEndTest, TheViewerProgramIsAllowedAndDecodesThePicture) {
    startAgent();
    const std::string command =
        std::string(TESSARINE_VIEWER_BINARY) + " --host 127.0.0.1 --port " +
        std::to_string(port()) + " --name Laptop --size 1280x800 --scale 1 --config-dir " +
        (home_ / "viewer").string() + " --headless --frames 1 --timeout 60 > " +
        (home_ / "viewer.out").string() + " 2>&1";
    auto run = std::async(std::launch::async, [&] { return std::system(command.c_str()); });
    auto asking = states_.waitFor([](auto& s) { return s.kind == Kind::awaitingAccept; });
    ASSERT_TRUE(asking);
    EXPECT_EQ(asking->peerName, "Laptop");
    executor_.call([&] { controller_->resolveTrust(asking->deviceId, true); });
    ASSERT_EQ(run.wait_for(std::chrono::seconds(60)), std::future_status::ready);
    const int status = run.get();
    std::ifstream out(home_ / "viewer.out");
    const std::string printed((std::istreambuf_iterator<char>(out)), {});
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << printed;
    EXPECT_NE(printed.find("frames decoded:    1"), std::string::npos) << printed;
    // The viewer says goodbye; the agent is back to listening.
    EXPECT_TRUE(waitForState(AgentController::State::listening()));
}

} // namespace
