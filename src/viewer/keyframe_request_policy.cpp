#include "viewer/keyframe_request_policy.hpp"

namespace tessarine {

void KeyframeRequestPolicy::onVideoFrame(Clock::time_point now) {
    if (!streamStart_)
        streamStart_ = now;
    lastVideo_ = now;
}

void KeyframeRequestPolicy::onPicture(Clock::time_point now) {
    lastPicture_ = now;
}

bool KeyframeRequestPolicy::mayRequest(Clock::time_point now) const {
    return !lastRequest_ || now - *lastRequest_ >= interval_;
}

bool KeyframeRequestPolicy::request(Clock::time_point now) {
    lastRequest_ = now;
    errorPending_ = false;
    return true;
}

bool KeyframeRequestPolicy::onDecodeError(Clock::time_point now) {
    if (mayRequest(now))
        return request(now);
    errorPending_ = true;
    return false;
}

bool KeyframeRequestPolicy::onTick(Clock::time_point now) {
    if (!streamStart_ || !mayRequest(now))
        return false;
    if (errorPending_)
        return request(now);
    // Starved: video arrived since the reference point, yet nothing decoded.
    // A host that sends nothing (an unchanged screen) is not asked again.
    const Clock::time_point since = lastRequest_ ? *lastRequest_ : *streamStart_;
    const bool videoSince = lastVideo_ && *lastVideo_ >= since;
    const bool pictureSince = lastPicture_ && *lastPicture_ >= since;
    if (videoSince && !pictureSince && now - since >= interval_)
        return request(now);
    return false;
}

} // namespace tessarine
