#pragma once

#include "diagnostics/logger.hpp"
#include "media/media_time.hpp"
#include "media/pixel_buffer.hpp"
#include "media/virtual_display.hpp"

#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <string>

namespace tessarine {

// One captured picture and its presentation time, counted from the start of
// capture on the monotonic clock (microsecond timescale).
struct CapturedFrame {
    PixelBuffer pixelBuffer;
    MediaTime pts;
};

class CaptureError : public std::exception {
public:
    enum class Code { displayNotFound, startFailed, permissionDenied };

    static CaptureError displayNotFound(std::uint32_t displayID);
    static CaptureError startFailed(const std::string& error);
    static CaptureError permissionDenied();

    Code code() const { return code_; }
    std::uint32_t displayID() const { return displayID_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    CaptureError(Code code, std::string text, std::uint32_t displayID = 0)
        : code_(code), text_(std::move(text)), displayID_(displayID) {}
    Code code_;
    std::string text_;
    std::uint32_t displayID_;
};

// Records a virtual display: MIT-SHM grabs of its rectangle (no cursor),
// converted to NV12 full range with BT.709 coefficients, scaled to width ×
// height. XDamage drives it: a frame is taken only after the display changed,
// at most one per 1/fps, so a still screen costs nothing; the first frame
// after start and a frame after requestFrame() come regardless.
class DisplayCapturer {
public:
    // `resolve` finds the display (VirtualDisplayManager::resolver()).
    DisplayCapturer(std::uint32_t displayID, int width, int height, int fps,
                    DisplayResolver resolve);
    ~DisplayCapturer();
    DisplayCapturer(const DisplayCapturer&) = delete;
    DisplayCapturer& operator=(const DisplayCapturer&) = delete;

    // Starts the capture thread; a running capture is replaced. Throws CaptureError.
    void start();
    // Stops and joins the capture thread. Must not be called from onFrame.
    void stop();
    // Asks for a fresh frame even if nothing changed (keyframe requests).
    void requestFrame();
    bool isCapturing() const;

    std::uint32_t displayID() const { return displayID_; }
    int width() const { return width_; }
    int height() const { return height_; }
    int fps() const { return fps_; }
    std::chrono::nanoseconds minimumFrameInterval() const;

    // Called on the capture thread, one frame at a time; set before start.
    // The frame's buffer may be kept: it is not reused while referenced.
    std::function<void(const CapturedFrame&)> onFrame;

    class Session; // the running capture (connection, shared memory, thread)

private:
    Logger log_{"app.tessarine.mac", "Capture"};
    std::uint32_t displayID_;
    int width_;
    int height_;
    int fps_;
    DisplayResolver resolve_;
    mutable std::mutex mutex_; // start/stop/requestFrame
    std::unique_ptr<Session> session_;
};

} // namespace tessarine
