#pragma once

#include "agent/session_media.hpp"
#include "protocol/byte_order.hpp"
#include "support/executor_thread.hpp"

#include <memory>
#include <mutex>
#include <optional>
#include <string>

namespace tessarine::testing {

// Stand-ins for the media parts, recording what the session asked of them.
// `failAt` names a step that throws: "display", "encoder", "capture" or "cursor".
class FakeSessionMedia : public SessionMediaFactory {
public:
    struct Display : SessionDisplay {
        explicit Display(FakeSessionMedia& media) : media(media) {}
        ~Display() override { media.events.push("display.destroyed"); }
        std::uint32_t create(const VirtualDisplayConfiguration& c) override {
            if (media.failAt == "display")
                throw std::runtime_error("no display for you");
            media.displayConfiguration = c;
            media.events.push("display.create");
            return id = 7;
        }
        std::uint32_t displayID() const override { return id; }
        std::optional<Mode> currentMode() const override {
            auto c = media.displayConfiguration;
            return Mode{static_cast<int>(c.logicalWidth), static_cast<int>(c.logicalHeight),
                        static_cast<int>(c.logicalWidth * c.scaleFactor),
                        static_cast<int>(c.logicalHeight * c.scaleFactor)};
        }
        FakeSessionMedia& media;
        std::uint32_t id = 0;
    };

    struct Capturer : SessionCapturer {
        explicit Capturer(FakeSessionMedia& media) : media(media) {}
        void setOnFrame(FrameHandler handler) override {
            std::lock_guard lock(mutex);
            onFrame = std::move(handler);
        }
        void start() override {
            if (media.failAt == "capture")
                throw std::runtime_error("capture refused");
            media.events.push("capturer.start");
        }
        void stop() override { media.events.push("capturer.stop"); }
        void requestFrame() override { media.events.push("capturer.requestFrame"); }
        // Delivers a captured frame as the capture thread would.
        void emit(MediaTime pts) {
            std::lock_guard lock(mutex);
            if (onFrame)
                onFrame(PixelBuffer{}, pts);
        }
        FakeSessionMedia& media;
        std::mutex mutex;
        FrameHandler onFrame;
    };

    struct Encoder : SessionEncoder {
        explicit Encoder(FakeSessionMedia& media) : media(media) {}
        void setOnEncodedFrame(EncodedHandler handler) override {
            std::lock_guard lock(mutex);
            onEncoded = std::move(handler);
        }
        // Every frame comes straight back as an "access unit" holding its pts value.
        void encode(const PixelBuffer&, MediaTime pts, MediaTime duration) override {
            std::lock_guard lock(mutex);
            media.lastDuration = duration;
            if (!onEncoded)
                return;
            Bytes unit(8 + payloadPadding);
            byte_order::put64(unit.data(), static_cast<std::uint64_t>(pts.value));
            onEncoded(SessionEncodedFrame{std::move(unit), pts, forceNext});
            forceNext = false;
        }
        void requestIDR() override {
            forceNext = true;
            media.events.push("encoder.requestIDR");
        }
        void invalidate() override { media.events.push("encoder.invalidate"); }
        FakeSessionMedia& media;
        std::mutex mutex;
        EncodedHandler onEncoded;
        bool forceNext = false;
        std::size_t payloadPadding = 0;
    };

    struct Cursor : SessionCursor {
        explicit Cursor(FakeSessionMedia& media) : media(media) {}
        void start(Callbacks c) override {
            if (media.failAt == "cursor")
                throw std::runtime_error("cursor unavailable");
            callbacks = std::move(c);
            media.events.push("cursor.start");
        }
        void stop() override { media.events.push("cursor.stop"); }
        FakeSessionMedia& media;
        Callbacks callbacks;
    };

    std::shared_ptr<SessionDisplay> makeDisplay() override {
        return std::make_shared<Display>(*this);
    }
    std::shared_ptr<SessionCapturer> makeCapturer(const SessionDisplay& display, int width,
                                                  int height, int fps) override {
        events.push("capturer " + std::to_string(display.displayID()) + " " +
                    std::to_string(width) + "x" + std::to_string(height) + "@" +
                    std::to_string(fps));
        capturer = std::make_shared<Capturer>(*this);
        return capturer;
    }
    std::shared_ptr<SessionEncoder> makeEncoder(int width, int height, std::int64_t bitrateBps,
                                                int fps, int gop) override {
        if (failAt == "encoder")
            throw std::runtime_error("encoder refused");
        events.push("encoder " + std::to_string(width) + "x" + std::to_string(height) + " " +
                    std::to_string(bitrateBps) + " " + std::to_string(fps) + " " +
                    std::to_string(gop));
        encoder = std::make_shared<Encoder>(*this);
        return encoder;
    }
    std::shared_ptr<SessionCursor> makeCursor(const SessionDisplay&, int, int) override {
        cursor = std::make_shared<Cursor>(*this);
        return cursor;
    }

    bool sawEvent(const std::string& event) {
        return events.waitFor([&](const std::string& e) { return e == event; }).has_value();
    }

    std::string failAt;
    WaitList<std::string> events;
    VirtualDisplayConfiguration displayConfiguration;
    MediaTime lastDuration;
    std::shared_ptr<Capturer> capturer;
    std::shared_ptr<Encoder> encoder;
    std::shared_ptr<Cursor> cursor;
};

} // namespace tessarine::testing
