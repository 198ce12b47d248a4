// tessarine — the agent that turns a tablet into an extra display, and the
// command line that talks to it while it runs.

#include "agent/agent_controller.hpp"
#include "agent/real_session_media.hpp"
#include "agent/session_media.hpp"
#include "diagnostics/logger.hpp"
#include "headless/control_cli.hpp"
#include "headless/control_client.hpp"
#include "headless/control_socket.hpp"
#include "headless/headless_agent.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/redirect_error.hpp>
#include <asio/signal_set.hpp>
#include <asio/use_awaitable.hpp>

#include <charconv>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <future>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tessarine;

void printUsage(std::ostream& out) {
    out << "Usage: tessarine [--headless] [--port N]\n"
           "       tessarine COMMAND [ID]\n"
           "\n"
           "Turns a tablet into an extra display for this computer. Without a command it\n"
           "starts the agent; the agent runs headless (no tray icon in this build) and\n"
           "asks on its standard output before any new tablet may connect.\n"
           "\n"
           "Options:\n"
           "  --headless     run the agent without a tray icon\n"
           "  --port N       listen for tablets on TCP port N (default 9876; 0 picks one)\n"
           "  --help         show this help\n"
           "\n"
           "Commands (to the running agent):\n"
           "  status         what the agent is doing, and which tablet waits for an answer\n"
           "  devices        the trusted tablets\n"
           "  allow ID       let the waiting tablet connect, and trust it from now on\n"
           "  deny ID        turn the waiting tablet away\n"
           "  disconnect     end the current session\n"
           "  forget ID      stop trusting a tablet\n"
           "  forget-all     stop trusting every tablet\n";
}

// The media every session is built from: the one place that chooses them.
std::shared_ptr<SessionMediaFactory> makeMediaFactory() {
    return makeSessionMedia();
}

struct CommandLine {
    bool help = false;
    bool headless = false;
    std::optional<std::uint16_t> port;
    std::vector<std::string> command; // a control subcommand and its argument
    std::string error;
};

std::optional<std::uint16_t> parsePort(const std::string& text) {
    unsigned value = 0;
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (ec != std::errc() || ptr != end || text.empty() || value > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(value);
}

CommandLine parse(int argc, char** argv) {
    CommandLine line;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (!line.command.empty()) { // after a command: its arguments, as given
            line.command.push_back(arg);
        } else if (arg == "--help" || arg == "-h") {
            line.help = true;
        } else if (arg == "--headless") {
            line.headless = true;
        } else if (arg == "--port" || arg.starts_with("--port=")) {
            std::string value;
            if (arg == "--port") {
                if (i + 1 >= argc) {
                    line.error = "--port needs a number";
                    return line;
                }
                value = argv[++i];
            } else {
                value = arg.substr(std::strlen("--port="));
            }
            line.port = parsePort(value);
            if (!line.port) {
                line.error = "not a port number: " + value;
                return line;
            }
        } else if (arg.starts_with("-")) {
            line.error = "unknown option: " + arg;
            return line;
        } else {
            line.command.push_back(arg);
        }
    }
    if (!line.command.empty() && (line.headless || line.port))
        line.error =
            "--headless and --port start the agent; they do not go with " + line.command.front();
    return line;
}

// Runs the agent until SIGINT or SIGTERM. The agent executor is an io_context
// on a thread of its own; this thread only waits for it.
int runAgent(const CommandLine& line) {
    Logger log("app.tessarine.mac", "Agent");
    if (!line.headless && (std::getenv("DISPLAY") || std::getenv("WAYLAND_DISPLAY")))
        log.info("No tray interface in this build; running headless");

    AgentController::Options options;
    options.port = line.port.value_or(9876);
    options.fps = 60;
    options.media = makeMediaFactory();

    asio::io_context io;
    auto work = asio::make_work_guard(io);
    asio::signal_set signals(io, SIGINT, SIGTERM);
    int exitCode = 0;
    std::promise<void> cleanedUp;

    auto lifetime = [&]() -> asio::awaitable<void> {
        std::unique_ptr<HeadlessAgent> agent;
        bool started = false;
        try {
            agent = std::make_unique<HeadlessAgent>(
                io.get_executor(), options, defaultControlSocketPath(),
                [](std::string prompt) { std::cout << prompt << std::endl; });
            co_await agent->start();
            started = true;
        } catch (const std::exception& e) {
            std::cerr << "tessarine: " << e.what() << "\n";
            exitCode = 1;
        }

        if (started) {
            std::error_code ec;
            const int number =
                co_await signals.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            log.info("Quitting on signal %d", number);
            // A second signal while saying goodbye ends the process at once.
            signals.async_wait([](std::error_code waitError, int) {
                if (!waitError)
                    std::_Exit(130);
            });
        }
        if (agent) {
            try {
                co_await agent->stop();
            } catch (const std::exception& e) {
                log.error("Quit failed: %{public}s", e.what());
            }
            agent.reset();
        }
        std::error_code ignored;
        signals.cancel(ignored);
        work.reset();
        cleanedUp.set_value();
    };

    std::promise<void> ran;
    auto finished = ran.get_future();
    std::thread executor([&] {
        io.run();
        ran.set_value();
    });
    asio::co_spawn(io, std::move(lifetime), asio::detached);

    cleanedUp.get_future().wait();
    // Everything has been stopped; what is left finishes on its own, but a
    // straggler must not keep the process from exiting.
    if (finished.wait_for(std::chrono::seconds(2)) != std::future_status::ready)
        io.stop();
    executor.join();
    return exitCode;
}

} // namespace

int main(int argc, char** argv) {
    // A reader that goes away (tessarine status | head) must not kill us.
    std::signal(SIGPIPE, SIG_IGN);

    const CommandLine line = parse(argc, argv);
    if (line.help) {
        printUsage(std::cout);
        return 0;
    }
    if (!line.error.empty()) {
        std::cerr << "tessarine: " << line.error << "\n\n";
        printUsage(std::cerr);
        return 2;
    }
    if (!line.command.empty()) {
        ControlClient client(defaultControlSocketPath());
        return runControlCommand(line.command, client, std::cout, std::cerr);
    }
    return runAgent(line);
}
