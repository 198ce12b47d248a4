#include "media/xvfb_display_backend.hpp"

#include "media/x11_connection.hpp"
#include "media/x_server_process.hpp"

#include <algorithm>

namespace tessarine {

namespace {
constexpr std::int64_t kMaxSize = 32767;
}

XvfbDisplayBackend::XvfbDisplayBackend(int roomPx, Logger log)
    : roomPx_(std::max(0, roomPx)), log_(std::move(log)) {}

XvfbDisplayBackend::~XvfbDisplayBackend() {
    destroy();
}

VirtualDisplayInfo XvfbDisplayBackend::create(const VirtualDisplayConfiguration&,
                                              PixelSize pixels) {
    if (!XServerProcess::findProgram("Xvfb"))
        throw VirtualDisplayError::unavailable("no X display reachable and Xvfb is not installed");
    if (pixels.width + roomPx_ > kMaxSize || pixels.height + roomPx_ > kMaxSize)
        throw VirtualDisplayError::applySettingsFailed();

    XServerLaunch launch;
    launch.program = "Xvfb";
    const std::string screen = std::to_string(pixels.width + roomPx_) + "x" +
                               std::to_string(pixels.height + roomPx_) + "x24";
    // -terminate comes before a non-numeric argument: it takes an optional delay.
    launch.arguments = {"-screen",    "0",     screen,      "-terminate",
                        "+extension", "RANDR", "-nolisten", "tcp"};
    std::unique_ptr<XServerProcess> server;
    try {
        server = XServerProcess::startOnFreeDisplay(launch, kFirstDisplayNumber);
    } catch (const XServerError& error) {
        log_.error("Xvfb did not start: %{public}s", error.what());
        if (error.code() == XServerError::Code::notFound)
            throw VirtualDisplayError::unavailable(error.what());
        throw VirtualDisplayError::noDisplayID();
    }
    std::unique_ptr<X11Connection> connection;
    try {
        connection = std::make_unique<X11Connection>(server->displayName());
    } catch (const X11ConnectError&) {
        throw VirtualDisplayError::noDisplayID();
    }

    VirtualDisplayInfo info;
    info.displayID = static_cast<std::uint32_t>(server->displayNumber());
    info.xDisplay = server->displayName();
    info.width = static_cast<int>(pixels.width);
    info.height = static_cast<int>(pixels.height);
    info.backend = VirtualDisplayBackendKind::xvfb;
    server_ = std::move(server);
    connection_ = std::move(connection);
    return info;
}

void XvfbDisplayBackend::destroy() {
    connection_.reset();
    server_.reset();
}

bool XvfbDisplayBackend::isActive(std::uint32_t displayID) {
    return server_ && connection_ && displayID != 0 &&
           displayID == static_cast<std::uint32_t>(server_->displayNumber()) &&
           server_->running() && connection_->alive();
}

std::vector<std::uint32_t> XvfbDisplayBackend::activeDisplayIDs() {
    if (server_ && isActive(static_cast<std::uint32_t>(server_->displayNumber())))
        return {static_cast<std::uint32_t>(server_->displayNumber())};
    return {};
}

} // namespace tessarine
