#include "net/wifi_transport_host.hpp"

#include "diagnostics/logger.hpp"
#include "net/frame_connection.hpp"
#include "net/wifi_transport_client.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <map>

namespace tessarine {

// Reaches the host's connection bookkeeping, to replay a platform report that
// arrives late for a connection that has already been replaced.
class WiFiTransportHostTestAccess {
public:
    static std::shared_ptr<FrameConnection> currentConnection(test::IoThreads& threads,
                                                              WiFiTransportHost& host) {
        return test::await(threads,
                           asio::co_spawn(
                               host.strand_,
                               [&host]() -> asio::awaitable<std::shared_ptr<FrameConnection>> {
                                   co_return host.connection_;
                               },
                               asio::use_awaitable));
    }
    static void reportCancelled(test::IoThreads& threads, WiFiTransportHost& host,
                                std::shared_ptr<FrameConnection> connection) {
        test::await(threads, asio::co_spawn(
                                 host.strand_,
                                 [&host, connection]() -> asio::awaitable<void> {
                                     host.onConnectionState(
                                         connection, WiFiTransportHost::ConnectionEvent::cancelled,
                                         {});
                                     co_return;
                                 },
                                 asio::use_awaitable));
    }
};

namespace {

using test::await;
using test::next;
using test::RawPeer;

Bytes pattern(std::size_t size, std::uint64_t seed) {
    Bytes bytes(size);
    for (std::size_t i = 0; i < size; ++i)
        bytes[i] = static_cast<std::uint8_t>((seed * 131 + i * 7) & 0xff);
    return bytes;
}

class WiFiTransportHostTest : public ::testing::Test {
protected:
    void startHost(std::shared_ptr<asio::ssl::context> tls,
                   std::chrono::milliseconds handshakeTimeout = std::chrono::seconds(10)) {
        tls_ = tls;
        host_ = std::make_shared<WiFiTransportHost>(threads_.executor(), 0, "_tessarine._tcp",
                                                    "Test Host", std::move(tls));
        host_->handshakeTimeout = handshakeTimeout;
        await(threads_, host_->start());
        ASSERT_NE(host_->localPort(), 0);
        EXPECT_EQ(nextState(), TransportState::connecting());
    }

    TransportState nextState() {
        auto state = next(threads_, host_->stateStream());
        if (!state)
            throw std::runtime_error("state stream ended");
        return *state;
    }

    Frame nextFrame() {
        auto frame = next(threads_, host_->inbound());
        if (!frame)
            throw std::runtime_error("inbound stream ended");
        return *frame;
    }

    std::unique_ptr<RawPeer> connectRaw(std::shared_ptr<asio::ssl::context> tls = nullptr) {
        return RawPeer::connect(test::loopback(host_->localPort()),
                                tls ? tls : (tls_ ? test::makeClientContext() : nullptr));
    }

    void TearDown() override {
        if (host_)
            await(threads_, host_->stop());
    }

    LogCapture logs_;
    test::IoThreads threads_{2};
    std::shared_ptr<asio::ssl::context> tls_;
    std::shared_ptr<WiFiTransportHost> host_;
};

TEST_F(WiFiTransportHostTest, PeerLifecycleOverTLSWithFramesBothWays) {
    startHost(test::makeServerContext());
    EXPECT_TRUE(logs_.contains("WiFiHost",
                               "Listening on tcp://0.0.0.0:" + std::to_string(host_->localPort()) +
                                   " service=_tessarine._tcp"));
    EXPECT_TRUE(logs_.contains("WiFiHost", "Listener state: ready"));
    EXPECT_EQ(host_->kind(), TransportKind::wifi);
    EXPECT_EQ(host_->currentLink(), std::nullopt);
    EXPECT_EQ(host_->quicPort(), std::nullopt);

    // First peer over IPv4, through the real client transport.
    auto client = std::make_shared<WiFiTransportClient>(
        threads_.executor(), test::loopback(host_->localPort()), test::makeClientContext());
    await(threads_, client->start());
    EXPECT_EQ(nextState(), TransportState::connected());
    EXPECT_TRUE(logs_.contains("WiFiHost", "Connection state: ready"));
    EXPECT_EQ(*next(threads_, client->stateStream()), TransportState::connecting());
    EXPECT_EQ(*next(threads_, client->stateStream()), TransportState::connected());

    await(threads_, client->sendControl(Heartbeat{1234}));
    await(threads_, client->sendCursorMove(5, -3, 700, 1, 9));
    await(threads_, client->sendVideo(pattern(200000, 1), 77)); // spans several reads
    EXPECT_EQ(nextFrame(), Frame::control(Heartbeat{1234}));
    EXPECT_EQ(nextFrame(), Frame::cursorMove(5, -3, 700, 1, 9));
    EXPECT_EQ(nextFrame(), Frame::video(77, pattern(200000, 1)));

    await(threads_, host_->sendControl(DisplayConfig{2732, 2048, 2.0, 60}));
    await(threads_, host_->sendAudio(pattern(10, 2), 5));
    EXPECT_EQ(*next(threads_, client->inbound()),
              Frame::control(DisplayConfig{2732, 2048, 2.0, 60}));
    EXPECT_EQ(*next(threads_, client->inbound()), Frame::audio(5, pattern(10, 2)));

    // The peer goes away cleanly; the listener keeps accepting.
    await(threads_, client->stop());
    EXPECT_EQ(nextState(), TransportState::disconnected("peer closed"));
    EXPECT_THROW(await(threads_, host_->sendControl(RequestKeyframe{})), TransportError);

    // Second peer over IPv6 (the listener is dual-stack).
    asio::ip::tcp::endpoint v6(asio::ip::make_address("::1"), host_->localPort());
    auto second =
        std::make_shared<WiFiTransportClient>(threads_.executor(), v6, test::makeClientContext());
    await(threads_, second->start());
    EXPECT_EQ(nextState(), TransportState::connected());
    await(threads_, second->sendControl(RequestKeyframe{}));
    EXPECT_EQ(nextFrame(), Frame::control(RequestKeyframe{}));
    await(threads_, second->stop());
    EXPECT_EQ(nextState(), TransportState::disconnected("peer closed"));
}

TEST_F(WiFiTransportHostTest, SecondPeerIsRefusedWhileTheFirstStaysUp) {
    startHost(test::makeServerContext());
    auto first = connectRaw();
    EXPECT_EQ(nextState(), TransportState::connected());

    // The newcomer is closed at once: its handshake cannot complete.
    std::unique_ptr<RawPeer> second;
    try {
        second = connectRaw();
    } catch (const std::system_error&) {
        // refused during the handshake, as expected
    }
    if (second) {
        EXPECT_TRUE(second->waitForEnd());
    }
    EXPECT_TRUE(
        logs_.contains("WiFiHost", "Dropping extra incoming connection while one is active"));

    // The first peer is unaffected in both directions.
    const Bytes keepalive = Frame::keepalive().encode();
    first->write(keepalive);
    EXPECT_EQ(nextFrame(), Frame::keepalive());
    await(threads_, host_->sendControl(Heartbeat{9}));
    const Bytes expected = Frame::control(Heartbeat{9}).encode();
    EXPECT_EQ(first->read(expected.size()), expected);

    // The next state belongs to the first peer: the second never connected.
    first->close();
    EXPECT_EQ(nextState(), TransportState::disconnected("peer closed"));
}

TEST_F(WiFiTransportHostTest, LateReportOfAnOldConnectionLeavesTheNewOneAlone) {
    startHost(test::makeServerContext());
    auto first = connectRaw();
    EXPECT_EQ(nextState(), TransportState::connected());
    auto old = WiFiTransportHostTestAccess::currentConnection(threads_, *host_);
    ASSERT_TRUE(old);
    first->close();
    EXPECT_EQ(nextState(), TransportState::disconnected("peer closed"));

    auto second = connectRaw();
    EXPECT_EQ(nextState(), TransportState::connected());
    // One whole frame and half of the next: once the whole one is out, the
    // half sits in the host's reader.
    const Bytes one = Frame::video(1, pattern(100, 1)).encode();
    const Bytes two = Frame::video(2, pattern(100, 2)).encode();
    Bytes chunk = one;
    chunk.insert(chunk.end(), two.begin(), two.begin() + 50);
    second->write(chunk);
    EXPECT_EQ(nextFrame(), Frame::video(1, pattern(100, 1)));

    WiFiTransportHostTestAccess::reportCancelled(threads_, *host_, old);
    EXPECT_EQ(nextState(), TransportState::disconnected("peer cancelled"));

    // The new connection and its buffered half frame are intact.
    second->write(std::span(two).subspan(50));
    EXPECT_EQ(nextFrame(), Frame::video(2, pattern(100, 2)));
    await(threads_, host_->sendControl(Heartbeat{3}));
    const Bytes expected = Frame::control(Heartbeat{3}).encode();
    EXPECT_EQ(second->read(expected.size()), expected);
}

TEST_F(WiFiTransportHostTest, FrameSplitAcrossReadsOverPlainTCP) {
    startHost(nullptr);
    auto peer = connectRaw();
    EXPECT_EQ(nextState(), TransportState::connected());
    const Bytes one = Frame::video(10, pattern(1000, 10)).encode();
    const Bytes two = Frame::video(11, pattern(1000, 11)).encode();
    Bytes chunk = one;
    chunk.insert(chunk.end(), two.begin(), two.begin() + 500);
    peer->write(chunk);
    EXPECT_EQ(nextFrame(), Frame::video(10, pattern(1000, 10)));
    peer->write(std::span(two).subspan(500));
    EXPECT_EQ(nextFrame(), Frame::video(11, pattern(1000, 11)));
}

TEST_F(WiFiTransportHostTest, SendWithoutPeerFailsAtOnce) {
    startHost(test::makeServerContext());
    try {
        await(threads_, host_->sendControl(Heartbeat{1}));
        FAIL() << "send without a peer succeeded";
    } catch (const TransportError& e) {
        EXPECT_EQ(e.domain(), "WiFiTransportHost");
        EXPECT_EQ(e.code(), 1);
        EXPECT_STREQ(e.what(), "No connected peer");
    }
    EXPECT_THROW(await(threads_, host_->sendVideo(pattern(10, 1), 1)), TransportError);
    // Encoding errors reach the caller before any network check.
    CursorImage huge;
    huge.pngData = pattern(70000, 3);
    EXPECT_THROW(await(threads_, host_->sendControl(huge)), WireError);
}

TEST_F(WiFiTransportHostTest, StopEndsBothStreamsAfterStopped) {
    startHost(test::makeServerContext());
    auto peer = connectRaw();
    EXPECT_EQ(nextState(), TransportState::connected());
    const std::uint16_t port = host_->localPort();
    await(threads_, host_->stop());
    EXPECT_EQ(nextState(), TransportState::disconnected("stopped"));
    EXPECT_EQ(next(threads_, host_->stateStream()), std::nullopt);
    EXPECT_EQ(next(threads_, host_->inbound()), std::nullopt);
    EXPECT_TRUE(peer->waitForEnd());
    // The listener is gone too.
    EXPECT_THROW(RawPeer::connect(test::loopback(port), nullptr), std::system_error);
    host_.reset();

    // A host that never started ends the same way.
    auto idle = std::make_shared<WiFiTransportHost>(threads_.executor(), 0, "_tessarine._tcp",
                                                    "Idle", nullptr);
    await(threads_, idle->stop());
    EXPECT_EQ(next(threads_, idle->stateStream()), TransportState::disconnected("stopped"));
    EXPECT_EQ(next(threads_, idle->stateStream()), std::nullopt);
    EXPECT_EQ(next(threads_, idle->inbound()), std::nullopt);
}

TEST_F(WiFiTransportHostTest, StartFailsWhenThePortIsTaken) {
    startHost(nullptr);
    auto other = std::make_shared<WiFiTransportHost>(threads_.executor(), host_->localPort(),
                                                     "_tessarine._tcp", "Other", nullptr);
    EXPECT_THROW(await(threads_, other->start()), std::system_error);
    await(threads_, other->stop());
    EXPECT_EQ(next(threads_, other->stateStream()), TransportState::disconnected("stopped"));
}

TEST_F(WiFiTransportHostTest, ConcurrentSendersArriveIntactAndInOrder) {
    startHost(test::makeServerContext());
    auto client = std::make_shared<WiFiTransportClient>(
        threads_.executor(), test::loopback(host_->localPort()), test::makeClientContext());
    await(threads_, client->start());
    EXPECT_EQ(nextState(), TransportState::connected());

    constexpr int senders = 8;
    constexpr int perSender = 60;
    std::vector<std::future<void>> done;
    for (int s = 0; s < senders; ++s) {
        done.push_back(asio::co_spawn(
            threads_.io(),
            [host = host_, s]() -> asio::awaitable<void> {
                for (int i = 0; i < perSender; ++i) {
                    const std::uint64_t pts = (std::uint64_t(s) << 32) | std::uint64_t(i);
                    // Sizes from a few bytes to several TLS records.
                    const std::size_t size = 1 + (std::size_t(s * 7919 + i * 104729) % 150000);
                    if (i % 3 == 0)
                        co_await host->sendCursorMove(std::uint32_t(i), std::int16_t(s), 0, 0,
                                                      std::uint32_t(s));
                    co_await host->sendVideo(pattern(size, pts), pts);
                }
            },
            asio::use_future));
    }
    std::map<int, int> nextIndex;
    std::map<int, int> cursorCount;
    int received = 0;
    const int expectedTotal = senders * perSender + senders * ((perSender + 2) / 3);
    while (received < expectedTotal) {
        auto frame = next(threads_, client->inbound());
        ASSERT_TRUE(frame);
        ++received;
        if (const auto* move = frame->as<Frame::CursorMove>()) {
            ++cursorCount[move->xPx];
            continue;
        }
        const auto* video = frame->as<Frame::Video>();
        ASSERT_NE(video, nullptr);
        const int s = int(video->pts >> 32);
        const int i = int(video->pts & 0xffffffff);
        ASSERT_EQ(i, nextIndex[s]) << "sender " << s << " out of order";
        ++nextIndex[s];
        const std::size_t size = 1 + (std::size_t(s * 7919 + i * 104729) % 150000);
        ASSERT_EQ(video->payload, pattern(size, video->pts)) << "sender " << s << " frame " << i;
    }
    for (auto& f : done)
        f.get();
    for (int s = 0; s < senders; ++s) {
        EXPECT_EQ(nextIndex[s], perSender);
        EXPECT_EQ(cursorCount[s], (perSender + 2) / 3);
    }
    await(threads_, client->stop());
}

TEST_F(WiFiTransportHostTest, UnframeableStreamDropsThePeerAndTheListenerCarriesOn) {
    startHost(test::makeServerContext());

    // A bad control message costs only that message.
    auto peer = connectRaw();
    EXPECT_EQ(nextState(), TransportState::connected());
    Bytes chunk = {2, 0, 3, '{', '{', '}'};
    const Bytes good = Frame::control(Heartbeat{5}).encode();
    chunk.insert(chunk.end(), good.begin(), good.end());
    peer->write(chunk);
    EXPECT_EQ(nextFrame(), Frame::control(Heartbeat{5}));
    EXPECT_EQ(logs_.count("WiFiHost", "Frame decode error: decodeFailed"), 1u);

    // An unknown frame type cannot be skipped: the peer is dropped.
    Bytes bad = Frame::keepalive().encode();
    bad.insert(bad.end(), {6, 1, 2, 3, 4});
    peer->write(bad);
    EXPECT_EQ(nextFrame(), Frame::keepalive());
    EXPECT_EQ(nextState(), TransportState::disconnected("peer cancelled"));
    EXPECT_TRUE(logs_.contains("WiFiHost", "Frame decode error: unknownFrameType(6)"));
    EXPECT_TRUE(peer->waitForEnd());

    // So is one that announces a payload beyond the reader's limit.
    auto greedy = connectRaw();
    EXPECT_EQ(nextState(), TransportState::connected());
    greedy->write(Bytes{1, 0, 0, 0, 0, 0, 0, 0, 1, 0xff, 0xff, 0xff, 0xff});
    EXPECT_EQ(nextState(), TransportState::disconnected("peer cancelled"));
    EXPECT_EQ(logs_.count("WiFiHost", "Frame decode error: frameTooLarge"), 1u);
    EXPECT_TRUE(greedy->waitForEnd());

    // A new peer is served normally.
    auto fresh = connectRaw();
    EXPECT_EQ(nextState(), TransportState::connected());
    fresh->write(Frame::cursorMove(1, 2, 3, 4, 5).encode());
    EXPECT_EQ(nextFrame(), Frame::cursorMove(1, 2, 3, 4, 5));
}

TEST_F(WiFiTransportHostTest, TLS12ClientIsRefusedAndTheNextPeerConnects) {
    startHost(test::makeServerContext());
    EXPECT_THROW(connectRaw(test::makeClientContext(true)), std::system_error);
    const TransportState refused = nextState();
    EXPECT_EQ(refused.kind, TransportState::Kind::failed);
    EXPECT_FALSE(refused.reason.empty());
    EXPECT_EQ(logs_.count("WiFiHost", "Connection state: failed("), 1u);

    auto peer = connectRaw();
    EXPECT_EQ(nextState(), TransportState::connected());
}

TEST_F(WiFiTransportHostTest, SilentPeerCannotHoldTheSlotPastTheHandshakeDeadline) {
    startHost(test::makeServerContext(), std::chrono::milliseconds(200));
    // Connects but never starts TLS.
    auto silent = RawPeer::connect(test::loopback(host_->localPort()), nullptr);
    EXPECT_EQ(nextState(),
              TransportState::failed(std::make_error_code(std::errc::timed_out).message()));
    EXPECT_TRUE(silent->waitForEnd());
    auto peer = connectRaw();
    EXPECT_EQ(nextState(), TransportState::connected());
}

TEST_F(WiFiTransportHostTest, DropCurrentPeerReportsPeerCancelled) {
    startHost(test::makeServerContext());
    host_->dropCurrentPeer(); // nothing to drop
    auto peer = connectRaw();
    EXPECT_EQ(nextState(), TransportState::connected());
    host_->dropCurrentPeer();
    EXPECT_EQ(nextState(), TransportState::disconnected("peer cancelled"));
    EXPECT_TRUE(peer->waitForEnd());
    EXPECT_THROW(await(threads_, host_->sendControl(Heartbeat{1})), TransportError);
    auto next = connectRaw();
    EXPECT_EQ(nextState(), TransportState::connected());
}

} // namespace
} // namespace tessarine
