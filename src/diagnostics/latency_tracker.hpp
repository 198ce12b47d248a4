#pragma once

#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "diagnostics/logger.hpp"

namespace tessarine {

// Collects millisecond samples of one stage of the video path and, every
// `logEvery` samples, logs count, average, median, 95th percentile, minimum
// and maximum as one line and hands the same figures to `onStats`.
// Thread-safe: `record` may be called from any thread.
class LatencyTracker {
public:
    struct Stats {
        std::string name;
        std::int64_t count = 0;
        double avg = 0;
        double p50 = 0;
        double p95 = 0;
        double min = 0;
        double max = 0;
        bool operator==(const Stats&) const = default;
    };
    using StatsHandler = std::function<void(const Stats&)>;

    LatencyTracker(std::string subsystem, std::string category, std::string name,
                   std::int64_t logEvery);

    LatencyTracker(const LatencyTracker&) = delete;
    LatencyTracker& operator=(const LatencyTracker&) = delete;

    // Adds one sample; the sample that completes a batch reports it on the
    // calling thread, outside the lock.
    void record(double ms);

    // Receives every batch's figures; called on the recording thread.
    void onStats(StatsHandler handler);

    const std::string& name() const { return name_; }

    // The figures of one batch (empty batch: none). Exposed for the report and
    // for callers that summarise their own samples the same way.
    static Stats summarise(std::string name, std::vector<double> samples);

private:
    void report(std::vector<double> snapshot);

    Logger log_;
    std::string name_;
    std::int64_t logEvery_;
    std::mutex mutex_;
    std::vector<double> samples_; // guarded by mutex_
    StatsHandler onStats_;        // guarded by mutex_
};

} // namespace tessarine
