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

namespace {

class ControlClientTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tessarine-client-XXXXXX";
        directory_ = mkdtemp(pattern); // 0700
        socket_ = directory_ / "control.sock";
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    std::optional<ControlErrorCode> failure(std::chrono::milliseconds timeout = kTimeout) {
        try {
            ControlClient(socket_, timeout).request({{"command", "status"}});
        } catch (const ControlError& e) {
            return e.code();
        }
        return std::nullopt;
    }

    // Serves one connection: reads the request line, then writes `reply`
    // (nothing when empty) and hangs up.
    std::future<std::string> serveOnce(stream_protocol::acceptor& acceptor, std::string reply) {
        return std::async(std::launch::async, [&acceptor, reply] {
            auto peer = acceptor.accept();
            std::string request;
            asio::read_until(peer, asio::dynamic_buffer(request), '\n');
            if (!reply.empty())
                asio::write(peer, asio::buffer(reply));
            return request;
        });
    }

    std::filesystem::path directory_;
    std::filesystem::path socket_;
    asio::io_context io_;
};

} // namespace

TEST_F(ControlClientTest, NoAgentMeansNotRunning) {
    EXPECT_EQ(failure(), ControlErrorCode::notRunning); // no socket file
    { stream_protocol::acceptor gone(io_, stream_protocol::endpoint(socket_.native())); }
    EXPECT_EQ(failure(), ControlErrorCode::notRunning); // a crashed agent's file
    socket_ = directory_ / "absent" / "control.sock";
    EXPECT_EQ(failure(), ControlErrorCode::notRunning); // no directory
}

TEST_F(ControlClientTest, SendsOneLineAndReadsOneAnswer) {
    stream_protocol::acceptor acceptor(io_, stream_protocol::endpoint(socket_.native()));
    auto served = serveOnce(acceptor, "{\"ok\":true,\"state\":\"idle\"}\n");
    auto reply = ControlClient(socket_).request({{"command", "status"}});
    EXPECT_EQ(reply, nlohmann::json({{"ok", true}, {"state", "idle"}}));
    EXPECT_EQ(served.get(), "{\"command\":\"status\"}\n");
}

TEST_F(ControlClientTest, AnAgentThatDoesNotAnswerProperlyIsAnError) {
    stream_protocol::acceptor acceptor(io_, stream_protocol::endpoint(socket_.native()));
    for (const std::string reply :
         {"hello\n", "[true]\n", "{\"state\":\"idle\"}\n", "{\"ok\":\"yes\"}\n", "{\"ok\":true"}) {
        auto served = serveOnce(acceptor, reply);
        EXPECT_EQ(failure(), ControlErrorCode::badReply) << reply;
        served.get();
    }
    // It hangs up without a word.
    auto served = serveOnce(acceptor, "");
    EXPECT_EQ(failure(), ControlErrorCode::badReply);
    served.get();
}

TEST_F(ControlClientTest, SilenceEndsAtTheBound) {
    // Listening but never accepting: the connection completes in the backlog
    // and the answer never comes.
    stream_protocol::acceptor acceptor(io_, stream_protocol::endpoint(socket_.native()));
    EXPECT_EQ(failure(std::chrono::milliseconds(200)), ControlErrorCode::timedOut);
}

TEST(ControlSocketPath, FollowsTheRuntimeDirectory) {
    const char* saved = std::getenv("XDG_RUNTIME_DIR");
    const std::optional<std::string> previous =
        saved ? std::optional<std::string>(saved) : std::nullopt;
    const std::string fallback = "/tmp/tessarine-" + std::to_string(geteuid()) + "/control.sock";

    setenv("XDG_RUNTIME_DIR", "/run/user/4242", 1);
    EXPECT_EQ(defaultControlSocketPath(), "/run/user/4242/tessarine/control.sock");
    setenv("XDG_RUNTIME_DIR", "relative/dir", 1);
    EXPECT_EQ(defaultControlSocketPath(), fallback);
    unsetenv("XDG_RUNTIME_DIR");
    EXPECT_EQ(defaultControlSocketPath(), fallback);

    if (previous)
        setenv("XDG_RUNTIME_DIR", previous->c_str(), 1);
}
