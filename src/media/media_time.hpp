#pragma once

#include <cstdint>
#include <limits>

namespace tessarine {

// A rational point in time (value / timescale seconds), as passed between
// capture, encoder and decoder. Flags mark whether the value is meaningful;
// the epoch separates otherwise identical times from different runs of a clock.
struct MediaTime {
    static constexpr std::uint32_t kValid = 1u << 0;

    std::int64_t value = 0;
    std::int32_t timescale = 0;
    std::uint32_t flags = 0;
    std::int64_t epoch = 0;

    static constexpr MediaTime make(std::int64_t value, std::int32_t timescale) {
        return MediaTime{value, timescale, timescale > 0 ? kValid : 0u, 0};
    }
    static constexpr MediaTime invalid() { return MediaTime{}; }

    constexpr bool isValid() const { return (flags & kValid) != 0 && timescale > 0; }

    // Seconds as a double; NaN for an invalid time.
    constexpr double seconds() const {
        return isValid() ? static_cast<double>(value) / static_cast<double>(timescale)
                         : std::numeric_limits<double>::quiet_NaN();
    }

    bool operator==(const MediaTime&) const = default;
};

} // namespace tessarine
