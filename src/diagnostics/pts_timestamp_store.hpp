#pragma once

#include <cstdint>
#include <mutex>
#include <optional>
#include <utility>
#include <vector>

namespace tessarine {

// Remembers when a frame, known by its presentation-time key, entered a stage
// and later answers how long ago that was. Bounded: at most `cap` marks are
// kept, the oldest go first, so marks of frames that never come out cannot
// pile up. Thread-safe.
class PTSTimestampStore {
public:
    explicit PTSTimestampStore(std::int64_t cap);

    PTSTimestampStore(const PTSTimestampStore&) = delete;
    PTSTimestampStore& operator=(const PTSTimestampStore&) = delete;

    // Records the current wall-clock time for the key.
    void mark(std::uint64_t pts);

    // Removes the oldest mark for the key and returns the milliseconds since
    // it was made; none when the key is unknown (never marked or evicted).
    std::optional<double> elapsedMs(std::uint64_t pts);

    std::size_t size() const;

private:
    // Wall clock in seconds since 1970, like the rest of the media path; a
    // clock step between mark and lookup shows up as a wrong sample.
    static double now();

    std::size_t cap_;
    mutable std::mutex mutex_;
    std::vector<std::pair<std::uint64_t, double>> entries_; // oldest first, guarded by mutex_
};

} // namespace tessarine
