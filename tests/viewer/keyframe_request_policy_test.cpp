#include "viewer/keyframe_request_policy.hpp"

#include <gtest/gtest.h>

using namespace tessarine;
using namespace std::chrono_literals;

namespace {

const KeyframeRequestPolicy::Clock::time_point t0{};

} // namespace

TEST(KeyframeRequestPolicyTest, DecodeErrorsAreAnsweredAtMostOncePerInterval) {
    KeyframeRequestPolicy policy(1s);
    policy.onVideoFrame(t0);
    EXPECT_TRUE(policy.onDecodeError(t0 + 10ms));
    // A burst of errors inside the interval asks nothing more at once...
    EXPECT_FALSE(policy.onDecodeError(t0 + 20ms));
    EXPECT_FALSE(policy.onDecodeError(t0 + 900ms));
    EXPECT_FALSE(policy.onTick(t0 + 1009ms));
    // ...but is answered once the interval has passed, one request only.
    EXPECT_TRUE(policy.onTick(t0 + 1010ms));
    EXPECT_FALSE(policy.onTick(t0 + 1020ms));
    // An error after a full interval is answered at once again.
    policy.onPicture(t0 + 1500ms);
    EXPECT_TRUE(policy.onDecodeError(t0 + 2010ms));
}

TEST(KeyframeRequestPolicyTest, AsksWhenVideoArrivesButNoPictureComesOut) {
    KeyframeRequestPolicy policy(1s);
    // Nothing before the stream starts.
    EXPECT_FALSE(policy.onTick(t0 + 5s));

    const auto start = t0 + 10s;
    policy.onVideoFrame(start);
    policy.onVideoFrame(start + 400ms);
    EXPECT_FALSE(policy.onTick(start + 999ms));
    EXPECT_TRUE(policy.onTick(start + 1s));

    // After a request: still starved while frames come, asked again one
    // interval after the request, not earlier.
    policy.onVideoFrame(start + 1200ms);
    EXPECT_FALSE(policy.onTick(start + 1900ms));
    EXPECT_TRUE(policy.onTick(start + 2s));

    // A picture since the last request ends the starvation.
    policy.onVideoFrame(start + 2100ms);
    policy.onPicture(start + 2200ms);
    EXPECT_FALSE(policy.onTick(start + 5s));
}

TEST(KeyframeRequestPolicyTest, QuietHostIsNotAskedAgainAndAgain) {
    KeyframeRequestPolicy policy(1s);
    policy.onVideoFrame(t0); // undecodable (no parameter sets yet)
    EXPECT_TRUE(policy.onTick(t0 + 1s));
    // The screen does not change: the host sends nothing, nothing is asked.
    EXPECT_FALSE(policy.onTick(t0 + 3s));
    EXPECT_FALSE(policy.onTick(t0 + 10s));
    // A frame that again does not decode: the last request is long past, so
    // it is asked for at once.
    policy.onVideoFrame(t0 + 11s);
    EXPECT_TRUE(policy.onTick(t0 + 11s));
}

TEST(KeyframeRequestPolicyTest, HealthyStreamNeverAsks) {
    KeyframeRequestPolicy policy(1s);
    for (int i = 0; i < 600; ++i) {
        const auto now = t0 + i * 16ms;
        policy.onVideoFrame(now);
        policy.onPicture(now + 5ms);
        EXPECT_FALSE(policy.onTick(now + 8ms)) << i;
    }
}
