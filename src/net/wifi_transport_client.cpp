#include "net/wifi_transport_client.hpp"

#include "net/frame_connection.hpp"
#include "net/link_classifier.hpp"

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/detached.hpp>
#include <asio/dispatch.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include <vector>

namespace tessarine {

namespace {
constexpr std::size_t maxReceiveBytes = 65536;
}

WiFiTransportClient::WiFiTransportClient(asio::any_io_executor executor, Target target,
                                         std::shared_ptr<asio::ssl::context> tlsOptions)
    : target_(std::move(target)), tlsOptions_(std::move(tlsOptions)),
      log_("app.tessarine.mac", "WiFiClient"), strand_(asio::make_strand(std::move(executor))) {}

WiFiTransportClient::WiFiTransportClient(asio::any_io_executor executor,
                                         asio::ip::tcp::endpoint endpoint,
                                         std::shared_ptr<asio::ssl::context> tlsOptions)
    : WiFiTransportClient(std::move(executor), Target{endpoint, {}, endpoint.port()},
                          std::move(tlsOptions)) {}

WiFiTransportClient::WiFiTransportClient(asio::any_io_executor executor, std::string host,
                                         std::uint16_t port,
                                         std::shared_ptr<asio::ssl::context> tlsOptions)
    : WiFiTransportClient(std::move(executor), Target{std::nullopt, std::move(host), port},
                          std::move(tlsOptions)) {}

WiFiTransportClient::~WiFiTransportClient() {
    if (connection_)
        asio::post(strand_, [connection = connection_] { connection->cancel(); });
}

asio::awaitable<void> WiFiTransportClient::start() {
    auto self = shared_from_this();
    // Named first: g++ 12 destroys a lambda temporary inside a co_await
    // expression twice (and with it the captured shared_ptr).
    auto onStrand = [self]() -> asio::awaitable<void> {
        if (self->connection_ || self->states_.closed())
            co_return; // one connection per instance
        auto connection = std::make_shared<FrameConnection>(asio::ip::tcp::socket(self->strand_),
                                                            self->tlsOptions_);
        self->connection_ = connection;
        asio::co_spawn(self->strand_, self->runConnection(self->weak_from_this(), connection),
                       asio::detached);
        co_return;
    };
    co_await asio::co_spawn(strand_, std::move(onStrand), asio::use_awaitable);
}

void WiFiTransportClient::logState(const std::string& description) const {
    log_.debug("Client state: %{public}s", description);
}

asio::awaitable<void>
WiFiTransportClient::runConnection(std::weak_ptr<WiFiTransportClient> weak,
                                   std::shared_ptr<FrameConnection> connection) {
    Target target;
    if (auto self = weak.lock()) {
        target = self->target_;
        self->logState("preparing");
        self->emit(TransportState::connecting());
    } else {
        co_return;
    }

    std::error_code ec;
    try {
        if (target.endpoint) {
            auto connect =
                connection->socket().async_connect(*target.endpoint, asio::use_awaitable);
            co_await std::move(connect);
        } else {
            asio::ip::tcp::resolver resolver(connection->socket().get_executor());
            const std::string service = std::to_string(target.port);
            auto resolve = resolver.async_resolve(target.host, service, asio::use_awaitable);
            auto endpoints = co_await std::move(resolve);
            auto connect =
                asio::async_connect(connection->socket(), endpoints, asio::use_awaitable);
            co_await std::move(connect);
        }
        if (connection->cancelled())
            throw std::system_error(asio::error::operation_aborted);
        applyStreamSocketOptions(connection->socket());
        auto handshake = connection->handshake(asio::ssl::stream_base::client);
        co_await std::move(handshake);
    } catch (const std::system_error& e) {
        ec = e.code();
    }
    {
        auto self = weak.lock();
        if (!self)
            co_return;
        if (connection->cancelled()) {
            self->logState("cancelled");
            self->endConnection(TransportState::disconnected("cancelled"));
            co_return;
        }
        if (ec) {
            connection->cancel();
            self->logState("failed(" + ec.message() + ")");
            self->endConnection(TransportState::failed(ec.message()));
            co_return;
        }
        std::error_code localError;
        const auto local = connection->socket().local_endpoint(localError);
        {
            std::lock_guard lock(self->linkMutex_);
            self->link_ = localError ? TransportLink::other : linkForLocalAddress(local.address());
        }
        self->logState("ready");
        self->emit(TransportState::connected());
    }

    std::vector<std::uint8_t> buffer(maxReceiveBytes);
    for (;;) {
        const std::size_t count = co_await connection->readSome(asio::buffer(buffer), ec);
        auto self = weak.lock();
        if (!self)
            co_return;
        if (count > 0 && !connection->cancelled() && !self->consumeChunk({buffer.data(), count}))
            connection->cancel(); // the stream cannot be framed again
        if (connection->cancelled()) {
            self->logState("cancelled");
            self->endConnection(TransportState::disconnected("cancelled"));
            co_return;
        }
        if (!ec)
            continue;
        const bool peerClosed = FrameConnection::isPeerClose(ec);
        const std::string description = ec.message();
        connection->cancel(); // the connection has ended; free the socket
        self->endConnection(peerClosed ? TransportState::disconnected("peer closed")
                                       : TransportState::failed(description));
        co_return;
    }
}

bool WiFiTransportClient::consumeChunk(std::span<const std::uint8_t> chunk) {
    reader_.append(chunk);
    for (;;) {
        try {
            auto frame = reader_.next();
            if (!frame)
                return true;
            inbound_.push(std::move(*frame));
        } catch (const WireError& e) {
            log_.error("Frame decode error: %{public}@", e);
            if (e.code() != WireError::Code::decodeFailed)
                return false;
        }
    }
}

void WiFiTransportClient::endConnection(TransportState state) {
    // One instance serves one connection: its frames end with it.
    emit(std::move(state));
    inbound_.close();
}

void WiFiTransportClient::emit(TransportState state) {
    states_.push(std::move(state));
}

asio::awaitable<void> WiFiTransportClient::stop() {
    auto self = shared_from_this();
    // Named first: g++ 12 destroys a lambda temporary inside a co_await
    // expression twice (and with it the captured shared_ptr).
    auto onStrand = [self]() -> asio::awaitable<void> {
        if (self->connection_) {
            self->connection_->cancel();
            self->connection_.reset();
        }
        // The QUIC video group will be cancelled here.
        {
            std::lock_guard lock(self->linkMutex_);
            self->link_.reset();
        }
        self->emit(TransportState::disconnected("stopped"));
        self->states_.close();
        self->inbound_.close();
        co_return;
    };
    co_await asio::co_spawn(strand_, std::move(onStrand), asio::use_awaitable);
}

std::optional<TransportLink> WiFiTransportClient::currentLink() const {
    std::lock_guard lock(linkMutex_);
    return link_;
}

asio::awaitable<void> WiFiTransportClient::sendFrame(const Frame& frame) {
    auto self = shared_from_this();
    auto written = writeOnStrand(
        strand_, [self] { return self->connection_; }, frame,
        TransportError(errorDomain, notConnected, "Not connected"));
    co_await std::move(written);
}

} // namespace tessarine
