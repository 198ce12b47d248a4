#include "net/frame_connection.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/redirect_error.hpp>
#include <asio/ssl/error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <atomic>
#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>
#include <sys/socket.h>

namespace tessarine {

namespace {

std::atomic<std::uint64_t> nextConnectionId{1};

void setIntOption(int fd, int level, int name, int value) {
    // Refusals are deliberately ignored (see the header).
    (void)::setsockopt(fd, level, name, &value, sizeof value);
}

} // namespace

void applyStreamSocketOptions(asio::ip::tcp::socket& socket) {
    const int fd = socket.native_handle();
    setIntOption(fd, IPPROTO_TCP, TCP_NODELAY, 1);
    setIntOption(fd, SOL_SOCKET, SO_KEEPALIVE, 1);
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPIDLE, 2);
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPINTVL, 1);
    setIntOption(fd, IPPROTO_TCP, TCP_KEEPCNT, 2);
    setIntOption(fd, IPPROTO_TCP, TCP_USER_TIMEOUT, 5000);
    constexpr int af41 = 0x88; // DSCP 34 in the upper six bits
    std::error_code ec;
    const auto local = socket.local_endpoint(ec);
    if (!ec && local.address().is_v6()) {
        setIntOption(fd, IPPROTO_IPV6, IPV6_TCLASS, af41);
        if (local.address().to_v6().is_v4_mapped())
            setIntOption(fd, IPPROTO_IP, IP_TOS, af41); // IPv4 packets of a dual-stack socket
    } else {
        setIntOption(fd, IPPROTO_IP, IP_TOS, af41);
    }
}

namespace {

std::variant<asio::ip::tcp::socket, asio::ssl::stream<asio::ip::tcp::socket>>
makeStream(asio::ip::tcp::socket socket, const std::shared_ptr<asio::ssl::context>& tls) {
    using Stream = std::variant<asio::ip::tcp::socket, asio::ssl::stream<asio::ip::tcp::socket>>;
    if (tls)
        return Stream(std::in_place_index<1>, std::move(socket), *tls);
    return Stream(std::in_place_index<0>, std::move(socket));
}

} // namespace

FrameConnection::FrameConnection(Socket socket, const std::shared_ptr<asio::ssl::context>& tls)
    : stream_(makeStream(std::move(socket), tls)), id_(nextConnectionId++) {}

FrameConnection::Socket& FrameConnection::socket() {
    if (auto* tls = std::get_if<1>(&stream_))
        return tls->next_layer();
    return std::get<0>(stream_);
}

asio::awaitable<void> FrameConnection::handshake(asio::ssl::stream_base::handshake_type type,
                                                 std::chrono::milliseconds timeout) {
    if (auto* tls = std::get_if<1>(&stream_)) {
        // A peer that connects and never completes the handshake would
        // otherwise hold the connection (and a host's only peer slot) forever:
        // keepalive probes are answered by its kernel.
        asio::steady_timer deadline(socket().get_executor(), timeout);
        // Shared with the timer's handler, which may run after this frame is gone.
        auto state = std::make_shared<std::pair<bool, bool>>(false, false); // done, timed out
        deadline.async_wait([state, weak = weak_from_this()](std::error_code ec) {
            auto self = weak.lock();
            if (ec || state->first || !self)
                return;
            state->second = true;
            std::error_code ignored;
            self->socket().close(ignored); // fails the handshake below
        });
        std::error_code ec;
        auto handshake = tls->async_handshake(type, asio::redirect_error(asio::use_awaitable, ec));
        co_await std::move(handshake);
        state->first = true;
        deadline.cancel();
        const bool timedOut = state->second;
        if (timedOut && !cancelled_)
            ec = asio::error::timed_out;
        if (ec && !cancelled_)
            throw std::system_error(ec);
    }
    if (cancelled_)
        throw std::system_error(asio::error::operation_aborted);
    ready_ = true;
    startWriterIfNeeded();
}

asio::awaitable<std::size_t> FrameConnection::readSome(asio::mutable_buffer buffer,
                                                       std::error_code& ec) {
    ec.clear();
    // Named first: g++ 12 mishandles temporaries inside co_await expressions.
    auto read = std::visit(
        [&](auto& stream) {
            return stream.async_read_some(buffer, asio::redirect_error(asio::use_awaitable, ec));
        },
        stream_);
    co_return co_await std::move(read);
}

void FrameConnection::write(Bytes bytes, WriteDone done) {
    if (cancelled_ || writeError_) {
        const std::error_code ec = writeError_ ? writeError_ : asio::error::operation_aborted;
        done.complete(std::make_exception_ptr(std::system_error(ec)));
        return;
    }
    writes_.push_back({std::move(bytes), std::move(done)});
    startWriterIfNeeded();
}

void FrameConnection::startWriterIfNeeded() {
    if (!ready_ || writing_ || writes_.empty())
        return;
    writing_ = true;
    asio::co_spawn(socket().get_executor(), writeLoop(shared_from_this()), asio::detached);
}

asio::awaitable<void>
FrameConnection::writeLoop([[maybe_unused]] std::shared_ptr<FrameConnection> self) {
    while (!writes_.empty() && !cancelled_) {
        PendingWrite current = std::move(writes_.front());
        writes_.pop_front();
        std::error_code ec;
        auto written = std::visit(
            [&](auto& stream) {
                return asio::async_write(stream, asio::buffer(current.bytes),
                                         asio::redirect_error(asio::use_awaitable, ec));
            },
            stream_);
        co_await std::move(written);
        if (!ec && cancelled_)
            ec = asio::error::operation_aborted;
        if (ec) {
            writeError_ = ec;
            current.done.complete(std::make_exception_ptr(std::system_error(ec)));
            break;
        }
        current.done.complete(nullptr);
    }
    if (cancelled_ || writeError_)
        failQueuedWrites(writeError_ ? writeError_ : asio::error::operation_aborted);
    writing_ = false;
}

void FrameConnection::failQueuedWrites(const std::error_code& ec) {
    auto queued = std::move(writes_);
    writes_.clear();
    for (auto& pending : queued)
        pending.done.complete(std::make_exception_ptr(std::system_error(ec)));
}

void FrameConnection::cancel() {
    if (cancelled_)
        return;
    cancelled_ = true;
    std::error_code ignored;
    socket().shutdown(Socket::shutdown_both, ignored);
    socket().close(ignored);
    if (!writing_)
        failQueuedWrites(asio::error::operation_aborted);
}

bool FrameConnection::isPeerClose(const std::error_code& ec) {
    // A TLS peer that closes without close_notify shows up as stream_truncated.
    return ec == asio::error::eof || ec == asio::ssl::error::stream_truncated;
}

} // namespace tessarine
