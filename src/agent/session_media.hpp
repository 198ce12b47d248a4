#pragma once

#include "media/media_time.hpp"
#include "media/pixel_buffer.hpp"
#include "media/virtual_display.hpp"
#include "protocol/control_message.hpp"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

namespace tessarine {

// The media parts a streaming session drives. Production builds them from the
// X11 and libavcodec components (real_session_media.hpp); tests use fakes.
// Every operation may throw the component's own error, which the session turns
// into its setup failure.

// The tablet-sized virtual display; releasing the object removes the display.
class SessionDisplay {
public:
    struct Mode {
        int logicalWidth = 0;
        int logicalHeight = 0;
        int pixelWidth = 0;
        int pixelHeight = 0;
    };

    virtual ~SessionDisplay() = default;
    virtual std::uint32_t create(const VirtualDisplayConfiguration& configuration) = 0;
    virtual std::uint32_t displayID() const = 0;
    virtual std::optional<Mode> currentMode() const = 0;
};

// Captures the display; frames arrive on the capture thread.
class SessionCapturer {
public:
    using FrameHandler = std::function<void(const PixelBuffer&, MediaTime pts)>;

    virtual ~SessionCapturer() = default;
    // Set before start(); never called again once stop() has returned.
    virtual void setOnFrame(FrameHandler handler) = 0;
    virtual void start() = 0;
    // Blocks until the capture thread has ended.
    virtual void stop() = 0;
    // Delivers a fresh frame even when nothing changed (keyframe requests).
    virtual void requestFrame() = 0;
};

struct SessionEncodedFrame {
    Bytes annexB;
    MediaTime pts;
    bool isKeyframe = false;
};

// Encodes captured frames; encoded access units arrive on the encoder's thread.
class SessionEncoder {
public:
    using EncodedHandler = std::function<void(SessionEncodedFrame)>;

    virtual ~SessionEncoder() = default;
    virtual void setOnEncodedFrame(EncodedHandler handler) = 0;
    virtual void encode(const PixelBuffer& buffer, MediaTime pts, MediaTime duration) = 0;
    virtual void requestIDR() = 0;
    // Later encode calls do nothing; no frame is delivered after it returns.
    virtual void invalidate() = 0;
};

// Follows the pointer over the display; callbacks arrive on the tracker's threads.
class SessionCursor {
public:
    struct Move {
        std::uint32_t ptsMs = 0;
        std::int16_t xPx = 0;
        std::int16_t yPx = 0;
        std::uint32_t cursorId = 0;
    };
    struct Callbacks {
        std::function<void(Move)> onMove;
        std::function<void(CursorImage)> onShapeChange;
        std::function<void(bool)> onVisibility;
    };

    virtual ~SessionCursor() = default;
    virtual void start(Callbacks callbacks) = 0;
    virtual void stop() = 0;
};

class SessionMediaFactory {
public:
    virtual ~SessionMediaFactory() = default;
    virtual std::shared_ptr<SessionDisplay> makeDisplay() = 0;
    virtual std::shared_ptr<SessionCapturer> makeCapturer(const SessionDisplay& display, int width,
                                                          int height, int fps) = 0;
    virtual std::shared_ptr<SessionEncoder>
    makeEncoder(int width, int height, std::int64_t bitrateBps, int fps, int gop) = 0;
    virtual std::shared_ptr<SessionCursor> makeCursor(const SessionDisplay& display, int widthPx,
                                                      int heightPx) = 0;
};

} // namespace tessarine
