#include "media/cursor_tracker.hpp"

#include "media/x11_connection.hpp"

#include <spng.h>
#include <xcb/xfixes.h>
#include <xcb/xinput.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <ctime>
#include <thread>

namespace tessarine {

namespace {

constexpr auto kFlushInterval = std::chrono::milliseconds(8);
constexpr auto kShapeInterval = std::chrono::milliseconds(50);

std::int16_t clampToInt16(double value) {
    return static_cast<std::int16_t>(std::trunc(std::clamp(value, -32768.0, 32767.0)));
}

} // namespace

std::uint32_t cursorShapeId(std::span<const std::uint8_t> bytes) {
    std::uint32_t hash = 0x811C9DC5u;
    for (std::uint8_t byte : bytes) {
        hash ^= byte;
        hash *= 0x01000193u;
    }
    return hash <= 1 ? 1 : hash;
}

std::uint16_t roundToUInt16(double value) {
    if (std::isnan(value))
        return 0;
    return static_cast<std::uint16_t>(std::clamp(std::round(value), 0.0, 65535.0));
}

std::vector<std::uint8_t> cursorShapeBytes(const CursorPixels& pixels) {
    std::vector<std::uint8_t> bytes;
    bytes.reserve(8 + pixels.argb.size() * 4);
    for (int value : {pixels.width, pixels.height, pixels.hotspotX, pixels.hotspotY}) {
        bytes.push_back(static_cast<std::uint8_t>(value & 0xff));
        bytes.push_back(static_cast<std::uint8_t>((value >> 8) & 0xff));
    }
    for (std::uint32_t p : pixels.argb) {
        bytes.push_back(static_cast<std::uint8_t>(p >> 24));
        bytes.push_back(static_cast<std::uint8_t>(p >> 16));
        bytes.push_back(static_cast<std::uint8_t>(p >> 8));
        bytes.push_back(static_cast<std::uint8_t>(p));
    }
    return bytes;
}

std::vector<std::uint8_t> encodeCursorPng(const CursorPixels& pixels) {
    const std::size_t count = static_cast<std::size_t>(pixels.width) * pixels.height;
    if (pixels.width <= 0 || pixels.height <= 0 || pixels.argb.size() < count)
        return {};
    // XFixes gives premultiplied alpha; PNG wants it straight.
    std::vector<std::uint8_t> rgba(count * 4);
    for (std::size_t i = 0; i < count; ++i) {
        const std::uint32_t p = pixels.argb[i];
        const std::uint32_t a = p >> 24;
        const auto straight = [a](std::uint32_t c) -> std::uint8_t {
            if (a == 0)
                return 0;
            return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, (c * 255 + a / 2) / a));
        };
        rgba[i * 4 + 0] = straight((p >> 16) & 0xff);
        rgba[i * 4 + 1] = straight((p >> 8) & 0xff);
        rgba[i * 4 + 2] = straight(p & 0xff);
        rgba[i * 4 + 3] = static_cast<std::uint8_t>(a);
    }

    std::unique_ptr<spng_ctx, void (*)(spng_ctx*)> ctx(spng_ctx_new(SPNG_CTX_ENCODER),
                                                       spng_ctx_free);
    if (!ctx)
        return {};
    spng_set_option(ctx.get(), SPNG_ENCODE_TO_BUFFER, 1);
    spng_ihdr ihdr{};
    ihdr.width = static_cast<std::uint32_t>(pixels.width);
    ihdr.height = static_cast<std::uint32_t>(pixels.height);
    ihdr.bit_depth = 8;
    ihdr.color_type = SPNG_COLOR_TYPE_TRUECOLOR_ALPHA;
    if (spng_set_ihdr(ctx.get(), &ihdr) != 0 ||
        spng_encode_image(ctx.get(), rgba.data(), rgba.size(), SPNG_FMT_PNG,
                          SPNG_ENCODE_FINALIZE) != 0)
        return {};
    std::size_t length = 0;
    int error = 0;
    void* png = spng_get_png_buffer(ctx.get(), &length, &error);
    if (!png || error != 0)
        return {};
    std::vector<std::uint8_t> out(static_cast<std::uint8_t*>(png),
                                  static_cast<std::uint8_t*>(png) + length);
    std::free(png);
    return out;
}

CursorImage makeCursorImage(std::uint32_t cursorId, const CursorPixels& pixels, double scale,
                            std::vector<std::uint8_t> png) {
    if (!std::isfinite(scale) || scale <= 0.0)
        scale = 1.0;
    CursorImage image;
    image.cursorId = cursorId;
    image.widthPt = roundToUInt16(pixels.width / scale);
    image.heightPt = roundToUInt16(pixels.height / scale);
    image.hotspotXPt = roundToUInt16(pixels.hotspotX / scale);
    image.hotspotYPt = roundToUInt16(pixels.hotspotY / scale);
    image.scale =
        static_cast<float>(std::max(pixels.width, 1) / std::max(pixels.width / scale, 1.0));
    image.pngData = std::move(png);
    return image;
}

CursorTrackerError::CursorTrackerError(Code code, std::uint32_t displayID) : code_(code) {
    text_ = code == Code::displayNotFound
                ? "Cursor tracking could not find display id=" + std::to_string(displayID)
                : "Cursor tracking could not connect to the X display of display id=" +
                      std::to_string(displayID);
}

CursorTracker::PendingSample CursorTracker::sample(double x, double y, const Geometry& g) {
    const double xPx = (x - g.originX) * g.pointsToPixelsX;
    const double yPx = (y - g.originY) * g.pointsToPixelsY;
    PendingSample s;
    s.visible = xPx >= 0.0 && xPx < g.widthPx && yPx >= 0.0 && yPx < g.heightPx;
    s.xPx = clampToInt16(xPx);
    s.yPx = clampToInt16(yPx);
    return s;
}

void CursorTracker::Coalescer::submit(const PendingSample& sample) {
    std::lock_guard lock(pendingLock_);
    pending_ = sample; // only the newest sample survives until the next flush
}

bool CursorTracker::Coalescer::hasPending() {
    std::lock_guard lock(pendingLock_);
    return pending_.has_value();
}

CursorTracker::Coalescer::Output CursorTracker::Coalescer::flush() {
    std::optional<PendingSample> taken;
    {
        std::lock_guard lock(pendingLock_);
        taken.swap(pending_);
    }
    Output out;
    if (!taken)
        return out;
    if (taken->visible != lastSentVisible_) {
        lastSentVisible_ = taken->visible;
        out.visibility = taken->visible;
        if (!taken->visible)
            return out;
        // Back on the display: send the position even if it is the old one.
        lastSentXPx_ = -32768;
        lastSentYPx_ = -32768;
    } else if (!taken->visible) {
        return out;
    }
    if (taken->xPx == lastSentXPx_ && taken->yPx == lastSentYPx_)
        return out;
    lastSentXPx_ = taken->xPx;
    lastSentYPx_ = taken->yPx;
    out.move = taken;
    return out;
}

class CursorTracker::Session {
public:
    Session(CursorTracker& owner, const VirtualDisplayInfo& display) : owner_(owner) {
        try {
            connection_ = std::make_unique<X11Connection>(display.xDisplay, display.xAuthCookie);
        } catch (const X11ConnectError&) {
            throw CursorTrackerError(CursorTrackerError::Code::connectionFailed, owner.displayID_);
        }
        geometry_.originX = display.x;
        geometry_.originY = display.y;
        geometry_.pointsToPixelsX = owner.widthPx_ / std::max(1.0, double(display.width));
        geometry_.pointsToPixelsY = owner.heightPx_ / std::max(1.0, double(display.height));
        geometry_.widthPx = owner.widthPx_;
        geometry_.heightPx = owner.heightPx_;
        // Cursor images are in root pixels; the display has scaleFactor
        // pixels (of its own) per point.
        imageScale_ = display.scaleFactor / geometry_.pointsToPixelsX;

        xcb_connection_t* c = connection_->get();
        const xcb_window_t root = connection_->root();
        const auto* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
        if (xfixes && xfixes->present &&
            xcbReply(xcb_xfixes_query_version_reply, c, xcb_xfixes_query_version(c, 4, 0))) {
            xfixesEventBase_ = xfixes->first_event;
            hasXFixes_ = true;
            xcb_xfixes_select_cursor_input(c, root, XCB_XFIXES_CURSOR_NOTIFY_MASK_DISPLAY_CURSOR);
        }

        const auto* xinput = xcb_get_extension_data(c, &xcb_input_id);
        auto version = xinput && xinput->present ? xcbReply(xcb_input_xi_query_version_reply, c,
                                                            xcb_input_xi_query_version(c, 2, 2))
                                                 : nullptr;
        if (owner.useRawMotion && version && version->major_version >= 2) {
            struct {
                xcb_input_event_mask_t head;
                std::uint32_t bits;
            } mask{};
            mask.head.deviceid = XCB_INPUT_DEVICE_ALL_MASTER;
            mask.head.mask_len = 1;
            mask.bits = XCB_INPUT_XI_EVENT_MASK_RAW_MOTION;
            if (connection_->check(xcb_input_xi_select_events_checked(c, root, 1, &mask.head)) ==
                0) {
                xinputOpcode_ = xinput->major_opcode;
                rawMotion_ = true;
                owner_.log_.info("CGEvent tap installed for cursor position");
            } else {
                owner_.log_.info(
                    "CGEvent.tapCreate returned nil — Input Monitoring likely not granted");
            }
        }
        if (!rawMotion_)
            owner_.log_.info("Event tap unavailable (Input Monitoring not granted) — using "
                             "NSEvent.mouseLocation polling fallback");

        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    }

    void launch() {
        // Where the pointer is now, so the first flush reports it without
        // waiting for motion.
        samplePointer();
        thread_ = std::thread([this] { run(); });
    }

    ~Session() {
        stopping_ = true;
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
        if (thread_.joinable())
            thread_.join();
        if (wake_ >= 0)
            ::close(wake_);
    }

private:
    void samplePointer() {
        xcb_connection_t* c = connection_->get();
        auto pointer =
            xcbReply(xcb_query_pointer_reply, c, xcb_query_pointer(c, connection_->root()));
        if (!pointer)
            return;
        // On another screen of the server the pointer is off this display.
        const double x = pointer->same_screen ? pointer->root_x : -1e9;
        const double y = pointer->same_screen ? pointer->root_y : -1e9;
        const PendingSample sample = CursorTracker::sample(x, y, geometry_);
        // The same sample again could not change what a flush reports.
        if (sample == lastSubmitted_)
            return;
        lastSubmitted_ = sample;
        coalescer_.submit(sample);
    }

    void flush() {
        const auto out = coalescer_.flush();
        if (out.visibility && owner_.onVisibility)
            owner_.onVisibility(*out.visibility);
        if (out.move && owner_.onMove)
            owner_.onMove(
                Move{owner_.ptsMs(), out.move->xPx, out.move->yPx, owner_.currentCursorId_.load()});
    }

    void checkShape() {
        xcb_connection_t* c = connection_->get();
        auto reply = xcbReply(xcb_xfixes_get_cursor_image_reply, c, xcb_xfixes_get_cursor_image(c));
        if (!reply)
            return;
        if (haveSerial_ && reply->cursor_serial == lastSerial_)
            return;
        haveSerial_ = true;
        lastSerial_ = reply->cursor_serial;
        CursorPixels pixels;
        pixels.width = reply->width;
        pixels.height = reply->height;
        pixels.hotspotX = reply->xhot;
        pixels.hotspotY = reply->yhot;
        const std::uint32_t* data = xcb_xfixes_get_cursor_image_cursor_image(reply.get());
        const int length = xcb_xfixes_get_cursor_image_cursor_image_length(reply.get());
        pixels.argb.assign(data, data + std::max(0, length));

        const std::uint32_t id = cursorShapeId(cursorShapeBytes(pixels));
        if (id == lastCursorId_)
            return;
        // Recorded before the work below, which may fail: a shape that cannot
        // be encoded is not retried until it changes.
        lastCursorId_ = id;
        owner_.currentCursorId_ = id;
        std::vector<std::uint8_t> png = encodeCursorPng(pixels);
        if (png.empty())
            return;
        if (owner_.onShapeChange)
            owner_.onShapeChange(makeCursorImage(id, pixels, imageScale_, std::move(png)));
    }

    void run() {
        using clock = std::chrono::steady_clock;
        xcb_connection_t* c = connection_->get();
        auto nextFlush = clock::now() + kFlushInterval;
        auto nextShape = clock::now() + kShapeInterval;
        bool shapeChanged = true; // the first shape tick reports the current shape
        while (!stopping_) {
            bool moved = false;
            while (auto* raw = xcb_poll_for_event(c)) {
                XcbPtr<xcb_generic_event_t> event(raw);
                const std::uint8_t type = event->response_type & 0x7f;
                if (type == XCB_GE_GENERIC) {
                    const auto* ge = reinterpret_cast<xcb_ge_generic_event_t*>(raw);
                    if (rawMotion_ && ge->extension == xinputOpcode_ &&
                        ge->event_type == XCB_INPUT_RAW_MOTION)
                        moved = true;
                } else if (hasXFixes_ && type == xfixesEventBase_ + XCB_XFIXES_CURSOR_NOTIFY) {
                    shapeChanged = true;
                }
            }
            if (xcb_connection_has_error(c)) {
                owner_.log_.error("Cursor tracking lost its X connection");
                return;
            }
            // Raw motion carries deltas only: one query per batch of events.
            if (moved)
                samplePointer();
            auto now = clock::now();
            if (now >= nextFlush) {
                if (!rawMotion_)
                    samplePointer();
                flush();
                nextFlush += kFlushInterval;
                if (nextFlush <= now)
                    nextFlush = now + kFlushInterval;
            }
            if (now >= nextShape) {
                if (hasXFixes_ && shapeChanged) {
                    shapeChanged = false;
                    checkShape();
                }
                // Pointer warps by other clients produce no raw motion.
                if (rawMotion_)
                    samplePointer();
                nextShape += kShapeInterval;
                if (nextShape <= now)
                    nextShape = now + kShapeInterval;
            }
            now = clock::now();
            // With raw motion an empty flush tick would do nothing: sleep
            // through them until motion arrives (the tick then comes at once).
            const bool idle = rawMotion_ && !coalescer_.hasPending();
            const auto wake = idle ? nextShape : std::min(nextFlush, nextShape);
            const auto wait =
                std::max(std::chrono::nanoseconds(0),
                         std::chrono::duration_cast<std::chrono::nanoseconds>(wake - now));
            timespec timeout{static_cast<time_t>(wait.count() / 1'000'000'000),
                             static_cast<long>(wait.count() % 1'000'000'000)};
            pollfd fds[2] = {{connection_->fd(), POLLIN, 0}, {wake_, POLLIN, 0}};
            if (::ppoll(fds, 2, &timeout, nullptr) > 0 && (fds[1].revents & POLLIN)) {
                std::uint64_t value;
                [[maybe_unused]] const ssize_t n = ::read(wake_, &value, sizeof value);
            }
        }
    }

    CursorTracker& owner_;
    std::unique_ptr<X11Connection> connection_;
    Geometry geometry_;
    double imageScale_ = 1.0;
    Coalescer coalescer_;
    std::optional<PendingSample> lastSubmitted_;
    bool hasXFixes_ = false;
    std::uint8_t xfixesEventBase_ = 0;
    bool rawMotion_ = false;
    std::uint8_t xinputOpcode_ = 0;
    bool haveSerial_ = false;
    std::uint32_t lastSerial_ = 0;
    std::uint32_t lastCursorId_ = 0;
    int wake_ = -1;
    std::atomic<bool> stopping_{false};
    std::thread thread_;
};

CursorTracker::CursorTracker(std::uint32_t displayID, int widthPx, int heightPx,
                             DisplayResolver resolve)
    : displayID_(displayID), widthPx_(widthPx), heightPx_(heightPx), resolve_(std::move(resolve)),
      startedAtUs_(
          static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(
                                         std::chrono::system_clock::now().time_since_epoch())
                                         .count())),
      startedAt_(std::chrono::steady_clock::now()) {}

CursorTracker::~CursorTracker() {
    stop();
}

std::uint32_t CursorTracker::ptsMs() const {
    // Counted on the monotonic clock, so wall-clock steps can neither make it
    // jump nor go below zero; after 2^32 ms (about 49.7 days) it wraps.
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - startedAt_);
    return static_cast<std::uint32_t>(static_cast<std::uint64_t>(elapsed.count()));
}

void CursorTracker::start() {
    std::lock_guard lock(mutex_);
    const auto display = resolve_ ? resolve_(displayID_) : std::nullopt;
    if (!display)
        throw CursorTrackerError(CursorTrackerError::Code::displayNotFound, displayID_);
    auto next = std::make_unique<Session>(*this, *display);
    session_.reset();
    session_ = std::move(next);
    session_->launch();
}

void CursorTracker::stop() {
    std::lock_guard lock(mutex_);
    session_.reset();
}

} // namespace tessarine
