#include "viewer/latest_picture.hpp"

#include <utility>

namespace tessarine {

bool LatestPicture::put(PixelBuffer picture, MediaTime pts) {
    std::optional<Entry> replaced; // released outside the lock
    std::lock_guard lock(mutex_);
    const bool dropping = pending_.has_value();
    if (dropping)
        ++dropped_;
    replaced = std::exchange(pending_, Entry{std::move(picture), pts});
    return dropping;
}

std::optional<LatestPicture::Entry> LatestPicture::take() {
    std::lock_guard lock(mutex_);
    return std::exchange(pending_, std::nullopt);
}

std::uint64_t LatestPicture::dropped() const {
    std::lock_guard lock(mutex_);
    return dropped_;
}

} // namespace tessarine
