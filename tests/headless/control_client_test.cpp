#include "headless/control_client.hpp"

#include "headless/control_socket.hpp"
#include "support/executor_thread.hpp"

#include <gtest/gtest.h>

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>

#include <filesystem>
#include <future>
#include <optional>
#include <stdlib.h>

using namespace tessarine;
using namespace tessarine::testing;
using asio::local::stream_protocol;

TEST(ControlClient, AbsentSilentOrGarbledAgentsAreErrors) {
    char pattern[] = "/tmp/tessarine-client-XXXXXX";
    const std::filesystem::path directory = mkdtemp(pattern); // 0700
    const auto socket = directory / "control.sock";
    auto failure = [&](std::chrono::milliseconds timeout = kTimeout) {
        try {
            ControlClient(socket, timeout).request({{"command", "status"}});
        } catch (const ControlError& e) {
            return std::optional(e.code());
        }
        return std::optional<ControlErrorCode>();
    };

    EXPECT_EQ(failure(), ControlErrorCode::notRunning); // no socket file
    asio::io_context io;
    { stream_protocol::acceptor crashed(io, stream_protocol::endpoint(socket.native())); }
    EXPECT_EQ(failure(), ControlErrorCode::notRunning); // the file a crashed agent left

    std::filesystem::remove(socket);
    stream_protocol::acceptor acceptor(io, stream_protocol::endpoint(socket.native()));
    // Not one JSON object with a boolean "ok" on one line; the last hangs up.
    for (const std::string reply : {"hello\n", "[true]\n", "{\"ok\":\"yes\"}\n", "{\"ok\":true"}) {
        auto served = std::async(std::launch::async, [&acceptor, reply] {
            auto peer = acceptor.accept();
            std::string request;
            asio::read_until(peer, asio::dynamic_buffer(request), '\n');
            asio::write(peer, asio::buffer(reply));
            return request;
        });
        EXPECT_EQ(failure(), ControlErrorCode::badReply) << reply;
        EXPECT_EQ(served.get(), "{\"command\":\"status\"}\n");
    }
    // Listening but never answering: the bound ends the wait.
    EXPECT_EQ(failure(std::chrono::milliseconds(200)), ControlErrorCode::timedOut);
    std::filesystem::remove_all(directory);
}
