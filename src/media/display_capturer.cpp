#include "media/display_capturer.hpp"

#include "media/x11_connection.hpp"
#include "media/x11_frame_grabber.hpp"

#include <xcb/damage.h>
#include <xcb/xfixes.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <ctime>
#include <thread>

namespace tessarine {

CaptureError CaptureError::displayNotFound(std::uint32_t displayID) {
    return {Code::displayNotFound,
            "ScreenCaptureKit could not find display id=" + std::to_string(displayID) +
                " in SCShareableContent.",
            displayID};
}
CaptureError CaptureError::startFailed(const std::string& error) {
    return {Code::startFailed, "SCStream.startCapture failed: " + error};
}
CaptureError CaptureError::permissionDenied() {
    return {Code::permissionDenied,
            "Screen Recording permission denied. Grant it in System Settings → Privacy & "
            "Security → Screen Recording."};
}

// The running capture: its own connection, the damage object, the grabber
// and the thread that waits on the connection's socket.
class DisplayCapturer::Session {
public:
    Session(const VirtualDisplayInfo& display, int width, int height, int fps,
            std::function<void(const CapturedFrame&)> onFrame, Logger log)
        : interval_(std::chrono::nanoseconds(1'000'000'000LL / fps)), onFrame_(std::move(onFrame)),
          log_(std::move(log)), rect_{display.x, display.y, display.width, display.height} {
        try {
            connection_ = std::make_unique<X11Connection>(display.xDisplay, display.xAuthCookie);
        } catch (const X11ConnectError&) {
            // An unreachable display is what a refused permission looks like on X11.
            throw CaptureError::permissionDenied();
        }
        xcb_connection_t* c = connection_->get();
        const auto* damage = xcb_get_extension_data(c, &xcb_damage_id);
        const auto* xfixes = xcb_get_extension_data(c, &xcb_xfixes_id);
        if (!damage || !damage->present || !xfixes || !xfixes->present)
            throw CaptureError::permissionDenied();
        // Both answer BadRequest until their version has been negotiated.
        xcbReply(xcb_xfixes_query_version_reply, c, xcb_xfixes_query_version(c, 5, 0));
        if (!xcbReply(xcb_damage_query_version_reply, c, xcb_damage_query_version(c, 1, 1)))
            throw CaptureError::startFailed("DAMAGE version negotiation failed");
        damageEventBase_ = damage->first_event;

        try {
            grabber_ = std::make_unique<X11FrameGrabber>(*connection_, rect_, width, height);
        } catch (const GrabError& error) {
            throw CaptureError::startFailed(error.what());
        }
        damage_ = xcb_generate_id(c);
        if (connection_->check(xcb_damage_create_checked(c, damage_, connection_->root(),
                                                         XCB_DAMAGE_REPORT_LEVEL_RAW_RECTANGLES)))
            throw CaptureError::startFailed("DAMAGE create failed");
        wake_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (wake_ < 0)
            throw CaptureError::startFailed("eventfd failed");
    }

    // Capture runs from here on; the first frame comes at once.
    void launch() {
        start_ = std::chrono::steady_clock::now();
        thread_ = std::thread([this] { run(); });
    }

    ~Session() {
        stopping_ = true;
        signal();
        if (thread_.joinable())
            thread_.join();
        if (wake_ >= 0)
            ::close(wake_);
        grabber_.reset();
        if (connection_ && damage_ != 0) {
            xcb_damage_destroy(connection_->get(), damage_);
            xcb_flush(connection_->get());
        }
    }

    void requestFrame() {
        frameRequested_ = true;
        signal();
    }

private:
    void signal() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_, &one, sizeof one);
    }

    bool touchesRect(const xcb_rectangle_t& area) const {
        return area.x < rect_.x + rect_.width && area.x + area.width > rect_.x &&
               area.y < rect_.y + rect_.height && area.y + area.height > rect_.y;
    }

    void run() {
        using clock = std::chrono::steady_clock;
        xcb_connection_t* c = connection_->get();
        bool dirty = true; // the first frame comes regardless of damage
        auto nextAllowed = clock::now();
        while (!stopping_) {
            while (auto* raw = xcb_poll_for_event(c)) {
                XcbPtr<xcb_generic_event_t> event(raw);
                if ((event->response_type & 0x7f) == damageEventBase_ + XCB_DAMAGE_NOTIFY) {
                    const auto* notify = reinterpret_cast<xcb_damage_notify_event_t*>(raw);
                    if (touchesRect(notify->area))
                        dirty = true;
                }
            }
            if (xcb_connection_has_error(c)) {
                log_.error("Capture connection to %{public}s lost", connection_->displayName());
                return;
            }
            if (frameRequested_.exchange(false))
                dirty = true;
            const auto now = clock::now();
            if (dirty && now >= nextAllowed) {
                dirty = false;
                nextAllowed = now + interval_;
                deliver(now);
                continue; // events may have queued up while waiting for the image
            }
            pollfd fds[2] = {{connection_->fd(), POLLIN, 0}, {wake_, POLLIN, 0}};
            timespec timeout{};
            timespec* timeoutPtr = nullptr;
            if (dirty) {
                const auto wait =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(nextAllowed - now);
                timeout.tv_sec = static_cast<time_t>(wait.count() / 1'000'000'000);
                timeout.tv_nsec = static_cast<long>(wait.count() % 1'000'000'000);
                timeoutPtr = &timeout;
            }
            if (::ppoll(fds, 2, timeoutPtr, nullptr) > 0 && (fds[1].revents & POLLIN)) {
                std::uint64_t value;
                [[maybe_unused]] const ssize_t n = ::read(wake_, &value, sizeof value);
            }
        }
    }

    void deliver(std::chrono::steady_clock::time_point when) {
        CapturedFrame frame;
        try {
            frame.pixelBuffer = grabber_->grab();
        } catch (const GrabError& error) {
            log_.error("Capture of display failed: %{public}s", error.what());
            return;
        }
        frame.pts = MediaTime::make(
            std::chrono::duration_cast<std::chrono::microseconds>(when - start_).count(),
            1'000'000);
        if (onFrame_)
            onFrame_(frame);
    }

    std::chrono::nanoseconds interval_;
    std::function<void(const CapturedFrame&)> onFrame_;
    Logger log_;
    X11FrameGrabber::Rect rect_;
    std::unique_ptr<X11Connection> connection_;
    std::unique_ptr<X11FrameGrabber> grabber_;
    xcb_damage_damage_t damage_ = 0;
    std::uint8_t damageEventBase_ = 0;
    int wake_ = -1;
    std::chrono::steady_clock::time_point start_;
    std::atomic<bool> stopping_{false};
    std::atomic<bool> frameRequested_{false};
    std::thread thread_;
};

DisplayCapturer::DisplayCapturer(std::uint32_t displayID, int width, int height, int fps,
                                 DisplayResolver resolve)
    : displayID_(displayID), width_(width), height_(height), fps_(fps),
      resolve_(std::move(resolve)) {}

DisplayCapturer::~DisplayCapturer() {
    std::lock_guard lock(mutex_);
    session_.reset();
}

std::chrono::nanoseconds DisplayCapturer::minimumFrameInterval() const {
    return fps_ > 0 ? std::chrono::nanoseconds(1'000'000'000LL / fps_)
                    : std::chrono::nanoseconds(0);
}

void DisplayCapturer::start() {
    std::lock_guard lock(mutex_);
    const std::optional<VirtualDisplayInfo> display =
        resolve_ ? resolve_(displayID_) : std::nullopt;
    if (!display)
        throw CaptureError::displayNotFound(displayID_);
    if (fps_ <= 0 || width_ <= 0 || height_ <= 0)
        throw CaptureError::startFailed("invalid output size or frame rate");
    // A failed start leaves a running capture as it was; a replaced one ends
    // before the new one delivers, so frames never come from two threads.
    auto next = std::make_unique<Session>(*display, width_, height_, fps_, onFrame, log_);
    session_.reset();
    session_ = std::move(next);
    session_->launch();
    log_.info("Capture started for display id=%{public}u %ldx%ld@%ldfps", displayID_, width_,
              height_, fps_);
}

void DisplayCapturer::stop() {
    std::lock_guard lock(mutex_);
    session_.reset();
    log_.info("Capture stopped");
}

void DisplayCapturer::requestFrame() {
    std::lock_guard lock(mutex_);
    if (session_)
        session_->requestFrame();
}

bool DisplayCapturer::isCapturing() const {
    std::lock_guard lock(mutex_);
    return session_ != nullptr;
}

} // namespace tessarine
