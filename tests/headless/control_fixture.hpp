#pragma once

#include "agent/agent_fixture.hpp"
#include "headless/control_client.hpp"
#include "headless/control_server.hpp"

#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/write.hpp>

#include <filesystem>
#include <memory>
#include <string>

namespace tessarine::testing {

using nlohmann::json;

// A controller (fake media, loopback port, temporary keychain) with its
// control socket in a private directory under the test's home.
class ControlServerTest : public AgentControllerTest {
protected:
    void TearDown() override {
        if (server_)
            executor_.call([&] { server_.reset(); });
        AgentControllerTest::TearDown();
    }

    void startServer(std::chrono::milliseconds idle = ControlServer::defaultIdleTimeout) {
        startController();
        socket_ = home_ / "run" / "control.sock";
        server_ = executor_.call([&] {
            auto server =
                std::make_unique<ControlServer>(executor_.executor(), controller_, socket_, idle);
            server->start();
            return server;
        });
    }

    json request(const json& r) { return ControlClient(socket_).request(r); }
    json command(const std::string& name) { return request({{"command", name}}); }
    json command(const std::string& name, const std::string& id) {
        return request({{"command", name}, {"id", id}});
    }

    const std::filesystem::path& home_ = keychain_.home(); // private to the test
    std::filesystem::path socket_;
    std::unique_ptr<ControlServer> server_;
};

// A bare connection to a control socket, for what ControlClient never sends.
class RawControlConnection {
public:
    explicit RawControlConnection(const std::filesystem::path& path) : socket_(io_) {
        socket_.connect(asio::local::stream_protocol::endpoint(path.native()));
    }

    // The server may close a connection it refuses while we still write.
    void send(const std::string& bytes) {
        std::error_code ignored;
        asio::write(socket_, asio::buffer(bytes), ignored);
    }

    // One reply line, or nullopt when the server closed the connection. The
    // server answers promptly; kTimeout bounds a server that would not.
    std::optional<json> readReply() {
        std::error_code ec;
        std::size_t length = 0;
        bool done = false;
        asio::async_read_until(socket_, asio::dynamic_buffer(buffer_), '\n',
                               [&](std::error_code e, std::size_t n) {
                                   ec = e;
                                   length = n;
                                   done = true;
                               });
        io_.restart();
        io_.run_for(kTimeout);
        if (!done)
            throw std::runtime_error("no reply within the bound");
        if (ec)
            return std::nullopt;
        auto reply = json::parse(buffer_.substr(0, length - 1));
        buffer_.erase(0, length);
        return reply;
    }

    // Whether the server closes the connection (within the bound).
    bool closedByServer() {
        try {
            return !readReply().has_value();
        } catch (const std::runtime_error&) {
            return false;
        }
    }

    asio::local::stream_protocol::socket& socket() { return socket_; }

private:
    asio::io_context io_;
    asio::local::stream_protocol::socket socket_;
    std::string buffer_;
};

} // namespace tessarine::testing
