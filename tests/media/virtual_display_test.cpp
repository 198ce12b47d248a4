#include "media/randr_display_backend.hpp"
#include "media/test_display.hpp"
#include "media/virtual_display.hpp"

#include <gtest/gtest.h>
#include <xcb/randr.h>

#include <algorithm>
#include <cstdlib>
#include <sys/stat.h>
#include <sys/wait.h>
#include <tuple>
#include <unistd.h>

namespace tessarine {
namespace {

using test::TestDisplay;

// Everything of the RandR layout a virtual display may touch.
struct Layout {
    int width = 0, height = 0;
    std::vector<std::tuple<std::string, int, int, int, int>> outputs;  // enabled: name, x, y, w, h
    std::vector<std::tuple<std::string, int, int, int, int>> monitors; // name, x, y, w, h
    std::vector<std::string> modeNames;
    bool operator==(const Layout&) const = default;
};

Layout readLayout(const std::string& display) {
    X11Connection x(display);
    xcbReply(xcb_randr_query_version_reply, x.get(), xcb_randr_query_version(x.get(), 1, 5));
    Layout layout;
    auto geometry = xcbReply(xcb_get_geometry_reply, x.get(), xcb_get_geometry(x.get(), x.root()));
    layout.width = geometry->width;
    layout.height = geometry->height;
    auto res = xcbReply(xcb_randr_get_screen_resources_current_reply, x.get(),
                        xcb_randr_get_screen_resources_current(x.get(), x.root()));
    const auto* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
    for (int i = 0; i < xcb_randr_get_screen_resources_current_outputs_length(res.get()); ++i) {
        auto out = xcbReply(xcb_randr_get_output_info_reply, x.get(),
                            xcb_randr_get_output_info(x.get(), outputs[i], res->config_timestamp));
        if (!out || out->crtc == 0)
            continue;
        auto crtc = xcbReply(xcb_randr_get_crtc_info_reply, x.get(),
                             xcb_randr_get_crtc_info(x.get(), out->crtc, res->config_timestamp));
        layout.outputs.emplace_back(
            std::string(reinterpret_cast<const char*>(xcb_randr_get_output_info_name(out.get())),
                        static_cast<std::size_t>(xcb_randr_get_output_info_name_length(out.get()))),
            crtc->x, crtc->y, crtc->width, crtc->height);
    }
    const auto* modes = xcb_randr_get_screen_resources_current_modes(res.get());
    const char* names =
        reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(res.get()));
    for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(res.get()); ++i) {
        layout.modeNames.emplace_back(names, modes[i].name_len);
        names += modes[i].name_len;
    }
    auto monitors = xcbReply(xcb_randr_get_monitors_reply, x.get(),
                             xcb_randr_get_monitors(x.get(), x.root(), 1));
    for (auto it = xcb_randr_get_monitors_monitors_iterator(monitors.get()); it.rem;
         xcb_randr_monitor_info_next(&it))
        layout.monitors.emplace_back(x.atomName(it.data->name), it.data->x, it.data->y,
                                     it.data->width, it.data->height);
    return layout;
}

std::size_t countPrefixed(const std::vector<std::string>& names, const std::string& prefix) {
    return static_cast<std::size_t>(std::count_if(
        names.begin(), names.end(), [&](const auto& n) { return n.rfind(prefix, 0) == 0; }));
}

VirtualDisplayConfiguration smallDisplay() {
    VirtualDisplayConfiguration c;
    c.logicalWidth = 600;
    c.logicalHeight = 400;
    c.scaleFactor = 2.0;
    c.refreshHz = 60.0;
    c.displayName = "Test Tablet";
    return c;
}

class RandrDisplayTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (auto missing = TestDisplay::xorgDummyMissing())
            GTEST_SKIP() << *missing;
        server_ = TestDisplay::startXorgDummy();
        options_.backend = VirtualDisplayBackendKind::randr;
        options_.xDisplay = server_->name();
        before_ = readLayout(server_->name());
    }
    std::unique_ptr<TestDisplay> server_;
    VirtualDisplayManagerOptions options_;
    Layout before_;
};

TEST_F(RandrDisplayTest, SpareOutputGetsTheModeRightOfTheDesktopAndDestroyRestoresIt) {
    ASSERT_EQ(before_.outputs.size(), 1u);
    const int desktopWidth = before_.width;
    LogCapture logs;
    VirtualDisplayManager manager(options_);
    const std::uint32_t id = manager.create(smallDisplay());
    ASSERT_NE(id, 0u);

    const Layout during = readLayout(server_->name());
    EXPECT_EQ(during.width, desktopWidth + 1200);
    EXPECT_EQ(during.height, std::max(before_.height, 800));
    ASSERT_EQ(during.outputs.size(), 2u);
    const auto& added = during.outputs[1];
    EXPECT_EQ(std::get<0>(added).rfind("DUMMY", 0), 0u);
    EXPECT_EQ(std::make_tuple(std::get<1>(added), std::get<2>(added), std::get<3>(added),
                              std::get<4>(added)),
              std::make_tuple(desktopWidth, 0, 1200, 800));
    EXPECT_EQ(countPrefixed(during.modeNames, "TESSARINE"), 1u);

    // The id is the output's, and the capture rectangle is where it shows.
    const auto info = manager.displayInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->displayID, id);
    EXPECT_EQ(info->xDisplay, server_->name());
    EXPECT_EQ(std::make_tuple(info->x, info->y, info->width, info->height),
              std::make_tuple(desktopWidth, 0, 1200, 800));
    EXPECT_TRUE(manager.isActive());
    const auto active = manager.activeDisplayIDs();
    EXPECT_NE(std::find(active.begin(), active.end(), id), active.end());
    EXPECT_TRUE(
        logs.contains("VirtualDisplay", "Virtual display created: id=" + std::to_string(id) +
                                            " 1200x800@60.000000Hz 2.000000x"));

    // A second create keeps the display and the first configuration.
    auto other = smallDisplay();
    other.logicalWidth = 300;
    EXPECT_EQ(manager.create(other), id);
    EXPECT_EQ(manager.configuration(), smallDisplay());
    EXPECT_EQ(readLayout(server_->name()), during);

    manager.destroy();
    EXPECT_TRUE(
        logs.contains("VirtualDisplay", "Destroying virtual display id=" + std::to_string(id)));
    EXPECT_EQ(readLayout(server_->name()), before_);
    EXPECT_EQ(manager.displayID(), 0u);
    EXPECT_FALSE(manager.configuration());
    EXPECT_FALSE(manager.isActive());
    EXPECT_FALSE(manager.resolver()(id));

    // The manager stays usable, and releasing it removes the display.
    {
        VirtualDisplayManager second(options_);
        const auto again = second.create(smallDisplay());
        EXPECT_TRUE(second.resolver()(again));
        EXPECT_NE(readLayout(server_->name()), before_);
    }
    EXPECT_EQ(readLayout(server_->name()), before_);
}

TEST_F(RandrDisplayTest, WithoutASpareOutputAMonitorCoversTheGrownScreen) {
    options_.useSpareOutputs = false;
    VirtualDisplayManager manager(options_);
    const std::uint32_t id = manager.create(smallDisplay());
    ASSERT_NE(id, 0u);
    const Layout during = readLayout(server_->name());
    EXPECT_EQ(during.width, before_.width + 1200);
    EXPECT_EQ(during.outputs, before_.outputs);
    ASSERT_EQ(during.monitors.size(), before_.monitors.size() + 1);
    EXPECT_NE(std::find(during.monitors.begin(), during.monitors.end(),
                        std::make_tuple(std::string("TESSARINE"), before_.width, 0, 1200, 800)),
              during.monitors.end());
    EXPECT_TRUE(manager.isActive());
    const auto info = manager.displayInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->x, before_.width);

    manager.destroy();
    EXPECT_EQ(readLayout(server_->name()), before_);
    EXPECT_FALSE(manager.isActive());
}

TEST_F(RandrDisplayTest, StateLeftByACrashedRunIsRemovedAtTheNextCreate) {
    for (bool spare : {true, false}) {
        SCOPED_TRACE(spare ? "spare output" : "monitor");
        // A process that creates a display and dies without removing it.
        const pid_t child = ::fork();
        ASSERT_GE(child, 0);
        if (child == 0) {
            int status = 1;
            try {
                RandrDisplayBackend crashed(server_->name(), spare,
                                            Logger("app.tessarine.mac", "Test"));
                crashed.create(smallDisplay(), PixelSize{1200, 800});
                status = 0;
                ::_exit(status); // no destructor runs: what a crash leaves
            } catch (...) {
            }
            ::_exit(status);
        }
        int status = -1;
        ASSERT_EQ(::waitpid(child, &status, 0), child);
        ASSERT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
        ASSERT_NE(readLayout(server_->name()), before_);

        LogCapture logs;
        VirtualDisplayManager manager(options_);
        manager.create(smallDisplay());
        const Layout during = readLayout(server_->name());
        EXPECT_EQ(countPrefixed(during.modeNames, "TESSARINE"), 1u);
        EXPECT_EQ(during.monitors.size(), before_.monitors.size() + 1);
        EXPECT_EQ(during.width, before_.width + 1200); // placed as if nothing had been left
        EXPECT_TRUE(logs.contains("VirtualDisplay",
                                  "Removed virtual display state left by an earlier run"));
        manager.destroy();
        EXPECT_EQ(readLayout(server_->name()), before_);
    }
}

TEST_F(RandrDisplayTest, ATooLargeDisplayIsRefusedAndLeavesTheLayoutAlone) {
    LogCapture logs;
    VirtualDisplayManager manager(options_);
    auto huge = smallDisplay();
    huge.logicalWidth = 20000; // 40000 pixels: beyond the X protocol's coordinates
    try {
        manager.create(huge);
        FAIL() << "created a 40000 pixel wide display";
    } catch (const VirtualDisplayError& e) {
        EXPECT_EQ(e.code(), VirtualDisplayError::Code::applySettingsFailed);
    }
    EXPECT_TRUE(
        logs.contains("VirtualDisplay", "applySettings failed for Test Tablet @ 40000x800"));
    EXPECT_EQ(manager.displayID(), 0u);
    EXPECT_EQ(readLayout(server_->name()), before_);
}

TEST(XvfbDisplayTest, PrivateServerExistsOnlyBetweenCreateAndDestroy) {
    if (auto missing = TestDisplay::xvfbMissing())
        GTEST_SKIP() << *missing;
    VirtualDisplayManagerOptions options;
    options.backend = VirtualDisplayBackendKind::xvfb;
    VirtualDisplayManager manager(options);
    EXPECT_TRUE(manager.activeDisplayIDs().empty());
    const std::uint32_t id = manager.create(smallDisplay());
    ASSERT_NE(id, 0u);
    const auto info = manager.displayInfo();
    ASSERT_TRUE(info);
    EXPECT_EQ(info->xDisplay, ":" + std::to_string(id));
    EXPECT_EQ(std::make_tuple(info->x, info->y, info->width, info->height),
              std::make_tuple(0, 0, 1200, 800));
    EXPECT_EQ(manager.activeDisplayIDs(), std::vector<std::uint32_t>{id});
    {
        X11Connection x(info->xDisplay, info->xAuthCookie);
        EXPECT_GE(x.screen()->width_in_pixels, 1200);
        EXPECT_GE(x.screen()->height_in_pixels, 800);
    }
    // Only holders of the cookie get in; the file that holds it is private.
    EXPECT_THROW(X11Connection{info->xDisplay}, X11ConnectError);
    auto wrong = info->xAuthCookie;
    wrong[0] ^= 1;
    EXPECT_THROW((X11Connection{info->xDisplay, wrong}), X11ConnectError);
    {
        // Ordinary X programs find the cookie through XAUTHORITY.
        const char* saved = std::getenv("XAUTHORITY");
        const std::string previous = saved ? saved : "";
        ::setenv("XAUTHORITY", info->xAuthorityFile.c_str(), 1);
        EXPECT_NO_THROW(X11Connection{info->xDisplay});
        if (saved)
            ::setenv("XAUTHORITY", previous.c_str(), 1);
        else
            ::unsetenv("XAUTHORITY");
    }
    struct stat st {};
    ASSERT_EQ(::stat(info->xAuthorityFile.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_TRUE(manager.isActive());
    manager.destroy();
    EXPECT_FALSE(manager.isActive());
    EXPECT_THROW((X11Connection{info->xDisplay, info->xAuthCookie}), X11ConnectError);
    EXPECT_NE(::stat(info->xAuthorityFile.c_str(), &st), 0);
}

} // namespace
} // namespace tessarine
