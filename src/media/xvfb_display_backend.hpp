#pragma once

#include "media/virtual_display.hpp"

#include <memory>
#include <string>

namespace tessarine {

class X11Connection;
class XServerProcess;

// A virtual display that is a private Xvfb server of its own, for machines
// without a desktop. The display id is the server's display number. The
// backend stays connected while the display exists and starts Xvfb with
// -terminate, so a crashed agent takes its server with it. The server admits
// only holders of a fresh MIT-MAGIC-COOKIE-1, kept in a private Xauthority file.
class XvfbDisplayBackend : public VirtualDisplayBackend {
public:
    XvfbDisplayBackend(int roomPx, Logger log);
    ~XvfbDisplayBackend() override;

    VirtualDisplayInfo create(const VirtualDisplayConfiguration& configuration,
                              PixelSize pixels) override;
    void destroy() override;
    bool isActive(std::uint32_t displayID) override;
    std::vector<std::uint32_t> activeDisplayIDs() override;

    // Display numbers are searched from here; low numbers are left to sessions.
    static constexpr int kFirstDisplayNumber = 20;

private:
    int roomPx_;
    Logger log_;
    std::unique_ptr<XServerProcess> server_;
    std::unique_ptr<X11Connection> connection_;
    std::string authorityFile_;
};

} // namespace tessarine
