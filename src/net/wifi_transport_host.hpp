#pragma once

#include "diagnostics/logger.hpp"
#include "net/framed_transport.hpp"
#include "protocol/frame_reader.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/strand.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>

namespace tessarine {

class FrameConnection;
class MDNSAdvertiser;

// The listening side of Transport: a TCP listener (TLS when a context is
// given), advertised over mDNS, serving one peer at a time. Peers come and go
// beneath it; its streams stay open until stop(). Create with make_shared:
// every callback holds the host weakly.
class WiFiTransportHost : public FramedTransport,
                          public std::enable_shared_from_this<WiFiTransportHost> {
public:
    // tlsOptions: the TLS server context, or nullptr for plain TCP. port 0
    // lets the system choose (see localPort()).
    WiFiTransportHost(asio::any_io_executor executor, std::uint16_t port, std::string serviceName,
                      std::string instanceName, std::shared_ptr<asio::ssl::context> tlsOptions);
    ~WiFiTransportHost() override;

    WiFiTransportHost(const WiFiTransportHost&) = delete;
    WiFiTransportHost& operator=(const WiFiTransportHost&) = delete;

    TransportKind kind() const override { return TransportKind::wifi; }
    AsyncQueue<TransportState>& stateStream() override { return states_; }
    AsyncQueue<Frame>& inbound() override { return inbound_; }

    asio::awaitable<void> start() override;
    asio::awaitable<void> stop() override;

    asio::awaitable<void> sendVideo(Bytes payload, std::uint64_t pts) override;

    // Cancels the current peer connection, if any; its end is then reported
    // like any cancelled connection ("peer cancelled"). Safe from any thread;
    // anything the caller queues on the host afterwards sees it done.
    void dropCurrentPeer();

    // The UDP port of the QUIC video listener once it is ready. No QUIC
    // listener exists yet, so always empty.
    std::optional<std::uint16_t> quicPort() const;

    // The bound TCP port once start() returned, else 0.
    std::uint16_t localPort() const { return localPort_.load(); }

    // How long a new peer may take to complete the TLS handshake before its
    // connection fails with "Connection timed out". Set before start().
    std::chrono::milliseconds handshakeTimeout{10000};

    static constexpr const char* errorDomain = "WiFiTransportHost";
    enum ErrorCode { noConnectedPeer = 1 };

private:
    friend class WiFiTransportHostTestAccess;

    // Connection life as the platform reports it; the text is logged as
    // "Connection state: ...".
    enum class ConnectionEvent { ready, failed, cancelled };

    asio::awaitable<void> acceptLoop(std::weak_ptr<WiFiTransportHost> weak);
    void onNewConnection(asio::ip::tcp::socket socket);
    asio::awaitable<void> runConnection(std::weak_ptr<WiFiTransportHost> weak,
                                        std::shared_ptr<FrameConnection> connection);
    // Returns false when the chunk showed the stream cannot continue.
    bool consumeChunk(const FrameConnection& connection, std::span<const std::uint8_t> chunk);
    void onConnectionState(const std::shared_ptr<FrameConnection>& connection,
                           ConnectionEvent event, const std::string& description);
    void clearConnection(const std::shared_ptr<FrameConnection>& connection);
    void emit(TransportState state);

    asio::awaitable<void> sendFrame(const Frame& frame) override;

    const std::uint16_t port_;
    const std::string serviceName_;
    const std::string instanceName_;
    const std::shared_ptr<asio::ssl::context> tlsOptions_;
    Logger log_;
    asio::strand<asio::any_io_executor> strand_;
    AsyncQueue<TransportState> states_;
    AsyncQueue<Frame> inbound_;
    std::atomic<std::uint16_t> localPort_{0};

    // On strand_.
    std::shared_ptr<asio::ip::tcp::acceptor> listener_;
    std::shared_ptr<FrameConnection> connection_;
    FrameReader reader_;
    std::unique_ptr<MDNSAdvertiser> advertiser_;
    bool stopped_ = false;
};

} // namespace tessarine
