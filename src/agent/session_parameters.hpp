#pragma once

#include "media/virtual_display.hpp"
#include "protocol/control_message.hpp"

#include <cstdint>
#include <stdexcept>

namespace tessarine {

// Raised for a hello whose geometry cannot make a display.
class SessionSetupError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// What a session is built from, derived once from the tablet's hello. The
// display is always landscape: the long side is the width.
struct SessionParameters {
    static constexpr std::uint32_t maxSidePx = 16384;

    int longSide = 0;
    int shortSide = 0;
    double scale = 1.0;
    int logicalWidth = 0;
    int logicalHeight = 0;
    std::int64_t bitrateBps = 0;
    int gop = 0;

    // Throws SessionSetupError for a side of 0 or above maxSidePx.
    static SessionParameters fromHello(const ClientHello& hello, int fps);

    VirtualDisplayConfiguration displayConfiguration(const std::string& displayName, int fps) const;
    DisplayConfig displayConfig(int fps) const;
};

} // namespace tessarine
