#pragma once

#include "net/async_queue.hpp"
#include "protocol/control_message.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/buffer.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/strand.hpp>

#include <chrono>
#include <cstdint>
#include <deque>
#include <exception>
#include <memory>
#include <system_error>
#include <variant>

namespace tessarine {

// The socket options every transport connection uses: no-delay; keepalive
// probing after 2 s idle, 1 s apart, 2 probes; a 5 s limit on unacknowledged
// data; DSCP AF41 (interactive video). Failures are ignored: an option the
// kernel refuses only costs latency, never correctness.
void applyStreamSocketOptions(asio::ip::tcp::socket& socket);

// One peer connection, plain TCP or TLS over TCP, with an ordered write queue
// (a TLS stream allows one write at a time). Every member runs on the owner's
// strand, which is the socket's executor.
class FrameConnection : public std::enable_shared_from_this<FrameConnection> {
public:
    using Socket = asio::ip::tcp::socket;
    using Strand = asio::strand<asio::any_io_executor>;
    using WriteDone = detail::ErasedHandler<std::exception_ptr>;

    // socket must use the owner's strand as its executor. tls: nullptr for
    // plain TCP.
    FrameConnection(Socket socket, const std::shared_ptr<asio::ssl::context>& tls);

    FrameConnection(const FrameConnection&) = delete;
    FrameConnection& operator=(const FrameConnection&) = delete;

    std::uint64_t id() const { return id_; }
    Socket& socket();

    // Runs the TLS handshake (nothing for plain TCP), then lets queued writes
    // go out. Throws std::system_error; asio::error::timed_out when the
    // handshake takes longer than `timeout`.
    asio::awaitable<void> handshake(asio::ssl::stream_base::handshake_type type,
                                    std::chrono::milliseconds timeout = defaultHandshakeTimeout);

    static constexpr std::chrono::milliseconds defaultHandshakeTimeout{10000};

    // Up to buffer.size() bytes; ec reports errors and the peer's close.
    asio::awaitable<std::size_t> readSome(asio::mutable_buffer buffer, std::error_code& ec);

    // Queues bytes to be written whole after everything queued before them.
    // done gets nullptr once they are written, else the write error. Writes
    // queued before the handshake wait for it.
    void write(Bytes bytes, WriteDone done);

    // Closes the socket: the pending read ends, writes fail with
    // operation_aborted. Idempotent.
    void cancel();
    bool cancelled() const { return cancelled_; }

    // Whether the error ending a read means the peer closed its side.
    static bool isPeerClose(const std::error_code& ec);

private:
    struct PendingWrite {
        Bytes bytes;
        WriteDone done;
    };

    // self keeps the connection alive while a write is in flight.
    asio::awaitable<void> writeLoop(std::shared_ptr<FrameConnection> self);
    void failQueuedWrites(const std::error_code& ec);
    void startWriterIfNeeded();

    std::variant<Socket, asio::ssl::stream<Socket>> stream_;
    const std::uint64_t id_;
    std::deque<PendingWrite> writes_;
    std::error_code writeError_;
    bool ready_ = false;
    bool writing_ = false;
    bool cancelled_ = false;
};

} // namespace tessarine
