#pragma once

#include "agent/session_media.hpp"
#include "media/virtual_display.hpp"

#include <memory>

namespace tessarine {

// Sessions built from the real parts: a virtual display (RandR on the user's
// desktop, a private Xvfb when headless), X11 capture, the H.264 encoder and
// the X11 cursor tracker.
std::shared_ptr<SessionMediaFactory> makeSessionMedia(VirtualDisplayManagerOptions options = {});

} // namespace tessarine
