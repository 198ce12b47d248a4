#pragma once

#include "diagnostics/logger.hpp"
#include "media/virtual_display.hpp"
#include "protocol/control_message.hpp"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace tessarine {

// FNV-1a (32 bit) of the bytes, with 0 and 1 mapped to 1 so that 0 never
// names a shape.
std::uint32_t cursorShapeId(std::span<const std::uint8_t> bytes);

// Rounds half away from zero and clamps to [0, 65535].
std::uint16_t roundToUInt16(double value);

// One cursor image as XFixes reports it: premultiplied ARGB, one word per pixel.
struct CursorPixels {
    int width = 0;
    int height = 0;
    int hotspotX = 0;
    int hotspotY = 0;
    std::vector<std::uint32_t> argb;
};

// The bytes a shape id is computed from: size and hotspot (so that a moved
// hotspot is a new shape), then each pixel as A, R, G, B.
std::vector<std::uint8_t> cursorShapeBytes(const CursorPixels& pixels);

// PNG (8-bit RGBA, not premultiplied) of a cursor image; empty on failure.
std::vector<std::uint8_t> encodeCursorPng(const CursorPixels& pixels);

// The record sent to the tablet for a shape: size and hotspot in points of a
// display with `scale` pixels per point.
CursorImage makeCursorImage(std::uint32_t cursorId, const CursorPixels& pixels, double scale,
                            std::vector<std::uint8_t> png);

class CursorTrackerError : public std::exception {
public:
    enum class Code { displayNotFound, connectionFailed };
    CursorTrackerError(Code code, std::uint32_t displayID);
    Code code() const { return code_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    Code code_;
    std::string text_;
};

// Follows the pointer over a virtual display: position at most every 8 ms (in
// display pixels), entering and leaving the display, and the cursor's shape as
// PNG. Position comes from XInput2 raw motion on the root window (the pointer
// is queried when motion arrives), or from polling every 8 ms without XInput2;
// the shape from XFixes, looked at every 50 ms and only fetched after a
// cursor-change event. One thread runs all of it and calls every callback.
class CursorTracker {
public:
    struct Move {
        std::uint32_t ptsMs = 0;
        std::int16_t xPx = 0;
        std::int16_t yPx = 0;
        std::uint32_t cursorId = 0;
        bool operator==(const Move&) const = default;
    };

    struct PendingSample {
        std::int16_t xPx = 0;
        std::int16_t yPx = 0;
        bool visible = false;
        bool operator==(const PendingSample&) const = default;
    };

    // Where the display is on the root window and how root pixels map to
    // the display's (capture) pixels.
    struct Geometry {
        double originX = 0.0;
        double originY = 0.0;
        double pointsToPixelsX = 1.0;
        double pointsToPixelsY = 1.0;
        int widthPx = 0;
        int heightPx = 0;
    };

    // A pointer position on the root window as a sample of the display.
    static PendingSample sample(double x, double y, const Geometry& geometry);

    // The newest-sample mailbox and the rules that decide what a flush
    // reports. submit() may run on any thread; flush() on one thread only.
    class Coalescer {
    public:
        struct Output {
            std::optional<bool> visibility;
            std::optional<PendingSample> move; // position to send
        };
        void submit(const PendingSample& sample);
        Output flush();
        bool hasPending();

    private:
        std::mutex pendingLock_;
        std::optional<PendingSample> pending_;
        bool lastSentVisible_ = true;
        std::int16_t lastSentXPx_ = -32768;
        std::int16_t lastSentYPx_ = -32768;
    };

    CursorTracker(std::uint32_t displayID, int widthPx, int heightPx, DisplayResolver resolve);
    ~CursorTracker();
    CursorTracker(const CursorTracker&) = delete;
    CursorTracker& operator=(const CursorTracker&) = delete;

    // Resolves the display, connects and starts the tracking thread. Throws
    // CursorTrackerError when the display is unknown or unreachable; a missing
    // XInput2 only selects polling.
    void start();
    void stop();

    // Set before start. Without raw motion the pointer is polled every 8 ms
    // (also what happens when the server has no XInput2; some remote X
    // setups never produce raw events).
    bool useRawMotion = true;

    // Set before start; called on the tracking thread.
    std::function<void(const Move&)> onMove;
    std::function<void(const CursorImage&)> onShapeChange;
    std::function<void(bool)> onVisibility;

    std::uint32_t displayID() const { return displayID_; }
    int widthPx() const { return widthPx_; }
    int heightPx() const { return heightPx_; }
    // Wall-clock microseconds at construction: ptsMs counts from here.
    std::uint64_t startedAtUs() const { return startedAtUs_; }
    std::uint32_t currentCursorId() const { return currentCursorId_.load(); }
    // Milliseconds since construction, for Move::ptsMs.
    std::uint32_t ptsMs() const;

    class Session; // the running thread with its X connection

private:
    Logger log_{"app.tessarine.mac", "Cursor"};
    std::uint32_t displayID_;
    int widthPx_;
    int heightPx_;
    DisplayResolver resolve_;
    std::uint64_t startedAtUs_;
    std::chrono::steady_clock::time_point startedAt_;
    std::atomic<std::uint32_t> currentCursorId_{0};
    std::mutex mutex_; // start/stop
    std::unique_ptr<Session> session_;
};

} // namespace tessarine
