#include "protocol/frame_reader.hpp"

#include "protocol/byte_order.hpp"

namespace tessarine {

void FrameReader::append(std::span<const std::uint8_t> data) {
    if (data.empty())
        return;
    if (pending_) {
        const std::size_t take = std::min(pending_->length - pending_->payload.size(), data.size());
        pending_->payload.insert(pending_->payload.end(), data.begin(), data.begin() + take);
        data = data.subspan(take);
        if (data.empty())
            return;
    }
    if (offset_ == buffer_.size()) {
        buffer_.clear();
        offset_ = 0;
    } else if (offset_ > 0 && offset_ >= buffer_.size() - offset_) {
        // Moving the unread tail costs less than what was consumed since the
        // last move, so the total work stays linear in the bytes received.
        buffer_.erase(buffer_.begin(), buffer_.begin() + static_cast<std::ptrdiff_t>(offset_));
        offset_ = 0;
    }
    buffer_.insert(buffer_.end(), data.begin(), data.end());
    if (!pending_)
        startPendingIfLarge();
}

void FrameReader::startPendingIfLarge() {
    const std::size_t available = buffer_.size() - offset_;
    const std::uint8_t* p = buffer_.data() + offset_;
    if (available < 13 || (p[0] != 1 && p[0] != 4))
        return;
    const std::size_t length = byte_order::get32(p + 9);
    // Oversized headers are left for next() to refuse.
    if (length < directFill_ || length > maxPayload_ || available >= 13 + length)
        return;
    PendingMedia pending{p[0], byte_order::get64(p + 1), length, {}};
    pending.payload.reserve(length);
    pending.payload.assign(p + 13, p + available);
    pending_ = std::move(pending);
    buffer_.clear();
    offset_ = 0;
}

std::size_t FrameReader::bufferedBytes() const {
    return buffer_.size() - offset_ + (pending_ ? 13 + pending_->payload.size() : 0);
}

void FrameReader::reset() {
    pending_.reset();
    buffer_.clear();
    buffer_.shrink_to_fit();
    offset_ = 0;
}

std::optional<Frame> FrameReader::next() {
    if (pending_) {
        if (pending_->payload.size() < pending_->length)
            return std::nullopt;
        PendingMedia done = std::move(*pending_);
        pending_.reset();
        if (buffer_.size() > offset_)
            startPendingIfLarge();
        return done.type == 1 ? Frame::video(done.pts, std::move(done.payload))
                              : Frame::audio(done.pts, std::move(done.payload));
    }
    const std::size_t available = buffer_.size() - offset_;
    if (available == 0)
        return std::nullopt;
    const std::uint8_t* p = buffer_.data() + offset_;
    switch (p[0]) {
    case 1:
    case 4: {
        if (available < 13)
            return std::nullopt;
        const std::uint64_t length = byte_order::get32(p + 9);
        if (length > maxPayload_)
            throw WireError::frameTooLarge(length);
        const std::uint64_t total = 13 + length;
        if (available < total)
            return std::nullopt;
        const std::uint64_t pts = byte_order::get64(p + 1);
        Bytes payload(p + 13, p + total);
        offset_ += total;
        return p[0] == 1 ? Frame::video(pts, std::move(payload))
                         : Frame::audio(pts, std::move(payload));
    }
    case 2: {
        if (available < 3)
            return std::nullopt;
        const std::size_t total = 3 + std::size_t{byte_order::get16(p + 1)};
        if (available < total)
            return std::nullopt;
        std::string_view json(reinterpret_cast<const char*>(p + 3), total - 3);
        offset_ += total; // consumed even when the JSON is bad: only this message is lost
        try {
            return Frame::control(decodeControlMessage(json));
        } catch (const ControlDecodeError& e) {
            throw WireError::decodeFailed(e.what());
        }
    }
    case 3:
        offset_ += 1;
        return Frame::keepalive();
    case 5: {
        if (available < 14)
            return std::nullopt;
        Frame frame = Frame::cursorMove(
            byte_order::get32(p + 1), static_cast<std::int16_t>(byte_order::get16(p + 5)),
            static_cast<std::int16_t>(byte_order::get16(p + 7)), p[9], byte_order::get32(p + 10));
        offset_ += 14;
        return frame;
    }
    default:
        throw WireError::unknownFrameType(p[0]);
    }
}

} // namespace tessarine
