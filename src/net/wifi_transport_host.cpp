#include "net/wifi_transport_host.hpp"

#include "net/frame_connection.hpp"
#include "net/mdns_advertiser.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/dispatch.hpp>
#include <asio/ip/v6_only.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include <vector>

namespace tessarine {

namespace {

constexpr std::size_t maxReceiveBytes = 65536;

// Accept errors that concern one half-open connection, not the listener.
bool isTransientAcceptError(const std::error_code& ec) {
    return ec == asio::error::connection_aborted || ec == asio::error::connection_reset ||
           ec == std::errc::protocol_error;
}

// A listener on the port for both address families: a dual-stack IPv6 socket,
// or IPv4 alone where the system has no IPv6.
std::shared_ptr<asio::ip::tcp::acceptor> openListener(const asio::any_io_executor& executor,
                                                      std::uint16_t port) {
    auto listener = std::make_shared<asio::ip::tcp::acceptor>(executor);
    std::error_code ec;
    listener->open(asio::ip::tcp::v6(), ec);
    asio::ip::tcp::endpoint endpoint(asio::ip::tcp::v6(), port);
    if (!ec) {
        listener->set_option(asio::ip::v6_only(false), ec);
    }
    if (ec) {
        listener->close(ec);
        listener->open(asio::ip::tcp::v4()); // throws
        endpoint = asio::ip::tcp::endpoint(asio::ip::tcp::v4(), port);
    }
    listener->set_option(asio::socket_base::reuse_address(true));
    listener->bind(endpoint);
    listener->listen();
    return listener;
}

} // namespace

WiFiTransportHost::WiFiTransportHost(asio::any_io_executor executor, std::uint16_t port,
                                     std::string serviceName, std::string instanceName,
                                     std::shared_ptr<asio::ssl::context> tlsOptions)
    : port_(port), serviceName_(std::move(serviceName)), instanceName_(std::move(instanceName)),
      tlsOptions_(std::move(tlsOptions)), log_("app.tessarine.mac", "WiFiHost"),
      strand_(asio::make_strand(std::move(executor))) {}

WiFiTransportHost::~WiFiTransportHost() {
    // Coroutines still holding the connection or the listener run on the
    // strand; end them there.
    if (connection_ || listener_) {
        asio::post(strand_, [connection = connection_, listener = listener_] {
            if (connection)
                connection->cancel();
            if (listener) {
                std::error_code ignored;
                listener->close(ignored);
            }
        });
    }
}

asio::awaitable<void> WiFiTransportHost::start() {
    auto self = shared_from_this();
    // Named first: g++ 12 destroys a lambda temporary inside a co_await
    // expression twice (and with it the captured shared_ptr).
    auto onStrand = [self]() -> asio::awaitable<void> {
        if (self->stopped_ || self->listener_)
            co_return; // a stopped host stays stopped; a started one keeps its listener
        self->listener_ = openListener(self->strand_, self->port_);
        const std::uint16_t bound = self->listener_->local_endpoint().port();
        self->localPort_ = bound;
        self->log_.info("Listening on tcp://0.0.0.0:%hu service=%{public}s", bound,
                        self->serviceName_);
        // The QUIC video listener will start here, next to the TCP one.

        // asio's listener is ready as soon as listen() returned.
        self->log_.debug("Listener state: %{public}s", "ready");
        self->emit(TransportState::connecting());
        self->advertiser_ =
            std::make_unique<MDNSAdvertiser>(self->serviceName_, self->instanceName_, bound);
        self->advertiser_->start();
        asio::co_spawn(self->strand_, self->acceptLoop(self->weak_from_this()), asio::detached);
    };
    co_await asio::co_spawn(strand_, std::move(onStrand), asio::use_awaitable);
}

asio::awaitable<void> WiFiTransportHost::acceptLoop(std::weak_ptr<WiFiTransportHost> weak) {
    std::shared_ptr<asio::ip::tcp::acceptor> listener;
    if (auto self = weak.lock())
        listener = self->listener_;
    if (!listener)
        co_return;
    for (;;) {
        asio::ip::tcp::socket socket(listener->get_executor());
        std::error_code ec;
        auto accept = listener->async_accept(socket, asio::redirect_error(asio::use_awaitable, ec));
        co_await std::move(accept);
        auto self = weak.lock();
        if (!self)
            co_return;
        if (ec == asio::error::operation_aborted || !listener->is_open()) {
            self->log_.debug("Listener state: %{public}s", "cancelled");
            self->emit(TransportState::disconnected("listener cancelled"));
            co_return;
        }
        if (ec && isTransientAcceptError(ec))
            continue;
        if (ec) {
            const std::string description = ec.message();
            self->log_.debug("Listener state: %{public}s", "failed(" + description + ")");
            self->emit(TransportState::failed(description));
            co_return;
        }
        self->onNewConnection(std::move(socket));
    }
}

void WiFiTransportHost::onNewConnection(asio::ip::tcp::socket socket) {
    std::error_code ignored;
    if (stopped_) {
        socket.close(ignored);
        return;
    }
    if (connection_) {
        // The current peer is never displaced by a newcomer.
        log_.debug("Dropping extra incoming connection while one is active");
        socket.close(ignored);
        return;
    }
    applyStreamSocketOptions(socket);
    auto connection = std::make_shared<FrameConnection>(std::move(socket), tlsOptions_);
    connection_ = connection;
    log_.debug("Connection state: %{public}s", "preparing");
    asio::co_spawn(strand_, runConnection(weak_from_this(), std::move(connection)), asio::detached);
}

asio::awaitable<void>
WiFiTransportHost::runConnection(std::weak_ptr<WiFiTransportHost> weak,
                                 std::shared_ptr<FrameConnection> connection) {
    std::chrono::milliseconds timeout;
    if (auto self = weak.lock())
        timeout = self->handshakeTimeout;
    else
        co_return;
    std::error_code ec;
    try {
        auto handshake = connection->handshake(asio::ssl::stream_base::server, timeout);
        co_await std::move(handshake);
    } catch (const std::system_error& e) {
        ec = e.code();
    }
    {
        auto self = weak.lock();
        if (!self)
            co_return;
        if (connection->cancelled()) {
            self->onConnectionState(connection, ConnectionEvent::cancelled, {});
            co_return;
        }
        if (ec) {
            connection->cancel(); // release the socket; the failure is what gets reported
            self->onConnectionState(connection, ConnectionEvent::failed, ec.message());
            co_return;
        }
        self->onConnectionState(connection, ConnectionEvent::ready, {});
    }

    std::vector<std::uint8_t> buffer(maxReceiveBytes);
    for (;;) {
        const std::size_t count = co_await connection->readSome(asio::buffer(buffer), ec);
        auto self = weak.lock();
        if (!self)
            co_return;
        if (count > 0 && !connection->cancelled() &&
            !self->consumeChunk(*connection, {buffer.data(), count})) {
            // Nothing after an unparsable header can be framed again; keeping
            // the connection would only buffer its bytes forever.
            connection->cancel();
        }
        if (connection->cancelled()) {
            self->onConnectionState(connection, ConnectionEvent::cancelled, {});
            co_return;
        }
        if (!ec)
            continue;
        const bool peerClosed = FrameConnection::isPeerClose(ec);
        const std::string description = ec.message();
        connection->cancel(); // the connection has ended; free the socket
        if (peerClosed) {
            self->clearConnection(connection);
            self->emit(TransportState::disconnected("peer closed"));
        } else {
            self->log_.error("Receive error: %{public}@", description);
            self->clearConnection(connection);
            self->emit(TransportState::failed(description));
        }
        co_return;
    }
}

bool WiFiTransportHost::consumeChunk(const FrameConnection& connection,
                                     std::span<const std::uint8_t> chunk) {
    if (connection_.get() != &connection)
        return true; // bytes of a connection that is no longer current
    reader_.append(chunk);
    for (;;) {
        try {
            auto frame = reader_.next();
            if (!frame)
                return true;
            inbound_.push(std::move(*frame));
        } catch (const WireError& e) {
            log_.error("Frame decode error: %{public}@", e);
            // A bad control message has been consumed and the frames behind
            // it are intact; any other error leaves the stream unframeable.
            if (e.code() != WireError::Code::decodeFailed)
                return false;
        }
    }
}

void WiFiTransportHost::onConnectionState(const std::shared_ptr<FrameConnection>& connection,
                                          ConnectionEvent event, const std::string& description) {
    switch (event) {
    case ConnectionEvent::ready:
        log_.debug("Connection state: %{public}s", "ready");
        emit(TransportState::connected());
        break;
    case ConnectionEvent::failed:
        log_.debug("Connection state: %{public}s", "failed(" + description + ")");
        clearConnection(connection);
        emit(TransportState::failed(description));
        break;
    case ConnectionEvent::cancelled:
        log_.debug("Connection state: %{public}s", "cancelled");
        clearConnection(connection);
        emit(TransportState::disconnected("peer cancelled"));
        break;
    }
}

void WiFiTransportHost::clearConnection(const std::shared_ptr<FrameConnection>& connection) {
    // A late report from an older connection must not disturb a newer one.
    if (connection_ != connection)
        return;
    connection_.reset();
    reader_.reset();
}

void WiFiTransportHost::emit(TransportState state) {
    states_.push(std::move(state));
}

asio::awaitable<void> WiFiTransportHost::stop() {
    auto self = shared_from_this();
    // Named first: g++ 12 destroys a lambda temporary inside a co_await
    // expression twice (and with it the captured shared_ptr).
    auto onStrand = [self]() -> asio::awaitable<void> {
        self->stopped_ = true;
        if (self->connection_) {
            self->connection_->cancel();
            self->connection_.reset();
            self->reader_.reset();
        }
        if (self->listener_) {
            std::error_code ignored;
            self->listener_->close(ignored);
            self->listener_.reset();
        }
        // The QUIC video group and listener will be cancelled here.
        self->advertiser_.reset(); // withdraws the service
        self->emit(TransportState::disconnected("stopped"));
        self->states_.close();
        self->inbound_.close();
        co_return;
    };
    co_await asio::co_spawn(strand_, std::move(onStrand), asio::use_awaitable);
}

void WiFiTransportHost::dropCurrentPeer() {
    asio::dispatch(strand_, [weak = weak_from_this()] {
        if (auto self = weak.lock(); self && self->connection_)
            self->connection_->cancel();
    });
}

std::optional<std::uint16_t> WiFiTransportHost::quicPort() const {
    return std::nullopt;
}

asio::awaitable<void> WiFiTransportHost::sendFrame(const Frame& frame) {
    auto self = shared_from_this();
    auto written = writeOnStrand(
        strand_, [self] { return self->connection_; }, frame,
        TransportError(errorDomain, noConnectedPeer, "No connected peer"));
    co_await std::move(written);
}

asio::awaitable<void> WiFiTransportHost::sendVideo(Bytes payload, std::uint64_t pts) {
    // With a ready QUIC video group this will send over a QUIC stream instead.
    auto sent = FramedTransport::sendVideo(std::move(payload), pts);
    co_await std::move(sent);
}

} // namespace tessarine
