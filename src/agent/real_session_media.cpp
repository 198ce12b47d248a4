#include "agent/real_session_media.hpp"

#include "media/cursor_tracker.hpp"
#include "media/display_capturer.hpp"
#include "media/h264_encoder.hpp"

#include <mutex>

namespace tessarine {
namespace {

class RealDisplay final : public SessionDisplay {
public:
    explicit RealDisplay(const VirtualDisplayManagerOptions& options) : manager_(options) {}

    std::uint32_t create(const VirtualDisplayConfiguration& configuration) override {
        const std::uint32_t id = manager_.create(configuration);
        // A private server is of use only if people can put windows on it.
        if (auto info = manager_.displayInfo(); info && !info->xAuthorityFile.empty())
            log_.info("Run programs on the tablet's display with DISPLAY=%{public}s "
                      "XAUTHORITY=%{public}s",
                      info->xDisplay, info->xAuthorityFile);
        return id;
    }
    std::uint32_t displayID() const override { return manager_.displayID(); }
    std::optional<Mode> currentMode() const override {
        auto configuration = manager_.configuration();
        if (!configuration)
            return std::nullopt;
        const PixelSize pixels = virtualDisplayPixelSize(*configuration);
        return Mode{static_cast<int>(configuration->logicalWidth),
                    static_cast<int>(configuration->logicalHeight), static_cast<int>(pixels.width),
                    static_cast<int>(pixels.height)};
    }
    DisplayResolver resolver() const { return manager_.resolver(); }

private:
    Logger log_{"app.tessarine.mac", "VirtualDisplay"};
    VirtualDisplayManager manager_; // its destruction removes the display
};

class RealCapturer final : public SessionCapturer {
public:
    RealCapturer(std::uint32_t displayID, int width, int height, int fps, DisplayResolver resolve)
        : capturer_(displayID, width, height, fps, std::move(resolve)) {
        capturer_.onFrame = [this](const CapturedFrame& frame) {
            std::lock_guard lock(mutex_);
            if (handler_)
                handler_(frame.pixelBuffer, frame.pts);
        };
    }

    void setOnFrame(FrameHandler handler) override {
        std::lock_guard lock(mutex_);
        handler_ = std::move(handler);
    }
    void start() override { capturer_.start(); }
    void stop() override { capturer_.stop(); }
    void requestFrame() override { capturer_.requestFrame(); }

private:
    std::mutex mutex_; // the handler is replaced while capture may run
    FrameHandler handler_;
    DisplayCapturer capturer_; // last: its thread stops before the handler goes
};

class RealEncoder final : public SessionEncoder {
public:
    RealEncoder(int width, int height, std::int64_t bitrateBps, int fps, int gop)
        : encoder_(width, height, bitrateBps, fps, gop) {}

    void setOnEncodedFrame(EncodedHandler handler) override {
        if (!handler) {
            encoder_.onEncodedFrame(nullptr);
            return;
        }
        encoder_.onEncodedFrame([handler = std::move(handler)](EncodedFrame frame) {
            handler(SessionEncodedFrame{std::move(frame.annexB), frame.pts, frame.isKeyframe});
        });
    }
    void encode(const PixelBuffer& buffer, MediaTime pts, MediaTime duration) override {
        encoder_.encode(buffer, pts, duration);
    }
    void requestIDR() override { encoder_.requestIDR(); }
    void invalidate() override { encoder_.invalidate(); }

private:
    H264Encoder encoder_;
};

class RealCursor final : public SessionCursor {
public:
    RealCursor(std::uint32_t displayID, int widthPx, int heightPx, DisplayResolver resolve)
        : tracker_(displayID, widthPx, heightPx, std::move(resolve)) {}

    void start(Callbacks callbacks) override {
        if (callbacks.onMove)
            tracker_.onMove = [onMove = std::move(callbacks.onMove)](const CursorTracker::Move& m) {
                onMove(Move{m.ptsMs, m.xPx, m.yPx, m.cursorId});
            };
        tracker_.onShapeChange = std::move(callbacks.onShapeChange);
        tracker_.onVisibility = std::move(callbacks.onVisibility);
        tracker_.start();
    }
    void stop() override { tracker_.stop(); }

private:
    CursorTracker tracker_;
};

class RealSessionMedia final : public SessionMediaFactory {
public:
    explicit RealSessionMedia(VirtualDisplayManagerOptions options)
        : options_(std::move(options)) {}

    std::shared_ptr<SessionDisplay> makeDisplay() override {
        return std::make_shared<RealDisplay>(options_);
    }
    std::shared_ptr<SessionCapturer> makeCapturer(const SessionDisplay& display, int width,
                                                  int height, int fps) override {
        return std::make_shared<RealCapturer>(display.displayID(), width, height, fps,
                                              real(display).resolver());
    }
    std::shared_ptr<SessionEncoder> makeEncoder(int width, int height, std::int64_t bitrateBps,
                                                int fps, int gop) override {
        return std::make_shared<RealEncoder>(width, height, bitrateBps, fps, gop);
    }
    std::shared_ptr<SessionCursor> makeCursor(const SessionDisplay& display, int widthPx,
                                              int heightPx) override {
        return std::make_shared<RealCursor>(display.displayID(), widthPx, heightPx,
                                            real(display).resolver());
    }

private:
    // Displays handed to this factory are always its own.
    static const RealDisplay& real(const SessionDisplay& display) {
        return dynamic_cast<const RealDisplay&>(display);
    }

    VirtualDisplayManagerOptions options_;
};

} // namespace

std::shared_ptr<SessionMediaFactory> makeSessionMedia(VirtualDisplayManagerOptions options) {
    return std::make_shared<RealSessionMedia>(std::move(options));
}

} // namespace tessarine
