// The real `tessarine` program: headless agent, subcommands and signals.

#include "agent/agent_fixture.hpp"
#include "support/tablet_peer.hpp"

#include <gtest/gtest.h>

#include <array>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <optional>
#include <poll.h>
#include <spawn.h>
#include <stdlib.h>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

extern char** environ;

using namespace tessarine;
using namespace tessarine::testing;

namespace {

// A child process with its stdout and stderr collected line by line.
class Program {
public:
    enum Stream { out = 0, err = 1 };

    Program(const std::vector<std::string>& args, const std::map<std::string, std::string>& env) {
        std::array<int, 2> outPipe{}, errPipe{};
        if (pipe2(outPipe.data(), O_CLOEXEC) != 0 || pipe2(errPipe.data(), O_CLOEXEC) != 0)
            throw std::runtime_error("pipe failed");
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_adddup2(&actions, outPipe[1], STDOUT_FILENO);
        posix_spawn_file_actions_adddup2(&actions, errPipe[1], STDERR_FILENO);

        std::vector<std::string> environment;
        for (char** e = environ; *e; ++e) {
            const std::string entry = *e;
            if (!env.contains(entry.substr(0, entry.find('='))))
                environment.push_back(entry);
        }
        for (const auto& [key, value] : env)
            environment.push_back(key + "=" + value);
        auto argv = pointers(args);
        auto envp = pointers(environment);
        const int rc =
            posix_spawn(&pid_, args[0].c_str(), &actions, nullptr, argv.data(), envp.data());
        posix_spawn_file_actions_destroy(&actions);
        close(outPipe[1]);
        close(errPipe[1]);
        fds_ = {outPipe[0], errPipe[0]};
        if (rc != 0)
            throw std::runtime_error("cannot start " + args[0]);
    }

    ~Program() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        for (int fd : fds_)
            if (fd >= 0)
                close(fd);
    }

    void signal(int number) { kill(pid_, number); }

    // The first complete line on the stream that satisfies the predicate.
    std::optional<std::string>
    waitForLine(Stream stream, const std::function<bool(const std::string&)>& predicate) {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        for (;;) {
            for (const auto& line : lines_[stream])
                if (predicate(line))
                    return line;
            if (!readSome(deadline))
                return std::nullopt;
        }
    }

    // Waits for both streams to end and for the exit; the exit status, or
    // nullopt when the process did not finish within the bound.
    std::optional<int> waitForExit() {
        const auto deadline = std::chrono::steady_clock::now() + kTimeout;
        while (fds_[out] >= 0 || fds_[err] >= 0)
            if (!readSome(deadline))
                return std::nullopt;
        int status = 0;
        waitpid(pid_, &status, 0); // both pipes closed: it is exiting
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
    }

    std::string text(Stream stream) const {
        std::string all;
        for (const auto& line : lines_[stream])
            all += line + "\n";
        return all + partial_[stream];
    }

private:
    static std::vector<char*> pointers(const std::vector<std::string>& strings) {
        std::vector<char*> result;
        for (const auto& s : strings)
            result.push_back(const_cast<char*>(s.c_str()));
        result.push_back(nullptr);
        return result;
    }

    // Reads what is available on either stream; false at the deadline or
    // when both streams have ended.
    bool readSome(std::chrono::steady_clock::time_point deadline) {
        std::array<pollfd, 2> polled{};
        for (int i = 0; i < 2; ++i)
            polled[i] = {fds_[i], POLLIN, 0};
        if (fds_[0] < 0 && fds_[1] < 0)
            return false;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0)
            return false;
        const int ready = poll(polled.data(), polled.size(), static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            return true;
        if (ready <= 0)
            return false;
        for (int i = 0; i < 2; ++i) {
            if (fds_[i] < 0 || !(polled[i].revents & (POLLIN | POLLHUP | POLLERR)))
                continue;
            char buffer[4096];
            const ssize_t n = read(fds_[i], buffer, sizeof buffer);
            if (n <= 0) {
                close(fds_[i]);
                fds_[i] = -1;
                continue;
            }
            partial_[i].append(buffer, static_cast<std::size_t>(n));
            for (auto pos = partial_[i].find('\n'); pos != std::string::npos;
                 pos = partial_[i].find('\n')) {
                lines_[i].push_back(partial_[i].substr(0, pos));
                partial_[i].erase(0, pos + 1);
            }
        }
        return true;
    }

    pid_t pid_ = -1;
    std::array<int, 2> fds_{-1, -1};
    std::array<std::vector<std::string>, 2> lines_;
    std::array<std::string, 2> partial_;
};

struct Finished {
    std::optional<int> status;
    std::string out;
    std::string err;
};

class TessarineProgramTest : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/tessarine-program-XXXXXX";
        root_ = mkdtemp(pattern);
        std::filesystem::create_directory(root_ / "run");
        std::filesystem::permissions(root_ / "run", std::filesystem::perms::owner_all);
        env_ = {{"XDG_RUNTIME_DIR", (root_ / "run").native()},
                {"TESSARINE_HOME", (root_ / "home").native()},
                // No system bus: the sleep observer logs and carries on.
                {"DBUS_SYSTEM_BUS_ADDRESS", "unix:path=" + (root_ / "no-bus").native()}};
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    Finished run(std::vector<std::string> args) {
        args.insert(args.begin(), TESSARINE_PROGRAM);
        Program program(args, env_);
        Finished finished;
        finished.status = program.waitForExit();
        finished.out = program.text(Program::out);
        finished.err = program.text(Program::err);
        return finished;
    }

    std::filesystem::path root_;
    std::map<std::string, std::string> env_;
};

} // namespace

TEST_F(TessarineProgramTest, CommandLineWithoutAnAgent) {
    auto help = run({"--help"});
    EXPECT_EQ(help.status, 0);
    EXPECT_NE(help.out.find("Usage: tessarine"), std::string::npos);
    EXPECT_EQ(run({"--port", "70000"}).status, 2);
    EXPECT_EQ(run({"--bogus"}).status, 2);
    EXPECT_EQ(run({"status", "--port", "1"}).status, 2);

    auto status = run({"status"});
    EXPECT_EQ(status.status, 1);
    EXPECT_EQ(status.err, "tessarine: Tessarine is not running\n");
}

TEST_F(TessarineProgramTest, HeadlessAgentAsksAnswersAndQuitsOnSigterm) {
    Program agent({TESSARINE_PROGRAM, "--headless", "--port", "0"}, env_);
    ASSERT_TRUE(agent.waitForLine(Program::err, [](const std::string& line) {
        return line.ends_with("Agent state: listening");
    })) << agent.text(Program::err);
    const auto socket = root_ / "run" / "tessarine" / "control.sock";
    EXPECT_TRUE(std::filesystem::exists(socket));

    auto status = run({"status"});
    ASSERT_EQ(status.status, 0) << status.err;
    const std::string prefix = "Listening on port ";
    ASSERT_TRUE(status.out.starts_with(prefix)) << status.out;
    const auto port = static_cast<std::uint16_t>(std::stoi(status.out.substr(prefix.size())));

    // A second agent finds the first and leaves it alone.
    auto second = run({"--headless", "--port", "0"});
    EXPECT_EQ(second.status, 1);
    EXPECT_NE(second.err.find("tessarine: another Tessarine agent is already running"),
              std::string::npos);

    ExecutorThread executor;
    TabletPeer tablet(executor, port);
    ASSERT_TRUE(tablet.connect());
    tablet.sayHello(helloFrom(kTablet, "Ana's iPad"));
    const std::string id = kTablet.toString();
    auto prompt = agent.waitForLine(Program::out, [](const std::string&) { return true; });
    ASSERT_TRUE(prompt);
    EXPECT_EQ(*prompt, "Tablet \"Ana's iPad\" (" + id +
                           ") wants to connect — allow with: tessarine allow " + id +
                           "   deny with: tessarine deny " + id);

    auto deny = run({"deny", id});
    EXPECT_EQ(deny.status, 0) << deny.err;
    EXPECT_EQ(deny.out, "Denied \"Ana's iPad\" (" + id + ").\n");
    auto denied = tablet.waitForControl<Disconnect>();
    ASSERT_TRUE(denied);
    EXPECT_EQ(denied->reason, "denied");
    tablet.close();

    agent.signal(SIGTERM);
    EXPECT_EQ(agent.waitForExit(), 0) << agent.text(Program::err);
    EXPECT_FALSE(std::filesystem::exists(socket));
    EXPECT_EQ(run({"status"}).status, 1);
}
