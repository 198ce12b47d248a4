#include "viewer/viewer_statistics.hpp"

#include <cstdio>

namespace tessarine {

void ViewerStatistics::recordFrameReceived(std::size_t bytes, Clock::time_point now) {
    std::lock_guard lock(mutex_);
    if (!firstFrame_)
        firstFrame_ = now;
    ++framesReceived_;
    bytesReceived_ += bytes;
}

void ViewerStatistics::recordDecoded(double latencyMs) {
    std::lock_guard lock(mutex_);
    ++framesDecoded_;
    if (latencyMs >= kMinPlausibleLatencyMs && latencyMs <= kMaxPlausibleLatencyMs)
        latencies_.push_back(latencyMs);
    else
        ++latencyDiscarded_;
}

void ViewerStatistics::recordKeyframeRequest() {
    std::lock_guard lock(mutex_);
    ++keyframeRequests_;
}

ViewerStatistics::Summary ViewerStatistics::summary(Clock::time_point now) const {
    std::vector<double> samples;
    Summary s;
    {
        std::lock_guard lock(mutex_);
        s.framesReceived = framesReceived_;
        s.framesDecoded = framesDecoded_;
        s.bytesReceived = bytesReceived_;
        s.keyframeRequests = keyframeRequests_;
        s.latencyDiscarded = latencyDiscarded_;
        if (firstFrame_ && now > *firstFrame_)
            s.elapsedSeconds = std::chrono::duration<double>(now - *firstFrame_).count();
        samples = latencies_;
    }
    if (s.elapsedSeconds > 0) {
        s.framesPerSecond = static_cast<double>(s.framesDecoded) / s.elapsedSeconds;
        s.bytesPerSecond = static_cast<double>(s.bytesReceived) / s.elapsedSeconds;
    }
    s.latency = LatencyTracker::summarise("capture-to-decoded", std::move(samples));
    return s;
}

std::string ViewerStatistics::format(const Summary& s) {
    char buffer[768];
    int n = std::snprintf(buffer, sizeof buffer,
                          "frames received:   %llu\n"
                          "frames decoded:    %llu\n"
                          "elapsed:           %.2f s\n"
                          "frames per second: %.1f\n"
                          "bytes per second:  %.0f (%.2f Mbit/s)\n"
                          "keyframe requests: %llu\n",
                          static_cast<unsigned long long>(s.framesReceived),
                          static_cast<unsigned long long>(s.framesDecoded), s.elapsedSeconds,
                          s.framesPerSecond, s.bytesPerSecond, s.bytesPerSecond * 8 / 1e6,
                          static_cast<unsigned long long>(s.keyframeRequests));
    std::string text(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
    if (s.latency.count > 0) {
        n = std::snprintf(buffer, sizeof buffer,
                          "latency p50:       %.1f ms\n"
                          "latency p95:       %.1f ms\n"
                          "latency max:       %.1f ms\n",
                          s.latency.p50, s.latency.p95, s.latency.max);
        text.append(buffer, static_cast<std::size_t>(n > 0 ? n : 0));
    } else {
        text += "latency:           n/a (no frame time comparable with this machine's clock)\n";
    }
    return text;
}

} // namespace tessarine
