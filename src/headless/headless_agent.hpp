#pragma once

#include "agent/agent_controller.hpp"
#include "diagnostics/logger.hpp"
#include "headless/control_server.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>

#include <chrono>
#include <filesystem>
#include <functional>
#include <memory>
#include <string>

namespace tessarine {

// The agent without a user interface: the controller, a log line for every
// change of its state, one printed line per tablet that waits for approval,
// and the control socket through which the user answers (`tessarine allow`).
// No tablet is ever trusted without that answer.
//
// Lives on the agent executor: construct, start(), stop() and destroy it there.
class HeadlessAgent {
public:
    // How long quitting waits for the goodbye to reach the tablet.
    static constexpr std::chrono::milliseconds quitPatience{300};

    // onPrompt receives each line meant for the user (the trust prompts).
    HeadlessAgent(asio::any_io_executor executor, AgentController::Options options,
                  std::filesystem::path socketPath, std::function<void(std::string)> onPrompt);
    ~HeadlessAgent();
    HeadlessAgent(const HeadlessAgent&) = delete;
    HeadlessAgent& operator=(const HeadlessAgent&) = delete;

    // Opens the control socket (throws ControlError, e.g. when another agent
    // runs) and then starts the controller. A listener that cannot start
    // leaves the controller failed, as `tessarine status` then reports.
    asio::awaitable<void> start();
    // Says goodbye to the tablet, ends the session, stops listening and
    // removes the control socket. Once is enough; later calls do nothing.
    asio::awaitable<void> stop();

    const std::shared_ptr<AgentController>& controller() const { return controller_; }
    const ControlServer& controlServer() const { return server_; }

private:
    Logger log_{"app.tessarine.mac", "Agent"};
    std::shared_ptr<AgentController> controller_;
    ControlServer server_;
    bool stopped_ = false;
};

} // namespace tessarine
