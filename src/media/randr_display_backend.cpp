#include "media/randr_display_backend.hpp"

#include "media/x11_connection.hpp"

#include <xcb/xcbext.h>

#include <sys/uio.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <string_view>

namespace tessarine {

namespace {

constexpr std::string_view kPrefix = "TESSARINE";
constexpr int kMaxCoordinate = 32767;

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

struct ScreenSize {
    std::uint16_t width = 0, height = 0;
    std::uint32_t widthMm = 0, heightMm = 0;
};

ScreenSize currentScreenSize(X11Connection& x) {
    ScreenSize size;
    auto geometry = xcbReply(xcb_get_geometry_reply, x.get(), xcb_get_geometry(x.get(), x.root()));
    if (geometry) {
        size.width = geometry->width;
        size.height = geometry->height;
    }
    auto info = xcbReply(xcb_randr_get_screen_info_reply, x.get(),
                         xcb_randr_get_screen_info(x.get(), x.root()));
    if (info && info->sizeID < xcb_randr_get_screen_info_sizes_length(info.get())) {
        const auto* sizes = xcb_randr_get_screen_info_sizes(info.get());
        size.widthMm = sizes[info->sizeID].mwidth;
        size.heightMm = sizes[info->sizeID].mheight;
    }
    if (size.widthMm == 0 || size.heightMm == 0) {
        // 96 dpi when the server tells nothing.
        size.widthMm = static_cast<std::uint32_t>(std::lround(size.width * 25.4 / 96.0));
        size.heightMm = static_cast<std::uint32_t>(std::lround(size.height * 25.4 / 96.0));
    }
    return size;
}

XcbPtr<xcb_randr_get_screen_resources_current_reply_t> resources(X11Connection& x) {
    return xcbReply(xcb_randr_get_screen_resources_current_reply, x.get(),
                    xcb_randr_get_screen_resources_current(x.get(), x.root()));
}

bool hasMonitors(X11Connection& x) {
    auto version =
        xcbReply(xcb_randr_query_version_reply, x.get(), xcb_randr_query_version(x.get(), 1, 5));
    return version && (version->major_version > 1 || version->minor_version >= 5);
}

// The right and bottom edges of everything shown: enabled CRTCs and monitors.
struct Extent {
    int right = 0, bottom = 0;
    bool any = false;
};

Extent shownExtent(X11Connection& x, bool monitors, xcb_atom_t ignoreMonitor = 0) {
    Extent extent;
    if (auto res = resources(x)) {
        const auto* crtcs = xcb_randr_get_screen_resources_current_crtcs(res.get());
        for (int i = 0; i < xcb_randr_get_screen_resources_current_crtcs_length(res.get()); ++i) {
            auto crtc = xcbReply(xcb_randr_get_crtc_info_reply, x.get(),
                                 xcb_randr_get_crtc_info(x.get(), crtcs[i], res->config_timestamp));
            if (!crtc || crtc->mode == 0)
                continue;
            extent.right = std::max(extent.right, crtc->x + crtc->width);
            extent.bottom = std::max(extent.bottom, crtc->y + crtc->height);
            extent.any = true;
        }
    }
    if (monitors) {
        auto reply = xcbReply(xcb_randr_get_monitors_reply, x.get(),
                              xcb_randr_get_monitors(x.get(), x.root(), 1));
        if (reply) {
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem;
                 xcb_randr_monitor_info_next(&it)) {
                if (it.data->name == ignoreMonitor)
                    continue;
                extent.right = std::max(extent.right, it.data->x + it.data->width);
                extent.bottom = std::max(extent.bottom, it.data->y + it.data->height);
                extent.any = true;
            }
        }
    }
    return extent;
}

bool setScreenSize(X11Connection& x, int width, int height, const ScreenSize& reference) {
    const auto mm = [](int pixels, std::uint32_t refMm, int refPixels) {
        if (refPixels <= 0)
            return static_cast<std::uint32_t>(std::lround(pixels * 25.4 / 96.0));
        return static_cast<std::uint32_t>(
            std::lround(static_cast<double>(pixels) * refMm / refPixels));
    };
    return x.check(xcb_randr_set_screen_size_checked(
               x.get(), x.root(), static_cast<std::uint16_t>(width),
               static_cast<std::uint16_t>(height), mm(width, reference.widthMm, reference.width),
               mm(height, reference.heightMm, reference.height))) == 0;
}

// RRSetMonitor built by hand: libxcb 1.15's generated request leaves its
// length uninitialised and the server drops the connection.
bool setMonitor(X11Connection& x, const xcb_randr_monitor_info_t& monitor) {
    struct {
        std::uint8_t major;
        std::uint8_t minor;
        std::uint16_t length;
        xcb_window_t window;
        xcb_randr_monitor_info_t info;
    } request{};
    static_assert(sizeof(request) == 32);
    request.length = sizeof(request) / 4;
    request.window = x.root();
    request.info = monitor;
    request.info.nOutput = 0;
    xcb_protocol_request_t protocol{};
    protocol.count = 1;
    protocol.ext = &xcb_randr_id;
    protocol.opcode = XCB_RANDR_SET_MONITOR;
    protocol.isvoid = 1;
    iovec parts[3];
    parts[2].iov_base = &request;
    parts[2].iov_len = sizeof(request);
    const unsigned int sequence =
        xcb_send_request(x.get(), XCB_REQUEST_CHECKED, parts + 2, &protocol);
    return x.check(xcb_void_cookie_t{sequence}) == 0;
}

void deleteMonitor(X11Connection& x, xcb_atom_t name) {
    x.check(xcb_randr_delete_monitor_checked(x.get(), x.root(), name));
}

xcb_randr_mode_info_t modeFor(PixelSize pixels, double refreshHz, std::size_t nameLength) {
    // Reduced-blanking style timings; a virtual output only cares about the
    // active size and the refresh rate the dot clock implies.
    xcb_randr_mode_info_t mode{};
    mode.width = static_cast<std::uint16_t>(pixels.width);
    mode.height = static_cast<std::uint16_t>(pixels.height);
    mode.hsync_start = static_cast<std::uint16_t>(pixels.width + 48);
    mode.hsync_end = static_cast<std::uint16_t>(pixels.width + 80);
    mode.htotal = static_cast<std::uint16_t>(pixels.width + 160);
    mode.vsync_start = static_cast<std::uint16_t>(pixels.height + 3);
    mode.vsync_end = static_cast<std::uint16_t>(pixels.height + 8);
    mode.vtotal = static_cast<std::uint16_t>(pixels.height + 40);
    mode.dot_clock = static_cast<std::uint32_t>(
        std::llround(static_cast<double>(mode.htotal) * mode.vtotal * refreshHz));
    mode.name_len = static_cast<std::uint16_t>(nameLength);
    mode.mode_flags = XCB_RANDR_MODE_FLAG_HSYNC_POSITIVE | XCB_RANDR_MODE_FLAG_VSYNC_POSITIVE;
    return mode;
}

} // namespace

RandrDisplayBackend::RandrDisplayBackend(std::string xDisplay, bool useSpareOutputs, Logger log)
    : xDisplay_(std::move(xDisplay)), useSpareOutputs_(useSpareOutputs), log_(std::move(log)) {}

RandrDisplayBackend::~RandrDisplayBackend() {
    destroy();
}

bool RandrDisplayBackend::removeStale(X11Connection& x, const Logger& log) {
    bool found = false;
    const bool monitors = hasMonitors(x);
    if (monitors) {
        auto reply = xcbReply(xcb_randr_get_monitors_reply, x.get(),
                              xcb_randr_get_monitors(x.get(), x.root(), 0));
        std::vector<xcb_atom_t> stale;
        if (reply)
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem;
                 xcb_randr_monitor_info_next(&it))
                if (startsWith(x.atomName(it.data->name), kPrefix))
                    stale.push_back(it.data->name);
        for (xcb_atom_t name : stale)
            deleteMonitor(x, name);
        found = !stale.empty();
    }

    auto res = resources(x);
    if (!res)
        return found;
    std::vector<xcb_randr_mode_t> staleModes;
    const auto* modes = xcb_randr_get_screen_resources_current_modes(res.get());
    const auto* names =
        reinterpret_cast<const char*>(xcb_randr_get_screen_resources_current_names(res.get()));
    for (int i = 0; i < xcb_randr_get_screen_resources_current_modes_length(res.get()); ++i) {
        const std::string_view name(names, modes[i].name_len);
        names += modes[i].name_len;
        if (startsWith(name, kPrefix))
            staleModes.push_back(modes[i].id);
    }
    if (!staleModes.empty()) {
        found = true;
        const auto isStale = [&](xcb_randr_mode_t m) {
            return std::find(staleModes.begin(), staleModes.end(), m) != staleModes.end();
        };
        const auto* crtcs = xcb_randr_get_screen_resources_current_crtcs(res.get());
        for (int i = 0; i < xcb_randr_get_screen_resources_current_crtcs_length(res.get()); ++i) {
            auto crtc = xcbReply(xcb_randr_get_crtc_info_reply, x.get(),
                                 xcb_randr_get_crtc_info(x.get(), crtcs[i], res->config_timestamp));
            if (crtc && isStale(crtc->mode))
                xcbReply(xcb_randr_set_crtc_config_reply, x.get(),
                         xcb_randr_set_crtc_config(x.get(), crtcs[i], XCB_CURRENT_TIME,
                                                   res->config_timestamp, 0, 0, 0,
                                                   XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr));
        }
        const auto* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
        for (int i = 0; i < xcb_randr_get_screen_resources_current_outputs_length(res.get()); ++i) {
            auto output =
                xcbReply(xcb_randr_get_output_info_reply, x.get(),
                         xcb_randr_get_output_info(x.get(), outputs[i], res->config_timestamp));
            if (!output)
                continue;
            const auto* outputModes = xcb_randr_get_output_info_modes(output.get());
            for (int m = 0; m < xcb_randr_get_output_info_modes_length(output.get()); ++m)
                if (isStale(outputModes[m]))
                    x.check(
                        xcb_randr_delete_output_mode_checked(x.get(), outputs[i], outputModes[m]));
        }
        for (xcb_randr_mode_t m : staleModes)
            x.check(xcb_randr_destroy_mode_checked(x.get(), m));
    }
    if (found) {
        // The size before the crash is unknown: shrink to what is still shown.
        const Extent extent = shownExtent(x, monitors);
        const ScreenSize size = currentScreenSize(x);
        if (extent.any && (extent.right < size.width || extent.bottom < size.height))
            setScreenSize(x, std::min<int>(extent.right, size.width),
                          std::min<int>(extent.bottom, size.height), size);
        log.info("Removed virtual display state left by an earlier run");
    }
    return found;
}

VirtualDisplayInfo RandrDisplayBackend::create(const VirtualDisplayConfiguration& configuration,
                                               PixelSize pixels) {
    std::unique_ptr<X11Connection> connection;
    try {
        connection = std::make_unique<X11Connection>(xDisplay_);
    } catch (const X11ConnectError& error) {
        throw VirtualDisplayError::unavailable(error.what());
    }
    X11Connection& x = *connection;
    const auto* extension = xcb_get_extension_data(x.get(), &xcb_randr_id);
    auto version = extension && extension->present
                       ? xcbReply(xcb_randr_query_version_reply, x.get(),
                                  xcb_randr_query_version(x.get(), 1, 5))
                       : nullptr;
    if (!version || (version->major_version == 1 && version->minor_version < 2))
        throw VirtualDisplayError::unavailable("the X server lacks RandR 1.2");
    const bool monitors = version->major_version > 1 || version->minor_version >= 5;

    removeStale(x, log_);

    if (pixels.width > kMaxCoordinate || pixels.height > kMaxCoordinate)
        throw VirtualDisplayError::applySettingsFailed();

    const ScreenSize before = currentScreenSize(x);
    const Extent extent = shownExtent(x, monitors);
    const int left = extent.any ? extent.right : 0;
    const int newWidth = std::max<int>(before.width, left + static_cast<int>(pixels.width));
    const int newHeight = std::max<int>(before.height, static_cast<int>(pixels.height));
    auto range = xcbReply(xcb_randr_get_screen_size_range_reply, x.get(),
                          xcb_randr_get_screen_size_range(x.get(), x.root()));
    if (!range || newWidth > range->max_width || newHeight > range->max_height)
        throw VirtualDisplayError::applySettingsFailed();

    auto res = resources(x);
    if (!res)
        throw VirtualDisplayError::unavailable("RandR screen resources unreadable");

    // A spare output: a virtual connector not driving anything, with a free CRTC.
    xcb_randr_output_t spare = 0;
    xcb_randr_crtc_t freeCrtc = 0;
    const auto* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
    for (int i = 0; useSpareOutputs_ && spare == 0 &&
                    i < xcb_randr_get_screen_resources_current_outputs_length(res.get());
         ++i) {
        auto output =
            xcbReply(xcb_randr_get_output_info_reply, x.get(),
                     xcb_randr_get_output_info(x.get(), outputs[i], res->config_timestamp));
        if (!output || output->crtc != 0)
            continue;
        const std::string_view name(
            reinterpret_cast<const char*>(xcb_randr_get_output_info_name(output.get())),
            static_cast<std::size_t>(xcb_randr_get_output_info_name_length(output.get())));
        if (!startsWith(name, "VIRTUAL") && !startsWith(name, "DUMMY"))
            continue;
        const auto* crtcs = xcb_randr_get_output_info_crtcs(output.get());
        for (int c = 0; c < xcb_randr_get_output_info_crtcs_length(output.get()); ++c) {
            auto crtc = xcbReply(xcb_randr_get_crtc_info_reply, x.get(),
                                 xcb_randr_get_crtc_info(x.get(), crtcs[c], res->config_timestamp));
            if (crtc && crtc->mode == 0 &&
                xcb_randr_get_crtc_info_outputs_length(crtc.get()) == 0) {
                spare = outputs[i];
                freeCrtc = crtcs[c];
                break;
            }
        }
    }

    VirtualDisplayInfo info;
    info.xDisplay = x.displayName().empty() ? (std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "")
                                            : x.displayName();
    info.x = left;
    info.y = 0;
    info.width = static_cast<int>(pixels.width);
    info.height = static_cast<int>(pixels.height);
    info.backend = VirtualDisplayBackendKind::randr;

    const bool grow = newWidth != before.width || newHeight != before.height;
    if (spare != 0) {
        const std::string name = std::string(kPrefix) + "-" + std::to_string(pixels.width) + "x" +
                                 std::to_string(pixels.height);
        if (pixels.width + 160 > 65535 || pixels.height + 40 > 65535 ||
            static_cast<double>(pixels.width + 160) * (pixels.height + 40) *
                    configuration.refreshHz >
                4294967295.0)
            throw VirtualDisplayError::applySettingsFailed();
        const xcb_randr_mode_info_t modeInfo =
            modeFor(pixels, configuration.refreshHz, name.size());
        auto created =
            xcbReply(xcb_randr_create_mode_reply, x.get(),
                     xcb_randr_create_mode(x.get(), x.root(), modeInfo,
                                           static_cast<std::uint32_t>(name.size()), name.data()));
        if (!created)
            throw VirtualDisplayError::applySettingsFailed();
        const xcb_randr_mode_t mode = created->mode;
        const auto undo = [&](bool modeAdded, bool grown) {
            if (grown)
                setScreenSize(x, before.width, before.height, before);
            if (modeAdded)
                x.check(xcb_randr_delete_output_mode_checked(x.get(), spare, mode));
            x.check(xcb_randr_destroy_mode_checked(x.get(), mode));
        };
        if (x.check(xcb_randr_add_output_mode_checked(x.get(), spare, mode)) != 0) {
            undo(false, false);
            throw VirtualDisplayError::applySettingsFailed();
        }
        if (grow && !setScreenSize(x, newWidth, newHeight, before)) {
            undo(true, false);
            throw VirtualDisplayError::applySettingsFailed();
        }
        auto set = xcbReply(xcb_randr_set_crtc_config_reply, x.get(),
                            xcb_randr_set_crtc_config(x.get(), freeCrtc, XCB_CURRENT_TIME,
                                                      res->config_timestamp,
                                                      static_cast<std::int16_t>(left), 0, mode,
                                                      XCB_RANDR_ROTATION_ROTATE_0, 1, &spare));
        if (!set || set->status != XCB_RANDR_SET_CONFIG_SUCCESS) {
            undo(true, grow);
            throw VirtualDisplayError::applySettingsFailed();
        }
        output_ = spare;
        crtc_ = freeCrtc;
        mode_ = mode;
        info.displayID = spare;
    } else {
        if (!monitors)
            throw VirtualDisplayError::unavailable(
                "no spare virtual output and no RandR 1.5 monitors");
        const xcb_atom_t name = x.internAtom(std::string(kPrefix));
        if (name == XCB_ATOM_NONE)
            throw VirtualDisplayError::noDisplayID();
        if (grow && !setScreenSize(x, newWidth, newHeight, before))
            throw VirtualDisplayError::applySettingsFailed();
        xcb_randr_monitor_info_t monitor{};
        monitor.name = name;
        monitor.x = static_cast<std::int16_t>(left);
        monitor.y = 0;
        monitor.width = static_cast<std::uint16_t>(pixels.width);
        monitor.height = static_cast<std::uint16_t>(pixels.height);
        monitor.width_in_millimeters =
            static_cast<std::uint32_t>(std::lround(std::max(0.0, configuration.physicalWidthMm)));
        monitor.height_in_millimeters =
            static_cast<std::uint32_t>(std::lround(std::max(0.0, configuration.physicalHeightMm)));
        if (!setMonitor(x, monitor)) {
            if (grow)
                setScreenSize(x, before.width, before.height, before);
            throw VirtualDisplayError::applySettingsFailed();
        }
        monitor_ = name;
        info.displayID = name;
    }
    savedWidth_ = before.width;
    savedHeight_ = before.height;
    savedWidthMm_ = before.widthMm;
    savedHeightMm_ = before.heightMm;
    connection_ = std::move(connection);
    xcb_flush(connection_->get());
    return info;
}

void RandrDisplayBackend::destroy() {
    if (!connection_)
        return;
    X11Connection& x = *connection_;
    if (mode_ != 0) {
        if (auto res = resources(x))
            xcbReply(xcb_randr_set_crtc_config_reply, x.get(),
                     xcb_randr_set_crtc_config(x.get(), crtc_, XCB_CURRENT_TIME,
                                               res->config_timestamp, 0, 0, 0,
                                               XCB_RANDR_ROTATION_ROTATE_0, 0, nullptr));
        x.check(xcb_randr_delete_output_mode_checked(x.get(), output_, mode_));
        x.check(xcb_randr_destroy_mode_checked(x.get(), mode_));
    }
    if (monitor_ != 0)
        deleteMonitor(x, monitor_);
    // Back to the size from before, unless the user has since put something
    // where it would be cut off.
    const Extent extent = shownExtent(x, hasMonitors(x));
    const ScreenSize now = currentScreenSize(x);
    const int width = std::max<int>(savedWidth_, extent.right);
    const int height = std::max<int>(savedHeight_, extent.bottom);
    if (width != now.width || height != now.height) {
        const ScreenSize reference{savedWidth_, savedHeight_, savedWidthMm_, savedHeightMm_};
        setScreenSize(x, width, height, reference);
    }
    xcb_flush(x.get());
    output_ = crtc_ = mode_ = 0;
    monitor_ = 0;
    connection_.reset();
}

bool RandrDisplayBackend::isActive(std::uint32_t displayID) {
    const auto ids = activeDisplayIDs();
    return displayID != 0 && std::find(ids.begin(), ids.end(), displayID) != ids.end();
}

std::vector<std::uint32_t> RandrDisplayBackend::activeDisplayIDs() {
    std::unique_ptr<X11Connection> temporary;
    X11Connection* x = connection_.get();
    if (!x) {
        try {
            temporary = std::make_unique<X11Connection>(xDisplay_);
        } catch (const X11ConnectError&) {
            return {};
        }
        x = temporary.get();
    }
    std::vector<std::uint32_t> ids;
    // Outputs that drive a CRTC, then monitors made of no output (ours).
    if (auto res = resources(*x)) {
        const auto* outputs = xcb_randr_get_screen_resources_current_outputs(res.get());
        for (int i = 0; i < xcb_randr_get_screen_resources_current_outputs_length(res.get()); ++i) {
            auto output =
                xcbReply(xcb_randr_get_output_info_reply, x->get(),
                         xcb_randr_get_output_info(x->get(), outputs[i], res->config_timestamp));
            if (output && output->crtc != 0)
                ids.push_back(outputs[i]);
        }
    }
    if (hasMonitors(*x)) {
        auto reply = xcbReply(xcb_randr_get_monitors_reply, x->get(),
                              xcb_randr_get_monitors(x->get(), x->root(), 1));
        if (reply)
            for (auto it = xcb_randr_get_monitors_monitors_iterator(reply.get()); it.rem;
                 xcb_randr_monitor_info_next(&it))
                if (it.data->nOutput == 0)
                    ids.push_back(it.data->name);
    }
    return ids;
}

} // namespace tessarine
