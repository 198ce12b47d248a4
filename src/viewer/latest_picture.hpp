#pragma once

#include "media/media_time.hpp"
#include "media/pixel_buffer.hpp"

#include <cstdint>
#include <mutex>
#include <optional>

namespace tessarine {

// Hands decoded pictures from the decoding thread to the window: only the
// newest one waits, an older one not yet shown is dropped (and its buffer
// returns to the decoder's pool). Thread-safe.
class LatestPicture {
public:
    struct Entry {
        PixelBuffer picture;
        MediaTime pts;
    };

    // Returns true when it replaced a picture nobody took.
    bool put(PixelBuffer picture, MediaTime pts);
    std::optional<Entry> take();
    std::uint64_t dropped() const;

private:
    mutable std::mutex mutex_;
    std::optional<Entry> pending_;
    std::uint64_t dropped_ = 0;
};

} // namespace tessarine
