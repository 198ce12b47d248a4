#pragma once

#include "diagnostics/logger.hpp"
#include "net/framed_transport.hpp"
#include "protocol/frame_reader.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/strand.hpp>

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>

namespace tessarine {

class FrameConnection;

// The connecting side of Transport: one TCP connection (TLS when a context is
// given) to a host. One instance serves one connection; inbound ends with it.
// Create with make_shared: every callback holds the client weakly.
class WiFiTransportClient : public FramedTransport,
                            public std::enable_shared_from_this<WiFiTransportClient> {
public:
    // tlsOptions: a TLS client context (accepting the host's self-signed
    // certificate), or nullptr for plain TCP.
    WiFiTransportClient(asio::any_io_executor executor, asio::ip::tcp::endpoint endpoint,
                        std::shared_ptr<asio::ssl::context> tlsOptions);
    // host: a name or address text, resolved when the client starts.
    WiFiTransportClient(asio::any_io_executor executor, std::string host, std::uint16_t port,
                        std::shared_ptr<asio::ssl::context> tlsOptions);
    ~WiFiTransportClient() override;

    WiFiTransportClient(const WiFiTransportClient&) = delete;
    WiFiTransportClient& operator=(const WiFiTransportClient&) = delete;

    TransportKind kind() const override { return TransportKind::wifi; }
    AsyncQueue<TransportState>& stateStream() override { return states_; }
    AsyncQueue<Frame>& inbound() override { return inbound_; }

    // Never throws: connection problems arrive as failed(...) on stateStream.
    asio::awaitable<void> start() override;
    asio::awaitable<void> stop() override;

    // The sends are FramedTransport's: video always travels as a TCP video
    // frame from this side.

    // The link of the local interface carrying the connection, once it is up.
    std::optional<TransportLink> currentLink() const override;

    static constexpr const char* errorDomain = "WiFiTransportClient";
    enum ErrorCode { notConnected = 1 };

private:
    struct Target {
        std::optional<asio::ip::tcp::endpoint> endpoint;
        std::string host;
        std::uint16_t port = 0;
    };

    WiFiTransportClient(asio::any_io_executor executor, Target target,
                        std::shared_ptr<asio::ssl::context> tlsOptions);

    asio::awaitable<void> runConnection(std::weak_ptr<WiFiTransportClient> weak,
                                        std::shared_ptr<FrameConnection> connection);
    // Returns false when the chunk showed the stream cannot continue.
    bool consumeChunk(std::span<const std::uint8_t> chunk);
    void logState(const std::string& description) const;
    void endConnection(TransportState state);
    void emit(TransportState state);
    asio::awaitable<void> sendFrame(const Frame& frame) override;

    const Target target_;
    const std::shared_ptr<asio::ssl::context> tlsOptions_;
    Logger log_;
    asio::strand<asio::any_io_executor> strand_;
    AsyncQueue<TransportState> states_;
    AsyncQueue<Frame> inbound_;

    // On strand_.
    std::shared_ptr<FrameConnection> connection_;
    FrameReader reader_;

    // Written on strand_, read from any thread by currentLink().
    mutable std::mutex linkMutex_;
    std::optional<TransportLink> link_;
};

} // namespace tessarine
