#include "agent/session_parameters.hpp"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

using namespace tessarine;

namespace {

SessionParameters params(std::uint32_t w, std::uint32_t h, double scale) {
    return SessionParameters::fromHello(ClientHello{Uuid{}, "T", w, h, scale}, 60);
}

} // namespace

TEST(SessionParameters, TabletGeometryBecomesALandscapeSession) {
    for (auto p : {params(2048, 2732, 2.0), params(2732, 2048, 2.0)}) {
        EXPECT_EQ(p.longSide, 2732);
        EXPECT_EQ(p.shortSide, 2048);
        EXPECT_EQ(p.logicalWidth, 1366);
        EXPECT_EQ(p.logicalHeight, 1024);
        EXPECT_EQ(p.bitrateBps, 67'141'632);
        EXPECT_EQ(p.gop, 30);
        EXPECT_EQ(p.displayConfig(60), (DisplayConfig{2732, 2048, 2.0, 60}));
        auto c = p.displayConfiguration("Tab", 60);
        EXPECT_EQ(c.refreshHz, 60.0);
        EXPECT_EQ(c.vendorID, 0x7473u);
        EXPECT_EQ(c.physicalWidthMm, 250.0);
    }
    EXPECT_EQ(params(1024, 768, 1.0).bitrateBps, 20'000'000);
    EXPECT_EQ(params(3840, 2160, 1.0).bitrateBps, 80'000'000);
    // Truncation toward zero of the logical size.
    EXPECT_EQ(params(2388, 1668, 3.0).logicalWidth, 796);
    EXPECT_EQ(params(2389, 1669, 2.0).logicalHeight, 834);
}

TEST(SessionParameters, ScaleBelowOneOrNotANumberMeansOne) {
    for (double scale : {0.5, 0.0, -3.0, std::numeric_limits<double>::quiet_NaN()}) {
        auto p = params(1920, 1080, scale);
        EXPECT_EQ(p.scale, 1.0);
        EXPECT_EQ(p.logicalWidth, 1920);
        EXPECT_EQ(p.logicalHeight, 1080);
    }
}

TEST(SessionParameters, GeometryThatCannotMakeADisplayIsRefused) {
    EXPECT_THROW(params(0, 2048, 2.0), SessionSetupError);
    EXPECT_THROW(params(16385, 2048, 2.0), SessionSetupError);
    EXPECT_THROW(params(UINT32_MAX, UINT32_MAX, 1.0), SessionSetupError);
    EXPECT_THROW(params(2048, 1536, std::numeric_limits<double>::infinity()), SessionSetupError);
    EXPECT_THROW(params(2048, 1536, 4096.0), SessionSetupError);
    EXPECT_NO_THROW(params(16384, 16384, 1.0));
    EXPECT_EQ(params(16384, 16384, 1.0).bitrateBps, 80'000'000);
}
