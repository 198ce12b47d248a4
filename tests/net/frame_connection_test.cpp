#include "net/frame_connection.hpp"

#include <gtest/gtest.h>

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

} // namespace
} // namespace tessarine
