#include "agent/session_parameters.hpp"

#include <algorithm>
#include <cmath>

namespace tessarine {

SessionParameters SessionParameters::fromHello(const ClientHello& hello, int fps) {
    const std::uint32_t longSide = std::max(hello.widthPx, hello.heightPx);
    const std::uint32_t shortSide = std::min(hello.widthPx, hello.heightPx);
    // Bounding the sides keeps every product below (including the bitrate's
    // long × short × fps) far from overflowing.
    if (shortSide == 0 || longSide > maxSidePx)
        throw SessionSetupError("Unsupported screen size " + std::to_string(hello.widthPx) + "x" +
                                std::to_string(hello.heightPx));

    SessionParameters p;
    p.longSide = static_cast<int>(longSide);
    p.shortSide = static_cast<int>(shortSide);
    // A scale below 1 (or not a number) means 1; an infinite one is refused below.
    p.scale = std::isnan(hello.scaleFactor) || hello.scaleFactor < 1.0 ? 1.0 : hello.scaleFactor;
    p.logicalWidth = static_cast<int>(std::trunc(p.longSide / p.scale));
    p.logicalHeight = static_cast<int>(std::trunc(p.shortSide / p.scale));
    if (p.logicalWidth < 1 || p.logicalHeight < 1)
        throw SessionSetupError("Unsupported scale factor " + std::to_string(hello.scaleFactor));

    // 0.2 bits per pixel per frame, bounded to 20–80 Mbit/s.
    const std::int64_t pixelsPerSecond = std::int64_t{p.longSide} * p.shortSide * fps;
    p.bitrateBps = std::clamp<std::int64_t>(
        static_cast<std::int64_t>(static_cast<double>(pixelsPerSecond) * 0.2), 20'000'000,
        80'000'000);
    p.gop = fps / 2;
    return p;
}

VirtualDisplayConfiguration SessionParameters::displayConfiguration(const std::string& displayName,
                                                                    int fps) const {
    VirtualDisplayConfiguration c;
    c.logicalWidth = logicalWidth;
    c.logicalHeight = logicalHeight;
    c.scaleFactor = scale;
    c.refreshHz = static_cast<double>(fps);
    c.displayName = displayName;
    c.vendorID = 0x7473;
    c.productID = 1;
    c.serialNumber = 1;
    c.physicalWidthMm = 250.0;
    c.physicalHeightMm = 170.0;
    return c;
}

DisplayConfig SessionParameters::displayConfig(int fps) const {
    return DisplayConfig{static_cast<std::uint32_t>(longSide),
                         static_cast<std::uint32_t>(shortSide), scale,
                         static_cast<std::uint32_t>(fps)};
}

} // namespace tessarine
