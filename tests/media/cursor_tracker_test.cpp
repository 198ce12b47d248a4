#include "media/cursor_tracker.hpp"
#include "media/test_display.hpp"

#include <gtest/gtest.h>
#include <spng.h>

namespace tessarine {
namespace {

using test::Inbox;
using test::TestClient;
using test::TestDisplay;

// A display of 200 × 100 pixels (100 × 50 points at scale 2) on a private Xvfb
// with room to its right and below, so the pointer can leave it.
class CursorTrackerTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto missing = TestDisplay::xvfbMissing())
            GTEST_SKIP() << *missing;
        VirtualDisplayManagerOptions options;
        options.backend = VirtualDisplayBackendKind::xvfb;
        manager_ = std::make_unique<VirtualDisplayManager>(options);
        VirtualDisplayConfiguration c;
        c.logicalWidth = 100;
        c.logicalHeight = 50;
        c.scaleFactor = 2.0;
        id_ = manager_->create(c);
        const auto info = *manager_->displayInfo();
        client_ = std::make_unique<TestClient>(info.xDisplay, info.xAuthCookie);
    }

    // Every callback as one line, in the order the tracker made them.
    std::unique_ptr<CursorTracker> tracker() {
        auto t = std::make_unique<CursorTracker>(id_, 200, 100, manager_->resolver());
        t->onMove = [this](const CursorTracker::Move& m) {
            moves_.push(m);
            events_.push("move " + std::to_string(m.xPx) + " " + std::to_string(m.yPx));
        };
        t->onVisibility = [this](bool v) {
            events_.push(v ? "visible" : "hidden");
        };
        t->onShapeChange = [this](const CursorImage& image) {
            shapes_.push(image);
        };
        return t;
    }

    std::unique_ptr<VirtualDisplayManager> manager_;
    std::uint32_t id_ = 0;
    std::unique_ptr<TestClient> client_;
    Inbox<std::string> events_;
    Inbox<CursorTracker::Move> moves_;
    Inbox<CursorImage> shapes_;
};

void edgesOfTheDisplay(CursorTracker& t, TestClient& client, Inbox<std::string>& events,
                       Inbox<CursorTracker::Move>& moves) {
    t.start();
    // Where the pointer is at start is reported without any motion.
    ASSERT_TRUE(events.waitForCount(1));
    EXPECT_EQ(events.items()[0], "move 50 20");

    client.movePointer(0, 0); // the display's origin
    ASSERT_TRUE(events.waitForCount(2));
    client.movePointer(200, 40); // one past the last column
    ASSERT_TRUE(events.waitForCount(3));
    client.movePointer(230, 60); // still off the display: nothing
    client.movePointer(0, 0);    // back to the same spot
    ASSERT_TRUE(events.waitForCount(5));
    client.movePointer(199, 99); // the last pixel
    ASSERT_TRUE(events.waitForCount(6));
    EXPECT_EQ(events.items(), (std::vector<std::string>{"move 50 20", "move 0 0", "hidden",
                                                        "visible", "move 0 0", "move 199 99"}));
    const auto all = moves.items();
    for (std::size_t i = 1; i < all.size(); ++i)
        EXPECT_LE(all[i - 1].ptsMs, all[i].ptsMs);
    t.stop();
    // Stopped: no more callbacks.
    client.movePointer(10, 10);
    EXPECT_FALSE(events.waitForCount(7, std::chrono::milliseconds(200)));
}

TEST_F(CursorTrackerTest, EdgesOfTheDisplayGiveMovesAndVisibility) {
    client_->movePointer(50, 20);
    LogCapture logs;
    auto t = tracker();
    edgesOfTheDisplay(*t, *client_, events_, moves_);
    EXPECT_TRUE(logs.contains("Cursor", "CGEvent tap installed for cursor position"));
}

TEST_F(CursorTrackerTest, PollingGivesTheSameMovesAndVisibility) {
    client_->movePointer(50, 20);
    LogCapture logs;
    auto t = tracker();
    t->useRawMotion = false;
    edgesOfTheDisplay(*t, *client_, events_, moves_);
    EXPECT_EQ(logs.messages("Cursor"),
              std::vector<std::string>{"Event tap unavailable (Input Monitoring not granted) — "
                                       "using NSEvent.mouseLocation polling fallback"});
}

std::vector<std::uint8_t> decodeRgba(const std::vector<std::uint8_t>& png, std::uint32_t& width,
                                     std::uint32_t& height) {
    std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(0), spng_ctx_free);
    spng_set_png_buffer(ctx.get(), png.data(), png.size());
    spng_ihdr ihdr{};
    if (spng_get_ihdr(ctx.get(), &ihdr) != 0)
        return {};
    width = ihdr.width;
    height = ihdr.height;
    std::size_t size = 0;
    spng_decoded_image_size(ctx.get(), SPNG_FMT_RGBA8, &size);
    std::vector<std::uint8_t> out(size);
    if (spng_decode_image(ctx.get(), out.data(), out.size(), SPNG_FMT_RGBA8, 0) != 0)
        return {};
    return out;
}

TEST_F(CursorTrackerTest, AChangedShapeGetsANewIdAndItsImageAsPng) {
    client_->movePointer(20, 20);
    auto t = tracker();
    t->start();
    // The current shape is reported on the first shape check.
    ASSERT_TRUE(shapes_.waitForCount(1));
    const CursorImage first = shapes_.items()[0];
    EXPECT_NE(first.cursorId, 0u);
    std::uint32_t w = 0, h = 0;
    EXPECT_FALSE(decodeRgba(first.pngData, w, h).empty());

    // 16 × 16: left half foreground (red), right half background (blue),
    // bottom four rows outside the mask (transparent).
    std::vector<std::uint8_t> source(256), mask(256);
    for (int row = 0; row < 16; ++row)
        for (int col = 0; col < 16; ++col) {
            source[static_cast<std::size_t>(row * 16 + col)] = col < 8;
            mask[static_cast<std::size_t>(row * 16 + col)] = row < 12;
        }
    client_->setRootCursor(16, 16, source, mask, 0xff0000, 0x0000ff, 3, 5);
    const auto changed =
        shapes_.waitFor([&](const CursorImage& image) { return image.cursorId != first.cursorId; });
    ASSERT_TRUE(changed);
    EXPECT_EQ(changed->widthPt, 8);
    EXPECT_EQ(changed->heightPt, 8);
    EXPECT_EQ(changed->hotspotXPt, 2); // 1.5 rounds up
    EXPECT_EQ(changed->hotspotYPt, 3); // 2.5 rounds up
    EXPECT_FLOAT_EQ(changed->scale, 2.0f);
    const auto rgba = decodeRgba(changed->pngData, w, h);
    ASSERT_EQ(w, 16u);
    ASSERT_EQ(h, 16u);
    ASSERT_EQ(rgba.size(), 16u * 16u * 4u);
    const auto pixel = [&](int x, int y) {
        const auto* p = &rgba[static_cast<std::size_t>((y * 16 + x) * 4)];
        return std::vector<int>{p[0], p[1], p[2], p[3]};
    };
    EXPECT_EQ(pixel(2, 2), (std::vector<int>{255, 0, 0, 255}));
    EXPECT_EQ(pixel(12, 6), (std::vector<int>{0, 0, 255, 255}));
    EXPECT_EQ(pixel(5, 14)[3], 0);
    EXPECT_EQ(t->currentCursorId(), changed->cursorId);

    // Moves from now on carry the new shape's id.
    client_->movePointer(30, 30);
    const auto move = moves_.waitFor([](const CursorTracker::Move& m) { return m.xPx == 30; });
    ASSERT_TRUE(move);
    EXPECT_EQ(move->cursorId, changed->cursorId);
    // Setting the same shape again reports nothing new.
    const auto count = shapes_.size();
    client_->setRootCursor(16, 16, source, mask, 0xff0000, 0x0000ff, 3, 5);
    EXPECT_FALSE(shapes_.waitForCount(count + 1, std::chrono::milliseconds(300)));
}

TEST(CursorTrackerErrorTest, UnknownDisplayIsRefused) {
    VirtualDisplayManagerOptions options;
    options.backend = VirtualDisplayBackendKind::xvfb;
    VirtualDisplayManager manager(options);
    CursorTracker t(7, 100, 100, manager.resolver());
    EXPECT_THROW(t.start(), CursorTrackerError);
}

} // namespace
} // namespace tessarine
