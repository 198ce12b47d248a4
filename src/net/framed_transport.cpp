#include "net/framed_transport.hpp"

#include <asio/async_result.hpp>
#include <asio/dispatch.hpp>
#include <asio/use_awaitable.hpp>

namespace tessarine {

// Every operation below is built first and awaited by name: g++ 12 destroys
// the temporaries of a full-expression containing co_await twice.

asio::awaitable<void> FramedTransport::sendVideo(Bytes payload, std::uint64_t pts) {
    const Frame frame = Frame::video(pts, std::move(payload));
    auto sent = sendFrame(frame);
    co_await std::move(sent);
}

asio::awaitable<void> FramedTransport::sendAudio(Bytes payload, std::uint64_t pts) {
    const Frame frame = Frame::audio(pts, std::move(payload));
    auto sent = sendFrame(frame);
    co_await std::move(sent);
}

asio::awaitable<void> FramedTransport::sendControl(ControlMessage message) {
    const Frame frame = Frame::control(std::move(message));
    auto sent = sendFrame(frame);
    co_await std::move(sent);
}

asio::awaitable<void> FramedTransport::sendCursorMove(std::uint32_t ptsMs, std::int16_t xPx,
                                                      std::int16_t yPx, std::uint8_t flags,
                                                      std::uint32_t cursorId) {
    const Frame frame = Frame::cursorMove(ptsMs, xPx, yPx, flags, cursorId);
    auto sent = sendFrame(frame);
    co_await std::move(sent);
}

asio::awaitable<void>
FramedTransport::writeOnStrand(FrameConnection::Strand strand,
                               std::function<std::shared_ptr<FrameConnection>()> connection,
                               const Frame& frame, TransportError noConnection) {
    Bytes bytes = frame.encode();
    auto enqueue = [strand, connection = std::move(connection), bytes = std::move(bytes),
                    noConnection = std::move(noConnection)](auto handler) mutable {
        asio::dispatch(strand, [connection = std::move(connection), bytes = std::move(bytes),
                                noConnection = std::move(noConnection),
                                done = FrameConnection::WriteDone(std::move(handler))]() mutable {
            auto current = connection();
            if (!current) {
                done.complete(std::make_exception_ptr(noConnection));
                return;
            }
            current->write(std::move(bytes), std::move(done));
        });
    };
    auto written = asio::async_initiate<decltype(asio::use_awaitable), void(std::exception_ptr)>(
        std::move(enqueue), asio::use_awaitable);
    co_await std::move(written);
}

} // namespace tessarine
