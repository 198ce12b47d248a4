#pragma once

#include "diagnostics/latency_tracker.hpp"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace tessarine {

// What the viewer received and decoded, for the closing figures of a
// headless run. Thread-safe.
class ViewerStatistics {
public:
    using Clock = std::chrono::steady_clock;

    struct Summary {
        std::uint64_t framesReceived = 0;
        std::uint64_t framesDecoded = 0;
        std::uint64_t bytesReceived = 0;
        std::uint64_t keyframeRequests = 0;
        // From the first video frame to the moment of the summary.
        double elapsedSeconds = 0;
        double framesPerSecond = 0; // decoded pictures per second
        double bytesPerSecond = 0;
        // Capture-to-decoded latency in ms; count 0 when no sample was usable.
        LatencyTracker::Stats latency;
        // Samples left out because the frame time cannot be a wall-clock time
        // of this machine (a host whose clock is not comparable).
        std::uint64_t latencyDiscarded = 0;
    };

    // Latency samples outside this range mean the two clocks are not
    // comparable (another machine, or a frame time that is not wall-clock).
    static constexpr double kMinPlausibleLatencyMs = -1'000.0;
    static constexpr double kMaxPlausibleLatencyMs = 60'000.0;

    void recordFrameReceived(std::size_t bytes, Clock::time_point now = Clock::now());
    // `latencyMs` = wall clock at delivery − frame time.
    void recordDecoded(double latencyMs);
    void recordKeyframeRequest();

    Summary summary(Clock::time_point now = Clock::now()) const;

    // The closing block of figures, one per line.
    static std::string format(const Summary& summary);

private:
    mutable std::mutex mutex_;
    std::uint64_t framesReceived_ = 0;
    std::uint64_t framesDecoded_ = 0;
    std::uint64_t bytesReceived_ = 0;
    std::uint64_t keyframeRequests_ = 0;
    std::uint64_t latencyDiscarded_ = 0;
    std::optional<Clock::time_point> firstFrame_;
    std::vector<double> latencies_;
};

} // namespace tessarine
