#include "diagnostics/pts_timestamp_store.hpp"

#include <algorithm>
#include <chrono>

namespace tessarine {

PTSTimestampStore::PTSTimestampStore(std::int64_t cap)
    : cap_(static_cast<std::size_t>(std::max<std::int64_t>(cap, 0))) {
    entries_.reserve(cap_ + 1);
}

double PTSTimestampStore::now() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

void PTSTimestampStore::mark(std::uint64_t pts) {
    const double t = now();
    std::lock_guard lock(mutex_);
    entries_.emplace_back(pts, t);
    if (entries_.size() > cap_)
        entries_.erase(entries_.begin(),
                       entries_.begin() + static_cast<std::ptrdiff_t>(entries_.size() - cap_));
}

std::optional<double> PTSTimestampStore::elapsedMs(std::uint64_t pts) {
    const double t = now();
    std::lock_guard lock(mutex_);
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [pts](const auto& entry) { return entry.first == pts; });
    if (it == entries_.end())
        return std::nullopt;
    const double marked = it->second;
    entries_.erase(it);
    return (t - marked) * 1000.0;
}

std::size_t PTSTimestampStore::size() const {
    std::lock_guard lock(mutex_);
    return entries_.size();
}

} // namespace tessarine
