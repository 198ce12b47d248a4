#include "net/frame_connection.hpp"

#include <asio/bind_executor.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/read.hpp>
#include <gtest/gtest.h>

#include <array>

#include <netinet/in.h>
#include <netinet/ip.h>
#include <netinet/tcp.h>

namespace tessarine {
namespace {

int option(asio::ip::tcp::socket& socket, int level, int name) {
    int value = -1;
    socklen_t length = sizeof value;
    EXPECT_EQ(::getsockopt(socket.native_handle(), level, name, &value, &length), 0);
    return value;
}

void expectStreamOptions(const char* address, bool v6) {
    asio::io_context io;
    asio::ip::tcp::endpoint endpoint(asio::ip::make_address(address), 0);
    asio::ip::tcp::acceptor listener(io, endpoint);
    asio::ip::tcp::socket client(io);
    client.connect(listener.local_endpoint());
    asio::ip::tcp::socket accepted = listener.accept();
    applyStreamSocketOptions(accepted);
    EXPECT_EQ(option(accepted, IPPROTO_TCP, TCP_NODELAY), 1);
    EXPECT_EQ(option(accepted, SOL_SOCKET, SO_KEEPALIVE), 1);
    EXPECT_EQ(option(accepted, IPPROTO_TCP, TCP_KEEPIDLE), 2);
    EXPECT_EQ(option(accepted, IPPROTO_TCP, TCP_KEEPINTVL), 1);
    EXPECT_EQ(option(accepted, IPPROTO_TCP, TCP_KEEPCNT), 2);
    EXPECT_EQ(option(accepted, IPPROTO_TCP, TCP_USER_TIMEOUT), 5000);
    if (v6)
        EXPECT_EQ(option(accepted, IPPROTO_IPV6, IPV6_TCLASS), 0x88);
    else
        EXPECT_EQ(option(accepted, IPPROTO_IP, IP_TOS), 0x88);
}

TEST(FrameConnectionTest, StreamSocketOptionsOnBothFamilies) {
    expectStreamOptions("127.0.0.1", false);
    expectStreamOptions("::1", true);
}

TEST(FrameConnectionTest, WritesAfterCancelFailWithoutTouchingTheSocket) {
    asio::io_context io;
    auto strand = asio::make_strand(io.get_executor());
    asio::ip::tcp::acceptor listener(io, {asio::ip::make_address("127.0.0.1"), 0});
    asio::ip::tcp::socket socket(strand);
    socket.connect(listener.local_endpoint());
    asio::ip::tcp::socket peer = listener.accept();
    auto connection = std::make_shared<FrameConnection>(std::move(socket), nullptr);

    std::vector<std::string> results;
    auto record = [&results](std::exception_ptr error) {
        if (!error) {
            results.push_back("ok");
            return;
        }
        try {
            std::rethrow_exception(error);
        } catch (const std::system_error& e) {
            results.push_back(e.code() == asio::error::operation_aborted ? "aborted" : "other");
        }
    };
    // Queued before the (plain) handshake: held until it is done.
    connection->write({1, 2, 3}, FrameConnection::WriteDone(asio::bind_executor(strand, record)));
    io.poll();
    io.restart();
    EXPECT_TRUE(results.empty());
    asio::co_spawn(strand, connection->handshake(asio::ssl::stream_base::server), asio::detached);
    io.run_for(std::chrono::seconds(5));
    io.restart();
    ASSERT_EQ(results, std::vector<std::string>{"ok"});
    std::array<std::uint8_t, 3> received{};
    asio::read(peer, asio::buffer(received));
    EXPECT_EQ(received, (std::array<std::uint8_t, 3>{1, 2, 3}));

    connection->cancel();
    connection->write({4}, FrameConnection::WriteDone(asio::bind_executor(strand, record)));
    io.run_for(std::chrono::seconds(5));
    EXPECT_EQ(results, (std::vector<std::string>{"ok", "aborted"}));
    std::error_code ec;
    std::array<std::uint8_t, 1> more{};
    asio::read(peer, asio::buffer(more), ec);
    EXPECT_EQ(ec, asio::error::eof); // nothing was written after the cancel
}

} // namespace
} // namespace tessarine
