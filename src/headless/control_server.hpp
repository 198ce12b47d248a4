#pragma once

#include "agent/agent_controller.hpp"
#include "diagnostics/logger.hpp"

#include <asio/any_io_executor.hpp>
#include <nlohmann/json_fwd.hpp>

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <memory>
#include <string_view>
#include <sys/types.h>

namespace tessarine {

struct ControlServerState;

// The headless agent's local control socket: a Unix stream socket in a
// directory private to the user (0700, socket 0600) that answers one JSON
// object per line with one JSON object per line, e.g.
//   {"command":"allow","id":"UUID"}  ->  {"ok":true,"id":"UUID","name":"Ana's tablet"}
// Requests: status, devices, allow, deny (with "id"), disconnect, forget (with
// "id") and forget-all. Failures answer {"ok":false,"error":"..."}; no request,
// however malformed, affects the agent beyond what it asks for.
//
// Lives on the agent executor, like the controller it drives: construct,
// start(), stop() and destroy it there.
class ControlServer {
public:
    // The longest request line (with its newline); a longer one is answered
    // with an error and its connection closed.
    static constexpr std::size_t maxRequestBytes = 64 * 1024;
    // Connections served at once; more are answered with an error and closed.
    static constexpr std::size_t maxClients = 16;
    // A connection that sends no complete request for this long is closed.
    static constexpr std::chrono::milliseconds defaultIdleTimeout{30'000};

    ControlServer(asio::any_io_executor executor, std::shared_ptr<AgentController> controller,
                  std::filesystem::path socketPath,
                  std::chrono::milliseconds idleTimeout = defaultIdleTimeout);
    ~ControlServer();
    ControlServer(const ControlServer&) = delete;
    ControlServer& operator=(const ControlServer&) = delete;

    // Prepares the directory, replaces a stale socket left by a crashed run,
    // binds and starts accepting. Throws ControlError (alreadyRunning when
    // another agent answers on the socket). Does nothing when started.
    void start();
    // Closes the socket and every connection and removes the socket file.
    void stop();

    const std::filesystem::path& socketPath() const { return socketPath_; }

    // The answer to one request line.
    static nlohmann::json answer(AgentController& controller, std::string_view line);

private:
    asio::any_io_executor executor_;
    std::filesystem::path socketPath_;
    // What the accept loop and the connections share; they outlive a stop().
    std::shared_ptr<ControlServerState> shared_;
    int lockFd_ = -1; // held (flock) while serving
    dev_t boundDevice_ = 0;
    ino_t boundInode_ = 0;
};

} // namespace tessarine
