#pragma once

#include <chrono>
#include <optional>

namespace tessarine {

// Decides when the viewer asks the host for a keyframe: after a decode error,
// and when video keeps arriving but no picture has come out of the decoder
// for one interval since the stream started or since the last request. Never
// more than one request per interval; an error inside the interval is
// answered once the interval has passed. Time is passed in, so the rules can
// be checked without a clock.
class KeyframeRequestPolicy {
public:
    using Clock = std::chrono::steady_clock;

    explicit KeyframeRequestPolicy(Clock::duration interval = std::chrono::seconds(1))
        : interval_(interval) {}

    Clock::duration interval() const { return interval_; }

    // An access unit arrived (the first one starts the stream).
    void onVideoFrame(Clock::time_point now);
    void onPicture(Clock::time_point now);
    // True when a request should be sent now.
    bool onDecodeError(Clock::time_point now);
    // Called periodically; true when a request should be sent now.
    bool onTick(Clock::time_point now);

private:
    bool mayRequest(Clock::time_point now) const;
    bool request(Clock::time_point now);

    Clock::duration interval_;
    std::optional<Clock::time_point> streamStart_;
    std::optional<Clock::time_point> lastRequest_;
    std::optional<Clock::time_point> lastPicture_;
    std::optional<Clock::time_point> lastVideo_;
    bool errorPending_ = false;
};

} // namespace tessarine
