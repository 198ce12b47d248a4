#include "media/test_display.hpp"

#include <xcb/xtest.h>

#include <cstdlib>
#include <filesystem>

namespace tessarine::test {

namespace {

std::string logPath(const std::string& kind) {
    const auto dir = std::filesystem::temp_directory_path();
    return (dir / ("tessarine-test-" + kind + "-" + std::to_string(::getpid()) + ".log")).string();
}

std::string xorgConfig() {
    const char* source = std::getenv("TESSARINE_SOURCE_DIR");
    const std::filesystem::path root = source ? source : TESSARINE_TEST_SOURCE_DIR;
    return (root / "scripts" / "xorg-dummy.conf").string();
}

} // namespace

std::optional<std::string> TestDisplay::xvfbMissing() {
    if (!XServerProcess::findProgram("Xvfb"))
        return "Xvfb is not installed";
    return std::nullopt;
}

std::optional<std::string> TestDisplay::xorgDummyMissing() {
    if (!XServerProcess::findProgram("Xorg"))
        return "Xorg is not installed";
    if (!std::filesystem::exists("/usr/lib/xorg/modules/drivers/dummy_drv.so"))
        return "the Xorg dummy video driver (xserver-xorg-video-dummy) is not installed";
    if (!std::filesystem::exists(xorgConfig()))
        return "scripts/xorg-dummy.conf not found";
    return std::nullopt;
}

std::unique_ptr<TestDisplay> TestDisplay::startXvfb(int width, int height) {
    XServerLaunch launch;
    launch.program = "Xvfb";
    launch.arguments = {
        "-screen",    "0",       std::to_string(width) + "x" + std::to_string(height) + "x24",
        "+extension", "RANDR",   "-nolisten",
        "tcp",        "-noreset"};
    launch.logFile = logPath("xvfb");
    launch.dieWithParent = true;
    return std::unique_ptr<TestDisplay>(new TestDisplay(std::make_unique<XServerProcess>(launch)));
}

std::unique_ptr<TestDisplay> TestDisplay::startXorgDummy() {
    XServerLaunch launch;
    launch.program = "Xorg";
    launch.arguments = {"-noreset", "-nolisten",  "tcp",      "-novtswitch",  "-sharevts",
                        "-config",  xorgConfig(), "-logfile", logPath("xorg")};
    launch.dieWithParent = true;
    return std::unique_ptr<TestDisplay>(new TestDisplay(std::make_unique<XServerProcess>(launch)));
}

TestClient::TestClient(const std::string& display, const std::vector<std::uint8_t>& cookie)
    : connection_(display, cookie) {}

void TestClient::sync() {
    xcbReply(xcb_get_input_focus_reply, connection_.get(), xcb_get_input_focus(connection_.get()));
}

void TestClient::fill(int x, int y, int width, int height, std::uint32_t rgb) {
    xcb_connection_t* c = connection_.get();
    const xcb_gcontext_t gc = xcb_generate_id(c);
    const std::uint32_t values[] = {rgb, 0};
    xcb_create_gc(c, gc, connection_.root(), XCB_GC_FOREGROUND | XCB_GC_GRAPHICS_EXPOSURES, values);
    const xcb_rectangle_t rect{static_cast<std::int16_t>(x), static_cast<std::int16_t>(y),
                               static_cast<std::uint16_t>(width),
                               static_cast<std::uint16_t>(height)};
    xcb_poly_fill_rectangle(c, connection_.root(), gc, 1, &rect);
    xcb_free_gc(c, gc);
    sync();
}

void TestClient::movePointer(int x, int y) {
    xcb_connection_t* c = connection_.get();
    xcb_test_fake_input(c, XCB_MOTION_NOTIFY, 0, XCB_CURRENT_TIME, connection_.root(),
                        static_cast<std::int16_t>(x), static_cast<std::int16_t>(y), 0);
    sync();
}

void TestClient::setRootCursor(int width, int height, const std::vector<std::uint8_t>& source,
                               const std::vector<std::uint8_t>& mask, std::uint32_t foregroundRgb,
                               std::uint32_t backgroundRgb, int hotspotX, int hotspotY) {
    xcb_connection_t* c = connection_.get();
    const auto bitmap = [&](const std::vector<std::uint8_t>& bits) {
        const xcb_pixmap_t pixmap = xcb_generate_id(c);
        xcb_create_pixmap(c, 1, pixmap, connection_.root(), static_cast<std::uint16_t>(width),
                          static_cast<std::uint16_t>(height));
        const xcb_gcontext_t gc = xcb_generate_id(c);
        const std::uint32_t clear[] = {0};
        xcb_create_gc(c, gc, pixmap, XCB_GC_FOREGROUND, clear);
        const xcb_rectangle_t all{0, 0, static_cast<std::uint16_t>(width),
                                  static_cast<std::uint16_t>(height)};
        xcb_poly_fill_rectangle(c, pixmap, gc, 1, &all);
        const std::uint32_t set[] = {1};
        xcb_change_gc(c, gc, XCB_GC_FOREGROUND, set);
        std::vector<xcb_point_t> points;
        for (int row = 0; row < height; ++row)
            for (int col = 0; col < width; ++col)
                if (bits[static_cast<std::size_t>(row * width + col)])
                    points.push_back(
                        {static_cast<std::int16_t>(col), static_cast<std::int16_t>(row)});
        if (!points.empty())
            xcb_poly_point(c, XCB_COORD_MODE_ORIGIN, pixmap, gc,
                           static_cast<std::uint32_t>(points.size()), points.data());
        xcb_free_gc(c, gc);
        return pixmap;
    };
    const xcb_pixmap_t src = bitmap(source);
    const xcb_pixmap_t msk = bitmap(mask);
    const auto channel = [](std::uint32_t rgb, int shift) {
        return static_cast<std::uint16_t>(((rgb >> shift) & 0xff) * 257);
    };
    const xcb_cursor_t cursor = xcb_generate_id(c);
    xcb_create_cursor(c, cursor, src, msk, channel(foregroundRgb, 16), channel(foregroundRgb, 8),
                      channel(foregroundRgb, 0), channel(backgroundRgb, 16),
                      channel(backgroundRgb, 8), channel(backgroundRgb, 0),
                      static_cast<std::uint16_t>(hotspotX), static_cast<std::uint16_t>(hotspotY));
    const std::uint32_t value[] = {cursor};
    xcb_change_window_attributes(c, connection_.root(), XCB_CW_CURSOR, value);
    xcb_free_cursor(c, cursor);
    xcb_free_pixmap(c, src);
    xcb_free_pixmap(c, msk);
    sync();
}

} // namespace tessarine::test
