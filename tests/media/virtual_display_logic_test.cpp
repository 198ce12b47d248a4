#include "media/virtual_display.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <limits>

namespace tessarine {
namespace {

VirtualDisplayError::Code errorOf(const VirtualDisplayConfiguration& c) {
    try {
        virtualDisplayPixelSize(c);
    } catch (const VirtualDisplayError& e) {
        return e.code();
    }
    ADD_FAILURE() << "no error for " << c.logicalWidth << "x" << c.logicalHeight << " @"
                  << c.scaleFactor;
    return VirtualDisplayError::Code::unavailable;
}

TEST(VirtualDisplayConfigurationTest, PixelSizeIsLogicalTimesScaleTruncated) {
    EXPECT_EQ(virtualDisplayPixelSize(VirtualDisplayConfiguration::iPadPro13()),
              (PixelSize{4128, 5504}));
    VirtualDisplayConfiguration c;
    c.logicalWidth = 1001;
    c.logicalHeight = 333;
    c.scaleFactor = 1.5; // 1501.5 and 499.5 truncate toward zero
    EXPECT_EQ(virtualDisplayPixelSize(c), (PixelSize{1501, 499}));
    c.scaleFactor = 1.0;
    EXPECT_EQ(virtualDisplayPixelSize(c), (PixelSize{1001, 333}));
}

TEST(VirtualDisplayConfigurationTest, RejectsSizesThatCannotBeADisplay) {
    using Code = VirtualDisplayError::Code;
    VirtualDisplayConfiguration c;
    c.logicalWidth = -1;
    c.logicalHeight = 100;
    EXPECT_EQ(errorOf(c), Code::invalidConfiguration);
    c.logicalWidth = 100;
    c.logicalHeight = 0;
    EXPECT_EQ(errorOf(c), Code::invalidConfiguration);
    c.logicalHeight = 3'000'000'000; // × 2 is beyond 32 bits
    EXPECT_EQ(errorOf(c), Code::invalidConfiguration);
    c.logicalHeight = 100;
    c.scaleFactor = std::numeric_limits<double>::quiet_NaN();
    EXPECT_EQ(errorOf(c), Code::invalidConfiguration);
    c.scaleFactor = std::numeric_limits<double>::infinity();
    EXPECT_EQ(errorOf(c), Code::invalidConfiguration);
    c.scaleFactor = 2.0;
    c.refreshHz = 0.0;
    EXPECT_EQ(errorOf(c), Code::invalidConfiguration);
    // Just inside 32 bits is a valid (if huge) size; the backends decide.
    c.refreshHz = 60.0;
    c.logicalHeight = 2'147'483'647;
    EXPECT_EQ(virtualDisplayPixelSize(c).height, 4'294'967'294);
}

TEST(VirtualDisplayErrorTest, DescriptionsAreFixed) {
    EXPECT_STREQ(VirtualDisplayError::unavailable("no X").what(),
                 "CGVirtualDisplay unavailable: no X");
    EXPECT_STREQ(VirtualDisplayError::applySettingsFailed().what(),
                 "CGVirtualDisplay applySettings: returned NO — macOS may have changed the "
                 "private API, or the requested configuration is unsupported.");
    EXPECT_STREQ(VirtualDisplayError::noDisplayID().what(),
                 "CGVirtualDisplay returned displayID == 0 — the display failed to register with "
                 "WindowServer.");
    EXPECT_EQ(VirtualDisplayError::noDisplayID().code(), VirtualDisplayError::Code::noDisplayID);
}

class BackendChoiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* v = std::getenv("TESSARINE_DISPLAY_BACKEND"))
            saved_ = v;
    }
    void TearDown() override {
        if (saved_)
            ::setenv("TESSARINE_DISPLAY_BACKEND", saved_->c_str(), 1);
        else
            ::unsetenv("TESSARINE_DISPLAY_BACKEND");
    }
    std::optional<std::string> saved_;
};

TEST_F(BackendChoiceTest, EnvironmentOverridesAndUnreachableDisplayMeansXvfb) {
    VirtualDisplayManagerOptions options;
    options.xDisplay = ":4999"; // nothing listens there
    ::unsetenv("TESSARINE_DISPLAY_BACKEND");
    EXPECT_EQ(VirtualDisplayManager::chooseBackend(options), VirtualDisplayBackendKind::xvfb);
    ::setenv("TESSARINE_DISPLAY_BACKEND", "randr", 1);
    EXPECT_EQ(VirtualDisplayManager::chooseBackend(options), VirtualDisplayBackendKind::randr);
    ::setenv("TESSARINE_DISPLAY_BACKEND", "xvfb", 1);
    options.backend = VirtualDisplayBackendKind::randr; // an explicit option wins
    EXPECT_EQ(VirtualDisplayManager::chooseBackend(options), VirtualDisplayBackendKind::randr);
}

TEST(VirtualDisplayManagerTest, RandrWithoutAnXServerIsUnavailableAndChangesNothing) {
    VirtualDisplayManagerOptions options;
    options.backend = VirtualDisplayBackendKind::randr;
    options.xDisplay = ":4999";
    VirtualDisplayManager manager(options);
    try {
        manager.create(VirtualDisplayConfiguration::iPadAir());
        FAIL() << "created a display without an X server";
    } catch (const VirtualDisplayError& e) {
        EXPECT_EQ(e.code(), VirtualDisplayError::Code::unavailable);
        EXPECT_EQ(std::string(e.what()).rfind("CGVirtualDisplay unavailable: ", 0), 0u);
    }
    EXPECT_EQ(manager.displayID(), 0u);
    EXPECT_FALSE(manager.configuration());
    EXPECT_FALSE(manager.isActive());
    EXPECT_TRUE(manager.activeDisplayIDs().empty());
}

} // namespace
} // namespace tessarine
