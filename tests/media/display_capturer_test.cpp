#include "media/display_capturer.hpp"
#include "media/test_display.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>

namespace tessarine {
namespace {

using test::Inbox;
using test::TestClient;
using test::TestDisplay;

// NV12 full range, BT.709: Y = .2126 R + .7152 G + .0722 B,
// Cb = (B - Y) / 1.8556 + 128, Cr = (R - Y) / 1.5748 + 128.
struct Yuv {
    int y, cb, cr;
};
Yuv expectedYuv(std::uint32_t rgb) {
    const double r = (rgb >> 16) & 0xff, g = (rgb >> 8) & 0xff, b = rgb & 0xff;
    const double y = 0.2126 * r + 0.7152 * g + 0.0722 * b;
    const auto clamp = [](double v) {
        return static_cast<int>(std::lround(std::clamp(v, 0.0, 255.0)));
    };
    return {clamp(y), clamp((b - y) / 1.8556 + 128), clamp((r - y) / 1.5748 + 128)};
}

::testing::AssertionResult colourAt(const PixelBuffer& frame, int x, int y, std::uint32_t rgb) {
    const Yuv want = expectedYuv(rgb);
    const Yuv got{frame.y(x, y), frame.cb(x, y), frame.cr(x, y)};
    if (std::abs(got.y - want.y) <= 3 && std::abs(got.cb - want.cb) <= 3 &&
        std::abs(got.cr - want.cr) <= 3)
        return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure()
           << "at (" << x << "," << y << ") got Y/Cb/Cr " << got.y << "/" << got.cb << "/" << got.cr
           << ", want " << want.y << "/" << want.cb << "/" << want.cr;
}

constexpr std::uint32_t kRed = 0xff0000, kGreen = 0x00ff00, kBlue = 0x0000ff, kWhite = 0xffffff,
                        kBlack = 0x000000, kGrey = 0x808080;

class CaptureTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto missing = TestDisplay::xvfbMissing())
            GTEST_SKIP() << *missing;
        VirtualDisplayManagerOptions options;
        options.backend = VirtualDisplayBackendKind::xvfb;
        manager_ = std::make_unique<VirtualDisplayManager>(options);
        VirtualDisplayConfiguration c;
        c.logicalWidth = 160;
        c.logicalHeight = 120;
        c.scaleFactor = 2.0;
        c.displayName = "Capture Test";
        id_ = manager_->create(c);
        const auto info = *manager_->displayInfo();
        client_ = std::make_unique<TestClient>(info.xDisplay, info.xAuthCookie);
        client_->fill(0, 0, 320 + 64, 240 + 64, kBlack);
    }

    std::unique_ptr<DisplayCapturer> capturer(int fps = 60) {
        auto c = std::make_unique<DisplayCapturer>(id_, 320, 240, fps, manager_->resolver());
        c->onFrame = [this](const CapturedFrame& frame) {
            frames_.push(frame);
        };
        return c;
    }

    std::unique_ptr<VirtualDisplayManager> manager_;
    std::uint32_t id_ = 0;
    std::unique_ptr<TestClient> client_;
    Inbox<CapturedFrame> frames_;
};

TEST_F(CaptureTest, PatternComesBackAsFullRangeBt709Nv12) {
    client_->fill(0, 0, 160, 120, kRed);
    client_->fill(160, 0, 160, 120, kGreen);
    client_->fill(0, 120, 160, 120, kBlue);
    client_->fill(160, 120, 80, 120, kWhite);
    client_->fill(240, 120, 80, 120, kGrey);
    client_->fill(320, 0, 64, 304, kWhite); // beside the display: not captured
    client_->movePointer(40, 40);           // the cursor is not part of the picture

    LogCapture logs;
    auto c = capturer();
    c->start();
    EXPECT_TRUE(logs.contains("Capture", "Capture started for display id=" + std::to_string(id_) +
                                             " 320x240@60fps"));
    ASSERT_TRUE(frames_.waitForCount(1));
    const PixelBuffer f = frames_.items().front().pixelBuffer;
    ASSERT_EQ(f.width(), 320);
    ASSERT_EQ(f.height(), 240);
    for (int d = -8; d <= 8; d += 2)
        EXPECT_TRUE(colourAt(f, 40 + d, 40 + d, kRed));
    EXPECT_TRUE(colourAt(f, 200, 60, kGreen));
    EXPECT_TRUE(colourAt(f, 60, 200, kBlue));
    EXPECT_TRUE(colourAt(f, 180, 130, kWhite));
    EXPECT_TRUE(colourAt(f, 300, 230, kGrey));
    EXPECT_TRUE(colourAt(f, 318, 2, kGreen)); // the last column is the display's, not the room's
    // Full range: black is 0 and white 255, not 16 and 235.
    client_->fill(0, 0, 2, 2, kBlack);
    c->requestFrame();
    ASSERT_TRUE(frames_.waitForCount(2));
    const PixelBuffer g = frames_.items()[1].pixelBuffer;
    EXPECT_EQ(g.y(0, 0), 0);
    EXPECT_EQ(g.y(180, 130), 255);
    c->stop();
    EXPECT_TRUE(logs.contains("Capture", "Capture stopped"));
    EXPECT_FALSE(c->isCapturing());
}

TEST_F(CaptureTest, AnOutputSizeOtherThanTheDisplaysIsScaled) {
    client_->fill(0, 0, 160, 240, kRed);
    client_->fill(160, 0, 160, 240, kBlue);
    Inbox<CapturedFrame> frames;
    DisplayCapturer c(id_, 160, 120, 60, manager_->resolver());
    c.onFrame = [&](const CapturedFrame& f) {
        frames.push(f);
    };
    c.start();
    ASSERT_TRUE(frames.waitForCount(1));
    const PixelBuffer f = frames.items()[0].pixelBuffer;
    ASSERT_EQ(f.width(), 160);
    ASSERT_EQ(f.height(), 120);
    EXPECT_TRUE(colourAt(f, 20, 60, kRed));
    EXPECT_TRUE(colourAt(f, 140, 60, kBlue));
}

TEST_F(CaptureTest, OnlyChangesOnTheDisplayProduceFrames) {
    auto c = capturer(30);
    c->start();
    ASSERT_TRUE(frames_.waitForCount(1)); // the first frame comes regardless
    // A still screen, drawing beside the display, pointer motion: no frame.
    client_->fill(330, 10, 20, 20, kWhite);
    client_->movePointer(50, 50);
    client_->movePointer(60, 70);
    EXPECT_FALSE(frames_.waitForCount(2, std::chrono::milliseconds(400)));
    // A change on the display: one frame with it.
    client_->fill(100, 100, 10, 10, kRed);
    ASSERT_TRUE(frames_.waitForCount(2));
    EXPECT_TRUE(colourAt(frames_.items()[1].pixelBuffer, 104, 104, kRed));
    EXPECT_FALSE(frames_.waitForCount(3, std::chrono::milliseconds(400)));
    // A keyframe request delivers a fresh frame without any change.
    c->requestFrame();
    ASSERT_TRUE(frames_.waitForCount(3));
    const auto items = frames_.items();
    EXPECT_LT(items[0].pts.value, items[1].pts.value);
    EXPECT_LT(items[1].pts.value, items[2].pts.value);
    EXPECT_EQ(items[0].pts.timescale, 1'000'000);
    EXPECT_TRUE(items[0].pts.isValid());
}

TEST_F(CaptureTest, FramesAreAtLeastOneIntervalApartAndKeptBuffersStayIntact) {
    // Only the first frame's buffer is kept; the others are released at once,
    // so their memory is recycled while the first must stay untouched.
    struct Note {
        std::int64_t pts;
        PixelBuffer kept;
        bool white;
    };
    Inbox<Note> notes;
    DisplayCapturer c(id_, 320, 240, 10, manager_->resolver()); // 100 ms apart at least
    c.onFrame = [&](const CapturedFrame& frame) {
        const bool first = notes.size() == 0;
        notes.push({frame.pts.value, first ? frame.pixelBuffer : PixelBuffer(),
                    colourAt(frame.pixelBuffer, 10, 10, kWhite)});
    };
    c.start();
    ASSERT_TRUE(notes.waitForCount(1));
    for (int i = 0; i < 8; ++i) {
        client_->fill(0, 0, 320, 240, i % 2 ? kWhite : kBlue);
        ASSERT_TRUE(notes.waitForCount(static_cast<std::size_t>(i) + 2));
    }
    c.stop();
    const auto items = notes.items();
    for (std::size_t i = 1; i < items.size(); ++i)
        EXPECT_GE(items[i].pts - items[i - 1].pts, 100'000) << "frame " << i;
    EXPECT_TRUE(colourAt(items[0].kept, 10, 10, kBlack));
    EXPECT_TRUE(items.back().white);
}

TEST_F(CaptureTest, UnknownDisplayIsNotFoundAndNothingIsLogged) {
    LogCapture logs;
    DisplayCapturer c(id_ + 1000, 320, 240, 60, manager_->resolver());
    try {
        c.start();
        FAIL() << "started on an unknown display";
    } catch (const CaptureError& e) {
        EXPECT_EQ(e.code(), CaptureError::Code::displayNotFound);
        EXPECT_EQ(e.displayID(), id_ + 1000);
        EXPECT_EQ(std::string(e.what()),
                  "ScreenCaptureKit could not find display id=" + std::to_string(id_ + 1000) +
                      " in SCShareableContent.");
    }
    EXPECT_TRUE(logs.messages("Capture").empty());
    // stop without a capture only logs.
    c.stop();
    EXPECT_EQ(logs.messages("Capture"), std::vector<std::string>{"Capture stopped"});
    // A display that has gone away is not found either.
    DisplayCapturer late(id_, 320, 240, 60, manager_->resolver());
    manager_->destroy();
    EXPECT_THROW(late.start(), CaptureError);
}

TEST(CaptureErrorTest, DescriptionsAreFixed) {
    EXPECT_STREQ(CaptureError::startFailed("boom").what(), "SCStream.startCapture failed: boom");
    EXPECT_STREQ(CaptureError::permissionDenied().what(),
                 "Screen Recording permission denied. Grant it in System Settings → Privacy & "
                 "Security → Screen Recording.");
    DisplayCapturer c(1, 2, 2, 60, nullptr);
    EXPECT_EQ(c.minimumFrameInterval(), std::chrono::nanoseconds(16'666'666));
}

TEST(RandrCaptureTest, CapturesTheVirtualDisplaysRectangleOfTheDesktop) {
    if (auto missing = TestDisplay::xorgDummyMissing())
        GTEST_SKIP() << *missing;
    auto server = TestDisplay::startXorgDummy();
    VirtualDisplayManagerOptions options;
    options.backend = VirtualDisplayBackendKind::randr;
    options.xDisplay = server->name();
    VirtualDisplayManager manager(options);
    VirtualDisplayConfiguration config;
    config.logicalWidth = 100;
    config.logicalHeight = 80;
    config.scaleFactor = 2.0;
    const auto id = manager.create(config);
    const auto info = *manager.displayInfo();
    ASSERT_GT(info.x, 0);

    TestClient client(server->name());
    client.fill(0, 0, info.x, 800, kRed); // the existing monitor
    client.fill(info.x, 0, 100, 160, kBlue);
    client.fill(info.x + 100, 0, 100, 160, kGreen);

    Inbox<CapturedFrame> frames;
    DisplayCapturer c(id, 200, 160, 60, manager.resolver());
    c.onFrame = [&](const CapturedFrame& f) {
        frames.push(f);
    };
    c.start();
    ASSERT_TRUE(frames.waitForCount(1));
    const PixelBuffer f = frames.items()[0].pixelBuffer;
    EXPECT_TRUE(colourAt(f, 0, 0, kBlue));
    EXPECT_TRUE(colourAt(f, 98, 150, kBlue));
    EXPECT_TRUE(colourAt(f, 102, 10, kGreen));
    // Drawing on the other monitor does not wake the capture.
    client.fill(10, 10, 50, 50, kWhite);
    EXPECT_FALSE(frames.waitForCount(2, std::chrono::milliseconds(400)));
    c.stop();
}

} // namespace
} // namespace tessarine
