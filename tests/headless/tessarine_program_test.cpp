// The real `tessarine` program: headless agent, subcommands and signals.

#include "agent/agent_fixture.hpp"
#include "support/tablet_peer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

using namespace tessarine;
using namespace tessarine::testing;

namespace {

// A child process whose stdout and stderr are read, as one stream, line by line.
class Program {
public:
    Program(std::vector<std::string> args, const std::map<std::string, std::string>& env) {
        std::array<int, 2> ends{};
        if (pipe2(ends.data(), O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, ends[1], STDERR_FILENO);
        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e)
            if (!env.contains(std::string(*e).substr(0, std::string(*e).find('='))))
                environment.push_back(*e);
        for (const auto& [key, value] : env)
            environment.push_back(key + "=" + value);
        auto argv = pointers(args), envp = pointers(environment);
        const int rc = posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(ends[1]);
        fd_ = ends[0];
        if (rc != 0)
            throw std::runtime_error("cannot start " + args[0]);
    }
    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        if (fd_ >= 0)
            close(fd_);
    }

    void signal(int number) { kill(pid_, number); }

    // The first line satisfying the predicate, waiting at most kTimeout.
    std::optional<std::string> waitForLine(const std::function<bool(const std::string&)>& wanted) {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        for (std::size_t seen = 0;; ++seen) {
            while (seen == lines_.size())
                if (!readSome(deadline))
                    return std::nullopt;
            if (wanted(lines_[seen]))
                return lines_[seen];
        }
    }

    // Reads to the end of the output, then reaps: the exit status, or
    // nullopt when the output did not end within kTimeout.
    std::optional<int> waitForExit() {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        while (fd_ >= 0)
            if (!readSome(deadline))
                return std::nullopt;
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string output() const {
        std::string all;
        for (const auto& line : lines_)
            all += line + "\n";
        return all + partial_;
    }

private:
    static std::vector<char*> pointers(std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (auto& s : strings)
            result.push_back(s.data());
        result.push_back(nullptr);
        return result;
    }

    // False at the deadline; at the end of the output closes the pipe.
    bool readSome(std::chrono::steady_clock::time_point deadline) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd polled{fd_, POLLIN, 0};
        if (fd_ < 0 || left.count() <= 0 || poll(&polled, 1, static_cast<int>(left.count())) <= 0)
            return false;
        char buffer[4096];
        const ssize_t n = read(fd_, buffer, sizeof buffer);
        if (n <= 0) {
            close(fd_);
            fd_ = -1;
            return true;
        }
        partial_.append(buffer, static_cast<std::size_t>(n));
        for (auto end = partial_.find('\n'); end != std::string::npos; end = partial_.find('\n')) {
            lines_.push_back(partial_.substr(0, end));
            partial_.erase(0, end + 1);
        }
        return true;
    }

    pid_t pid_ = -1;
    int fd_ = -1;
    std::vector<std::string> lines_;
    std::string partial_;
};

struct Finished {
    std::optional<int> status;
    std::string output;
};

} // namespace

TEST(TessarineProgram, HeadlessAgentAsksIsAnsweredAndQuitsOnSigterm) {
    char pattern[] = "/tmp/tessarine-program-XXXXXX";
    const std::filesystem::path root = mkdtemp(pattern);
    std::filesystem::create_directory(root / "run", root); // 0700 like its parent
    const std::map<std::string, std::string> env = {
        {"XDG_RUNTIME_DIR", (root / "run").native()},
        {"TESSARINE_HOME", (root / "home").native()},
        // No system bus: the sleep observer logs and carries on.
        {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (root / "no-bus").native()}};
    auto run = [&](std::vector<std::string> args) {
        args.insert(args.begin(), TESSARINE_PROGRAM);
        Program program(args, env);
        auto status = program.waitForExit();
        return Finished{status, program.output()};
    };

    Program agent({TESSARINE_PROGRAM, "--headless", "--port", "0"}, env);
    ASSERT_TRUE(agent.waitForLine([](const std::string& line) {
        return line.ends_with("Agent state: listening");
    })) << agent.output();
    const auto socket = root / "run" / "tessarine" / "control.sock";
    EXPECT_TRUE(std::filesystem::exists(socket));

    auto status = run({"status"});
    ASSERT_EQ(status.status, 0) << status.output;
    const std::string prefix = "Listening on port ";
    ASSERT_TRUE(status.output.starts_with(prefix)) << status.output;
    const auto port = static_cast<std::uint16_t>(std::stoi(status.output.substr(prefix.size())));

    // A second agent finds the first and leaves it alone.
    auto second = run({"--headless", "--port", "0"});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.output.find("tessarine: another Tessarine agent is already running"),
              std::string::npos);

    ExecutorThread executor;
    TabletPeer tablet(executor, port);
    ASSERT_TRUE(tablet.connect());
    tablet.sayHello(helloFrom(kTablet, "Ana's iPad"));
    const std::string id = kTablet.toString();
    auto prompt = agent.waitForLine([](const std::string& l) { return l.starts_with("Tablet "); });
    ASSERT_TRUE(prompt);
    EXPECT_EQ(*prompt, "Tablet \"Ana's iPad\" (" + id +
                           ") wants to connect — allow with: tessarine allow " + id +
                           "   deny with: tessarine deny " + id);

    auto deny = run({"deny", id});
    EXPECT_EQ(deny.status, 0);
    EXPECT_EQ(deny.output, "Denied \"Ana's iPad\" (" + id + ").\n");
    auto denied = tablet.waitForControl<Disconnect>();
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->reason, "denied");
    tablet.close();

    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitForExit(), 0) << agent.output();
    EXPECT_FALSE(std::filesystem::exists(socket));
    auto gone = run({"status"});
    EXPECT_EQ(gone.status, 1);
    EXPECT_EQ(gone.output, "tessarine: Tessarine is not running\n");
    EXPECT_EQ(run({"--port", "70000"}).status, 2);
    std::filesystem::remove_all(root);
}
