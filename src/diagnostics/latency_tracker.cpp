#include "diagnostics/latency_tracker.hpp"

#include <algorithm>

namespace tessarine {

LatencyTracker::LatencyTracker(std::string subsystem, std::string category, std::string name,
                               std::int64_t logEvery)
    : log_(std::move(subsystem), std::move(category)), name_(std::move(name)), logEvery_(logEvery) {
    // Reserved once so that recording never allocates in steady state.
    samples_.reserve(static_cast<std::size_t>(std::max<std::int64_t>(logEvery_, 0)) + 4);
}

void LatencyTracker::record(double ms) {
    std::vector<double> snapshot;
    {
        std::lock_guard lock(mutex_);
        samples_.push_back(ms);
        if (static_cast<std::int64_t>(samples_.size()) < logEvery_)
            return;
        snapshot.assign(samples_.begin(), samples_.end());
        samples_.clear(); // keeps its capacity
    }
    report(std::move(snapshot));
}

void LatencyTracker::onStats(StatsHandler handler) {
    std::lock_guard lock(mutex_);
    onStats_ = std::move(handler);
}

LatencyTracker::Stats LatencyTracker::summarise(std::string name, std::vector<double> samples) {
    Stats stats;
    stats.name = std::move(name);
    if (samples.empty())
        return stats;
    std::sort(samples.begin(), samples.end());
    const std::size_t n = samples.size();
    double sum = 0;
    for (double s : samples)
        sum += s;
    stats.count = static_cast<std::int64_t>(n);
    stats.avg = sum / static_cast<double>(n);
    stats.p50 = samples[n / 2];
    stats.p95 = samples[std::min(n - 1, static_cast<std::size_t>(static_cast<double>(n) * 0.95))];
    stats.min = samples.front();
    stats.max = samples.back();
    return stats;
}

void LatencyTracker::report(std::vector<double> snapshot) {
    if (snapshot.empty())
        return;
    Stats stats = summarise(name_, std::move(snapshot));
    log_.info("[%{public}s] n=%ld avg=%.*fms p50=%.*fms p95=%.*fms min=%.*fms max=%.*fms",
              stats.name, stats.count, 1, stats.avg, 1, stats.p50, 1, stats.p95, 1, stats.min, 1,
              stats.max);
    StatsHandler handler;
    {
        std::lock_guard lock(mutex_);
        handler = onStats_;
    }
    if (handler)
        handler(stats);
}

} // namespace tessarine
