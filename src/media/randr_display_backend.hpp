#pragma once

#include "media/virtual_display.hpp"

#include <xcb/randr.h>

#include <memory>
#include <string>

namespace tessarine {

class X11Connection;

// A virtual display on the user's X11 desktop through RandR: a spare virtual
// output (VIRTUAL*/DUMMY*) driven with a mode of our own, placed right of the
// existing monitors, or, without one, a larger screen with a RandR 1.5
// monitor over the new area. Everything it adds is named "TESSARINE…" so that
// a later run can remove what a crashed one left behind.
class RandrDisplayBackend : public VirtualDisplayBackend {
public:
    RandrDisplayBackend(std::string xDisplay, bool useSpareOutputs, Logger log);
    ~RandrDisplayBackend() override;

    VirtualDisplayInfo create(const VirtualDisplayConfiguration& configuration,
                              PixelSize pixels) override;
    void destroy() override;
    bool isActive(std::uint32_t displayID) override;
    std::vector<std::uint32_t> activeDisplayIDs() override;

    // Removes every TESSARINE mode and monitor on the display and shrinks the
    // screen to what remains. Returns whether anything was found.
    static bool removeStale(X11Connection& connection, const Logger& log);

private:
    std::string xDisplay_;
    bool useSpareOutputs_;
    Logger log_;
    std::unique_ptr<X11Connection> connection_;
    // What was added, to be taken away again.
    xcb_randr_output_t output_ = 0;
    xcb_randr_crtc_t crtc_ = 0;
    xcb_randr_mode_t mode_ = 0;
    xcb_atom_t monitor_ = 0;
    std::uint16_t savedWidth_ = 0, savedHeight_ = 0;
    std::uint32_t savedWidthMm_ = 0, savedHeightMm_ = 0;
};

} // namespace tessarine
