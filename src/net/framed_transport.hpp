#pragma once

#include "net/frame_connection.hpp"
#include "net/transport.hpp"

#include <functional>
#include <memory>

namespace tessarine {

// What the host and the client share: every send builds one frame and hands
// its bytes to the current connection. Implementations supply sendFrame().
class FramedTransport : public Transport {
public:
    // A TCP video frame; the host will add a QUIC branch in front of this.
    asio::awaitable<void> sendVideo(Bytes payload, std::uint64_t pts) override;
    asio::awaitable<void> sendAudio(Bytes payload, std::uint64_t pts) override;
    asio::awaitable<void> sendControl(ControlMessage message) override;
    asio::awaitable<void> sendCursorMove(std::uint32_t ptsMs, std::int16_t xPx, std::int16_t yPx,
                                         std::uint8_t flags, std::uint32_t cursorId) override;

protected:
    // Encodes the frame on the caller (encoding errors are the caller's) and
    // completes once its bytes are written, or fails.
    virtual asio::awaitable<void> sendFrame(const Frame& frame) = 0;

    // The usual sendFrame(): on `strand`, writes to whatever `connection`
    // returns there (the function keeps its owner alive), or fails with
    // `noConnection` when it returns none. Never blocks the strand.
    static asio::awaitable<void>
    writeOnStrand(FrameConnection::Strand strand,
                  std::function<std::shared_ptr<FrameConnection>()> connection, const Frame& frame,
                  TransportError noConnection);
};

} // namespace tessarine
