#include "net/wifi_transport_client.hpp"

#include "diagnostics/logger.hpp"
#include "net/wifi_transport_host.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

namespace tessarine {
namespace {

using test::await;
using test::next;
using test::RawPeer;

class WiFiTransportClientTest : public ::testing::Test {
protected:
    void startHost() {
        host_ = std::make_shared<WiFiTransportHost>(threads_.executor(), 0, "_tessarine._tcp",
                                                    "Client Test", test::makeServerContext());
        await(threads_, host_->start());
        ASSERT_EQ(next(threads_, host_->stateStream()), TransportState::connecting());
    }

    static TransportState nextState(test::IoThreads& threads, Transport& transport) {
        auto state = next(threads, transport.stateStream());
        if (!state)
            throw std::runtime_error("state stream ended");
        return *state;
    }

    void TearDown() override {
        if (host_)
            await(threads_, host_->stop());
    }

    LogCapture logs_;
    test::IoThreads threads_{2};
    std::shared_ptr<WiFiTransportHost> host_;
};

TEST_F(WiFiTransportClientTest, NothingWorksBeforeStart) {
    auto client = std::make_shared<WiFiTransportClient>(threads_.executor(), "127.0.0.1", 9,
                                                        test::makeClientContext());
    EXPECT_EQ(client->kind(), TransportKind::wifi);
    EXPECT_EQ(client->currentLink(), std::nullopt);
    try {
        await(threads_, client->sendControl(Heartbeat{1}));
        FAIL() << "send before start succeeded";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.domain(), "WiFiTransportClient");
        EXPECT_EQ(e.code(), 1);
        EXPECT_STREQ(e.what(), "Not connected");
    }
    await(threads_, client->stop());
    EXPECT_EQ(nextState(threads_, *client), TransportState::disconnected("stopped"));
    EXPECT_EQ(next(threads_, client->stateStream()), std::nullopt);
    EXPECT_EQ(next(threads_, client->inbound()), std::nullopt);
}

TEST_F(WiFiTransportClientTest, ConnectsByNameAndEndsWithThePeer) {
    startHost();
    auto client = std::make_shared<WiFiTransportClient>(
        threads_.executor(), "localhost", host_->localPort(), test::makeClientContext());
    await(threads_, client->start());
    // Sent before the connection is up: queued until the handshake is done.
    await(threads_, client->sendControl(Heartbeat{77}));
    EXPECT_EQ(nextState(threads_, *client), TransportState::connecting());
    EXPECT_EQ(nextState(threads_, *client), TransportState::connected());
    EXPECT_TRUE(logs_.contains("WiFiClient", "Client state: preparing"));
    EXPECT_TRUE(logs_.contains("WiFiClient", "Client state: ready"));
    EXPECT_EQ(client->currentLink(), TransportLink::other); // loopback
    EXPECT_EQ(nextState(threads_, *host_), TransportState::connected());
    EXPECT_EQ(next(threads_, host_->inbound()), Frame::control(Heartbeat{77}));

    await(threads_, host_->sendVideo(Bytes(100000, 0x5a), 3));
    EXPECT_EQ(next(threads_, client->inbound()), Frame::video(3, Bytes(100000, 0x5a)));

    // The host ends the connection: the client's frames end with it.
    host_->dropCurrentPeer();
    EXPECT_EQ(nextState(threads_, *client), TransportState::disconnected("peer closed"));
    EXPECT_EQ(next(threads_, client->inbound()), std::nullopt);
    EXPECT_THROW(await(threads_, client->sendControl(Heartbeat{1})), std::system_error);

    await(threads_, client->stop());
    EXPECT_EQ(nextState(threads_, *client), TransportState::disconnected("stopped"));
    EXPECT_EQ(next(threads_, client->stateStream()), std::nullopt);
    EXPECT_EQ(client->currentLink(), std::nullopt);
}

TEST_F(WiFiTransportClientTest, RefusedConnectionFails) {
    asio::io_context io;
    asio::ip::tcp::acceptor closed(io, test::loopback(0));
    const auto endpoint = closed.local_endpoint();
    closed.close(); // nothing listens there any more
    auto client = std::make_shared<WiFiTransportClient>(threads_.executor(), endpoint, nullptr);
    await(threads_, client->start());
    EXPECT_EQ(nextState(threads_, *client), TransportState::connecting());
    const TransportState failed = nextState(threads_, *client);
    EXPECT_EQ(failed.kind, TransportState::Kind::failed);
    EXPECT_EQ(failed.reason, std::make_error_code(std::errc::connection_refused).message());
    EXPECT_EQ(next(threads_, client->inbound()), std::nullopt);
}

TEST_F(WiFiTransportClientTest, UnframeableStreamEndsTheConnection) {
    asio::io_context io;
    asio::ip::tcp::acceptor listener(io, test::loopback(0));
    auto client = std::make_shared<WiFiTransportClient>(
        threads_.executor(), listener.local_endpoint(), test::makeClientContext());
    await(threads_, client->start());
    auto server = RawPeer::accept(listener, test::makeServerContext());
    EXPECT_EQ(nextState(threads_, *client), TransportState::connecting());
    EXPECT_EQ(nextState(threads_, *client), TransportState::connected());

    Bytes bytes = Frame::cursorMove(1, 2, 3, 0, 4).encode();
    bytes.insert(bytes.end(), {2, 0, 1, '['}); // a bad control message: skipped
    const Bytes after = Frame::keepalive().encode();
    bytes.insert(bytes.end(), after.begin(), after.end());
    bytes.insert(bytes.end(), {7, 0, 0, 0}); // an unknown type: nothing after it can be read
    server->write(bytes);
    EXPECT_EQ(next(threads_, client->inbound()), Frame::cursorMove(1, 2, 3, 0, 4));
    EXPECT_EQ(next(threads_, client->inbound()), Frame::keepalive());
    EXPECT_EQ(next(threads_, client->inbound()), std::nullopt);
    EXPECT_EQ(nextState(threads_, *client), TransportState::disconnected("cancelled"));
    EXPECT_TRUE(logs_.contains("WiFiClient", "Frame decode error: unknownFrameType(7)"));
    EXPECT_EQ(logs_.count("WiFiClient", "Frame decode error: decodeFailed"), 1u);
    EXPECT_TRUE(server->waitForEnd());
}

} // namespace
} // namespace tessarine
