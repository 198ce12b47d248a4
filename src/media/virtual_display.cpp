#include "media/virtual_display.hpp"

#include "media/randr_display_backend.hpp"
#include "media/x11_connection.hpp"
#include "media/x_server_process.hpp"
#include "media/xvfb_display_backend.hpp"

#include <cmath>
#include <cstdlib>
#include <limits>
#include <mutex>

namespace tessarine {

namespace {

VirtualDisplayConfiguration preset(std::int64_t width, std::int64_t height, const char* name) {
    VirtualDisplayConfiguration c;
    c.logicalWidth = width;
    c.logicalHeight = height;
    c.displayName = name;
    return c;
}

std::int64_t pixels(std::int64_t logical, double scale, const char* what) {
    if (logical < 0)
        throw VirtualDisplayError::invalidConfiguration(std::string("negative logical ") + what);
    const double value = static_cast<double>(logical) * scale;
    if (!std::isfinite(value) || value < 0.0 ||
        value >= static_cast<double>(std::numeric_limits<std::uint32_t>::max()) + 1.0)
        throw VirtualDisplayError::invalidConfiguration(std::string(what) +
                                                        " in pixels does not fit 32 bits");
    const auto result = static_cast<std::int64_t>(std::trunc(value));
    if (result == 0)
        throw VirtualDisplayError::invalidConfiguration(std::string(what) + " is zero pixels");
    return result;
}

std::string backendFromEnvironment() {
    const char* value = std::getenv("TESSARINE_DISPLAY_BACKEND");
    return value ? value : "";
}

bool displayReachable(const std::string& name) {
    if (name.empty() && !std::getenv("DISPLAY"))
        return false;
    try {
        X11Connection connection(name);
        return true;
    } catch (const X11ConnectError&) {
        return false;
    }
}

} // namespace

VirtualDisplayConfiguration VirtualDisplayConfiguration::iPadPro13() {
    return preset(2064, 2752, "iPad Pro 13");
}
VirtualDisplayConfiguration VirtualDisplayConfiguration::iPadPro11() {
    return preset(1668, 2388, "iPad Pro 11");
}
VirtualDisplayConfiguration VirtualDisplayConfiguration::iPadAir() {
    return preset(1640, 2360, "iPad Air");
}

VirtualDisplayError VirtualDisplayError::unavailable(const std::string& message) {
    return {Code::unavailable, "CGVirtualDisplay unavailable: " + message};
}
VirtualDisplayError VirtualDisplayError::applySettingsFailed() {
    return {Code::applySettingsFailed,
            "CGVirtualDisplay applySettings: returned NO — macOS may have changed the private "
            "API, or the requested configuration is unsupported."};
}
VirtualDisplayError VirtualDisplayError::noDisplayID() {
    return {Code::noDisplayID, "CGVirtualDisplay returned displayID == 0 — the display failed to "
                               "register with WindowServer."};
}
VirtualDisplayError VirtualDisplayError::invalidConfiguration(const std::string& reason) {
    return {Code::invalidConfiguration, "Invalid virtual display configuration: " + reason};
}

PixelSize virtualDisplayPixelSize(const VirtualDisplayConfiguration& configuration) {
    if (!std::isfinite(configuration.scaleFactor) || configuration.scaleFactor <= 0.0)
        throw VirtualDisplayError::invalidConfiguration("scale factor must be positive");
    if (!std::isfinite(configuration.refreshHz) || configuration.refreshHz <= 0.0)
        throw VirtualDisplayError::invalidConfiguration("refresh rate must be positive");
    return {pixels(configuration.logicalWidth, configuration.scaleFactor, "width"),
            pixels(configuration.logicalHeight, configuration.scaleFactor, "height")};
}

struct VirtualDisplayManager::State {
    VirtualDisplayManagerOptions options;
    Logger log{"app.tessarine.mac", "VirtualDisplay"};
    std::mutex mutex;
    std::unique_ptr<VirtualDisplayBackend> backend;
    std::optional<VirtualDisplayInfo> info;
    std::optional<VirtualDisplayConfiguration> configuration;

    std::unique_ptr<VirtualDisplayBackend> makeBackend(VirtualDisplayBackendKind kind) const {
        if (kind == VirtualDisplayBackendKind::randr)
            return std::make_unique<RandrDisplayBackend>(options.xDisplay, options.useSpareOutputs,
                                                         log);
        return std::make_unique<XvfbDisplayBackend>(options.xvfbRoomPx, log);
    }

    void destroyLocked() {
        if (backend && info) {
            log.info("Destroying virtual display id=%{public}u", info->displayID);
            backend->destroy();
        }
        backend.reset();
        info.reset();
        configuration.reset();
    }
};

VirtualDisplayManager::VirtualDisplayManager(VirtualDisplayManagerOptions options)
    : state_(std::make_shared<State>()) {
    state_->options = std::move(options);
}

VirtualDisplayManager::~VirtualDisplayManager() {
    std::lock_guard lock(state_->mutex);
    state_->destroyLocked();
}

VirtualDisplayBackendKind
VirtualDisplayManager::chooseBackend(const VirtualDisplayManagerOptions& options) {
    if (options.backend != VirtualDisplayBackendKind::automatic)
        return options.backend;
    const std::string forced = backendFromEnvironment();
    if (forced == "randr")
        return VirtualDisplayBackendKind::randr;
    if (forced == "xvfb")
        return VirtualDisplayBackendKind::xvfb;
    return displayReachable(options.xDisplay) ? VirtualDisplayBackendKind::randr
                                              : VirtualDisplayBackendKind::xvfb;
}

std::uint32_t VirtualDisplayManager::create(const VirtualDisplayConfiguration& configuration) {
    std::lock_guard lock(state_->mutex);
    if (state_->info)
        return state_->info->displayID;
    const PixelSize size = virtualDisplayPixelSize(configuration);

    auto backend = state_->makeBackend(chooseBackend(state_->options));
    VirtualDisplayInfo info;
    try {
        info = backend->create(configuration, size);
    } catch (const VirtualDisplayError& error) {
        if (error.code() == VirtualDisplayError::Code::applySettingsFailed)
            state_->log.error("applySettings failed for %{public}s @ %ldx%ld",
                              configuration.displayName, size.width, size.height);
        else if (error.code() == VirtualDisplayError::Code::noDisplayID)
            state_->log.error("CGVirtualDisplay.displayID == 0, WindowServer registration failed");
        throw;
    }
    info.scaleFactor = configuration.scaleFactor;
    state_->backend = std::move(backend);
    state_->info = info;
    state_->configuration = configuration;
    state_->log.info("Virtual display created: id=%{public}u %ldx%ld@%{public}fHz %{public}fx",
                     info.displayID, size.width, size.height, configuration.refreshHz,
                     configuration.scaleFactor);
    return info.displayID;
}

void VirtualDisplayManager::destroy() {
    std::lock_guard lock(state_->mutex);
    state_->destroyLocked();
}

bool VirtualDisplayManager::isActive() const {
    std::lock_guard lock(state_->mutex);
    if (!state_->info || state_->info->displayID == 0 || !state_->backend)
        return false;
    return state_->backend->isActive(state_->info->displayID);
}

std::uint32_t VirtualDisplayManager::displayID() const {
    std::lock_guard lock(state_->mutex);
    return state_->info ? state_->info->displayID : 0;
}

std::optional<VirtualDisplayConfiguration> VirtualDisplayManager::configuration() const {
    std::lock_guard lock(state_->mutex);
    return state_->configuration;
}

std::optional<VirtualDisplayInfo> VirtualDisplayManager::displayInfo() const {
    std::lock_guard lock(state_->mutex);
    return state_->info;
}

std::vector<std::uint32_t> VirtualDisplayManager::activeDisplayIDs() const {
    std::lock_guard lock(state_->mutex);
    if (state_->backend)
        return state_->backend->activeDisplayIDs();
    try {
        return state_->makeBackend(chooseBackend(state_->options))->activeDisplayIDs();
    } catch (const VirtualDisplayError&) {
        return {};
    }
}

DisplayResolver VirtualDisplayManager::resolver() const {
    std::weak_ptr<State> weak = state_;
    return [weak](std::uint32_t displayID) -> std::optional<VirtualDisplayInfo> {
        auto state = weak.lock();
        if (!state)
            return std::nullopt;
        std::lock_guard lock(state->mutex);
        if (!state->info || state->info->displayID != displayID || displayID == 0 ||
            !state->backend || !state->backend->isActive(displayID))
            return std::nullopt;
        return state->info;
    };
}

} // namespace tessarine
