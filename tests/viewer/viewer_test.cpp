#include "viewer/viewer.hpp"

#include "media/h264_encoder.hpp"
#include "net/wifi_transport_host.hpp"
#include "png_fixture.hpp"
#include "security/tls_identity.hpp"
#include "support/executor_thread.hpp"
#include "viewer/device_identity.hpp"

#include <gtest/gtest.h>

#include <asio/detached.hpp>
#include <asio/ip/tcp.hpp>

#include <cstdlib>
#include <filesystem>

using namespace tessarine;
using namespace tessarine::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::steady_clock;

namespace {

struct Received {
    Frame frame;
    Clock::time_point at;
};

struct Picture {
    int width;
    int height;
    MediaTime pts;
};

std::uint64_t wallMicros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// A moving NV12 test picture.
PixelBuffer testPicture(int width, int height, int index) {
    PixelBuffer p = PixelBuffer::allocate(width, height);
    for (int row = 0; row < height; ++row)
        for (int x = 0; x < width; ++x)
            p.luma()[row * p.lumaStride() + x] = static_cast<std::uint8_t>(x + row + index * 5);
    for (int row = 0; row < p.chromaHeight(); ++row)
        for (int x = 0; x < width; ++x)
            p.chroma()[row * p.chromaStride() + x] = static_cast<std::uint8_t>(128 + (x % 7));
    return p;
}

std::vector<EncodedFrame> encodeStream(int width, int height, int count) {
    setenv("TESSARINE_SOFTWARE_ENCODER", "1", 1);
    H264Encoder encoder(width, height, 1'000'000, 60, 120);
    std::vector<EncodedFrame> out;
    encoder.onEncodedFrame([&](EncodedFrame f) { out.push_back(std::move(f)); });
    for (int i = 0; i < count; ++i)
        encoder.encode(testPicture(width, height, i), MediaTime::make(i, 60),
                       MediaTime::make(1, 60));
    encoder.close();
    return out;
}

// Parameter sets too short to describe any stream: the decoder refuses them.
const Bytes kBrokenAccessUnit{0, 0, 0, 1, 0x67, 0xff, 0, 0, 0, 1, 0x68, 0xee, 0x3c, 0x80};

template <typename M> const M* controlOf(const Frame& frame) {
    const auto* control = frame.as<Frame::Control>();
    return control ? std::get_if<M>(&control->message) : nullptr;
}

class ViewerTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tessarine-viewer-test-XXXXXX";
        home_ = mkdtemp(pattern);
        TLSIdentity::useKeychainForTesting(std::make_shared<Keychain>(home_ / "keychain"));
        TLSIdentity::resetCacheForTesting();
        host_ =
            std::make_shared<WiFiTransportHost>(executor_.executor(), 0, "_tessarine._tcp",
                                                "Viewer Test Host", TLSIdentity::serverOptions());
        executor_.await(host_->start());
        ASSERT_NE(host_->localPort(), 0);
        auto host = host_;
        auto* received = &received_;
        auto* states = &hostStates_;
        auto pumpFrames = [host, received]() -> asio::awaitable<void> {
            for (;;) {
                auto frame = co_await host->inbound().pop();
                if (!frame)
                    break;
                received->push({std::move(*frame), Clock::now()});
            }
        };
        auto pumpStates = [host, states]() -> asio::awaitable<void> {
            for (;;) {
                auto state = co_await host->stateStream().pop();
                if (!state)
                    break;
                states->push(std::move(*state));
            }
        };
        asio::co_spawn(executor_.executor(), std::move(pumpFrames), asio::detached);
        asio::co_spawn(executor_.executor(), std::move(pumpStates), asio::detached);
    }

    void TearDown() override {
        if (viewer_) {
            viewer_->close();
            EXPECT_TRUE(outcomes_.waitUntil([](const auto& all) { return !all.empty(); }));
        }
        executor_.await(host_->stop());
        executor_.call([&] {
            viewer_.reset();
            host_.reset();
        });
        TLSIdentity::useKeychainForTesting(nullptr);
        TLSIdentity::resetCacheForTesting();
        std::filesystem::remove_all(home_);
    }

    Viewer::Config config(Uuid id = Uuid::random()) {
        Viewer::Config c;
        c.host = "127.0.0.1";
        c.port = host_->localPort();
        c.deviceId = id;
        c.deviceName = "Test Laptop";
        c.widthPx = 1280;
        c.heightPx = 800;
        c.scaleFactor = 2.0;
        return c;
    }

    void startViewer(const Viewer::Config& c) {
        viewer_ = std::make_shared<Viewer>(executor_.executor(), c);
        viewer_->onPicture([this](const PixelBuffer& p, MediaTime pts) {
            pictures_.push({p.width(), p.height(), pts});
        });
        viewer_->onWaitingForApproval([this] { waiting_.push(true); });
        viewer_->onCursorChange([this] { cursors_.push(viewer_->cursor()); });
        asio::co_spawn(executor_.executor(), viewer_->run(),
                       [this](std::exception_ptr error, ViewerOutcome outcome) {
                           if (error)
                               outcome = {ViewerOutcome::Kind::connectionLost, "exception"};
                           outcomes_.push(outcome);
                       });
    }

    // Starts a viewer and waits for its hello.
    std::optional<ClientHello> connectViewer(const Viewer::Config& c) {
        startViewer(c);
        auto hello = received_.waitFor(
            [](const Received& r) { return controlOf<ClientHello>(r.frame) != nullptr; });
        if (!hello)
            return std::nullopt;
        return *controlOf<ClientHello>(hello->frame);
    }

    void send(ControlMessage message) { executor_.await(host_->sendControl(std::move(message))); }
    void sendVideo(const Bytes& payload, std::uint64_t pts) {
        executor_.await(host_->sendVideo(payload, pts));
    }

    std::vector<Clock::time_point> keyframeRequestTimes() {
        std::vector<Clock::time_point> times;
        for (const auto& r : received_.snapshot())
            if (controlOf<RequestKeyframe>(r.frame))
                times.push_back(r.at);
        return times;
    }

    bool waitForKeyframeRequests(std::size_t count) {
        return received_.waitUntil([count](const std::vector<Received>& all) {
            std::size_t n = 0;
            for (const auto& r : all)
                n += controlOf<RequestKeyframe>(r.frame) ? 1 : 0;
            return n >= count;
        });
    }

    std::optional<ViewerOutcome> waitForOutcome() {
        return outcomes_.waitFor([](const ViewerOutcome&) { return true; });
    }

    ExecutorThread executor_;
    std::filesystem::path home_;
    std::shared_ptr<WiFiTransportHost> host_;
    std::shared_ptr<Viewer> viewer_;
    WaitList<Received> received_;
    WaitList<TransportState> hostStates_;
    WaitList<Picture> pictures_;
    WaitList<bool> waiting_;
    WaitList<CursorSnapshot> cursors_;
    WaitList<ViewerOutcome> outcomes_;
    LogCapture logs_;
};

} // namespace

TEST_F(ViewerTest, SaysHelloWithThePersistedIdThenWaitsForApproval) {
    const auto configDir = home_ / "config";
    const Uuid id = DeviceIdentity::loadOrCreate(configDir);
    auto hello = connectViewer(config(id));
    ASSERT_TRUE(hello);
    EXPECT_EQ(*hello, (ClientHello{id, "Test Laptop", 1280, 800, 2.0}));
    EXPECT_TRUE(waiting_.waitUntil([](const auto& all) { return all.size() == 1; }));
    EXPECT_FALSE(viewer_->displayConfig());

    // The next run of the program presents itself the same way.
    EXPECT_EQ(DeviceIdentity::loadOrCreate(configDir), id);

    send(DisplayConfig{1280, 800, 2.0, 60});
    ASSERT_TRUE(logs_.waitFor("Viewer", "Allowed by the computer — streaming", kTimeout));
    EXPECT_EQ(viewer_->displayConfig(), (DisplayConfig{1280, 800, 2.0, 60}));

    // Closing says goodbye before the connection goes.
    viewer_->close();
    auto outcome = waitForOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(*outcome, (ViewerOutcome{ViewerOutcome::Kind::closed, {}}));
    auto bye = received_.waitFor([](const Received& r) { return controlOf<Disconnect>(r.frame); });
    ASSERT_TRUE(bye);
    EXPECT_EQ(controlOf<Disconnect>(bye->frame)->reason, "viewer-closed");
    EXPECT_TRUE(hostStates_.waitFor(
        [](const TransportState& s) { return s.kind == TransportState::Kind::disconnected; }));
}

TEST_F(ViewerTest, DecodesRealH264AndCountsWhatItReceived) {
    const auto stream = encodeStream(320, 240, 12);
    ASSERT_EQ(stream.size(), 12u);
    ASSERT_TRUE(connectViewer(config()));
    send(DisplayConfig{320, 240, 1.0, 60});

    std::uint64_t bytes = 0;
    std::vector<std::uint64_t> sentPts;
    for (const auto& frame : stream) {
        sentPts.push_back(wallMicros());
        sendVideo(frame.annexB, sentPts.back());
        bytes += frame.annexB.size();
    }
    ASSERT_TRUE(pictures_.waitUntil([](const auto& all) { return all.size() == 12; }));
    const auto pictures = pictures_.snapshot();
    for (std::size_t i = 0; i < pictures.size(); ++i) {
        EXPECT_EQ(pictures[i].width, 320);
        EXPECT_EQ(pictures[i].height, 240);
        EXPECT_EQ(pictures[i].pts,
                  MediaTime::make(static_cast<std::int64_t>(sentPts[i]), 1'000'000));
    }

    const auto stats = viewer_->statistics();
    EXPECT_EQ(stats.framesReceived, 12u);
    EXPECT_EQ(stats.framesDecoded, 12u);
    EXPECT_EQ(stats.bytesReceived, bytes);
    EXPECT_EQ(stats.keyframeRequests, 0u);
    // Same machine, wall-clock frame times: every sample counts, none negative.
    EXPECT_EQ(stats.latency.count, 12);
    EXPECT_GE(stats.latency.min, 0.0);
    EXPECT_GE(stats.latency.max, stats.latency.p95);
    EXPECT_GE(stats.latency.p95, stats.latency.p50);
    EXPECT_TRUE(keyframeRequestTimes().empty());
}

TEST_F(ViewerTest, BrokenAccessUnitAsksForAKeyframeAtMostOncePerSecond) {
    const auto stream = encodeStream(160, 128, 3);
    ASSERT_TRUE(connectViewer(config()));
    send(DisplayConfig{160, 128, 1.0, 60});
    sendVideo(stream[0].annexB, wallMicros());
    ASSERT_TRUE(pictures_.waitUntil([](const auto& all) { return all.size() == 1; }));

    const auto firstBroken = Clock::now();
    sendVideo(kBrokenAccessUnit, wallMicros());
    ASSERT_TRUE(waitForKeyframeRequests(1));
    // A second broken unit right away is not answered at once...
    sendVideo(kBrokenAccessUnit, wallMicros());
    ASSERT_TRUE(waitForKeyframeRequests(2));
    const auto times = keyframeRequestTimes();
    ASSERT_EQ(times.size(), 2u);
    EXPECT_LT(times[0] - firstBroken, 900ms);
    // ...but once a second has passed since the first request.
    EXPECT_GE(times[1] - times[0], 900ms);
    EXPECT_EQ(logs_.count("Viewer", "Decode failed: "), 2u);

    // The stream recovers with the next frames; the viewer keeps going.
    sendVideo(stream[1].annexB, wallMicros());
    ASSERT_TRUE(pictures_.waitUntil([](const auto& all) { return all.size() == 2; }));
    EXPECT_EQ(viewer_->statistics().keyframeRequests, 2u);
}

TEST_F(ViewerTest, NoPictureInTheFirstSecondAsksForAKeyframe) {
    const auto stream = encodeStream(160, 128, 3);
    ASSERT_FALSE(stream[1].isKeyframe);
    ASSERT_TRUE(connectViewer(config()));
    send(DisplayConfig{160, 128, 1.0, 60});

    // Joining mid-stream: a frame that needs an earlier keyframe.
    const auto start = Clock::now();
    sendVideo(stream[1].annexB, wallMicros());
    ASSERT_TRUE(waitForKeyframeRequests(1));
    EXPECT_GE(keyframeRequestTimes()[0] - start, 900ms);
    EXPECT_TRUE(logs_.contains("Viewer", "Requesting a keyframe: no picture decoded"));
    EXPECT_EQ(viewer_->statistics().framesDecoded, 0u);

    // The host answers with a keyframe and pictures flow.
    sendVideo(stream[0].annexB, wallMicros());
    ASSERT_TRUE(pictures_.waitUntil([](const auto& all) { return all.size() == 1; }));
}

TEST_F(ViewerTest, FollowsCursorShapesMovesAndVisibility) {
    ASSERT_TRUE(connectViewer(config()));
    const auto rgba = patternRgba(8, 6);
    send(CursorImage{7, 4, 3, 1, 2, 2.0f, encodePng(8, 6, rgba)});
    executor_.await(host_->sendCursorMove(10, 300, 200, 0, 7));
    auto moved = cursors_.waitFor([](const CursorSnapshot& c) { return c.positionKnown; });
    ASSERT_TRUE(moved);
    EXPECT_EQ(moved->xPx, 300);
    EXPECT_EQ(moved->yPx, 200);
    EXPECT_EQ(moved->cursorId, 7u);
    ASSERT_TRUE(moved->shape);
    EXPECT_EQ(moved->shape->image.width, 8);
    EXPECT_EQ(moved->shape->image.height, 6);
    EXPECT_EQ(moved->shape->image.pixels, rgba);
    EXPECT_EQ(moved->shape->hotspotXPt, 1);
    EXPECT_EQ(moved->shape->hotspotYPt, 2);
    EXPECT_TRUE(moved->visible);

    // A broken image is refused and loses nothing: the drawn shape stays.
    send(CursorImage{7, 4, 3, 0, 0, 1.0f, Bytes{0x89, 'P', 'N', 'G', 1, 2, 3}});
    ASSERT_TRUE(logs_.waitFor(
        "Viewer", "Cursor image 7 refused: The cursor image is not a valid PNG", kTimeout));
    send(CursorVisibility{false});
    auto hidden = cursors_.waitFor([](const CursorSnapshot& c) { return !c.visible; });
    ASSERT_TRUE(hidden);
    ASSERT_TRUE(hidden->shape);
    EXPECT_EQ(hidden->shape->image.pixels, rgba);

    // A move to a shape not yet known draws nothing rather than a wrong shape.
    executor_.await(host_->sendCursorMove(20, -5, 9, 0, 8));
    auto unknown = cursors_.waitFor([](const CursorSnapshot& c) { return c.cursorId == 8; });
    ASSERT_TRUE(unknown);
    EXPECT_EQ(unknown->xPx, -5);
    EXPECT_FALSE(unknown->shape);
    EXPECT_FALSE(unknown->visible);
}

TEST_F(ViewerTest, DeniedEndsTheRunAsARefusalAndClosesTheConnection) {
    ASSERT_TRUE(connectViewer(config()));
    send(Disconnect{"denied"});
    auto outcome = waitForOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(*outcome, (ViewerOutcome{ViewerOutcome::Kind::refused, "denied"}));
    // The host keeps the connection after "denied"; the viewer closes it.
    EXPECT_TRUE(hostStates_.waitFor(
        [](const TransportState& s) { return s.kind == TransportState::Kind::disconnected; }));
    // Nothing is said back to a host that refused.
    EXPECT_FALSE(
        received_.waitFor([](const Received& r) { return controlOf<Disconnect>(r.frame); }, 0ms));

    EXPECT_TRUE(Viewer::isRefusal("busy"));
    EXPECT_TRUE(Viewer::isRefusal("setup-failed"));
    EXPECT_FALSE(Viewer::isRefusal("mac-sleep"));
}

TEST_F(ViewerTest, OtherHostReasonsEndTheRunAsADisconnect) {
    ASSERT_TRUE(connectViewer(config()));
    send(Disconnect{"mac-sleep"});
    auto outcome = waitForOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(*outcome, (ViewerOutcome{ViewerOutcome::Kind::disconnected, "mac-sleep"}));
}

TEST_F(ViewerTest, NobodyListeningIsAConnectionFailure) {
    std::uint16_t closedPort = 0;
    {
        asio::io_context io;
        asio::ip::tcp::acceptor acceptor(io, {asio::ip::make_address("127.0.0.1"), 0});
        closedPort = acceptor.local_endpoint().port();
    }
    auto c = config();
    c.port = closedPort;
    startViewer(c);
    auto outcome = waitForOutcome();
    ASSERT_TRUE(outcome);
    EXPECT_EQ(outcome->kind, ViewerOutcome::Kind::connectionFailed);
    EXPECT_FALSE(outcome->reason.empty());
    EXPECT_TRUE(waiting_.snapshot().empty());
}

TEST_F(ViewerTest, CloseBeforeRunEndsAtOnce) {
    viewer_ = std::make_shared<Viewer>(executor_.executor(), config());
    viewer_->close();
    EXPECT_EQ(executor_.await(viewer_->run()), (ViewerOutcome{ViewerOutcome::Kind::closed, {}}));
    outcomes_.push({}); // nothing left for TearDown to wait on
}
