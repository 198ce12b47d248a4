#include "support/dbus_daemon.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <system_error>
#include <vector>

namespace tessarine::test {

namespace {

constexpr int kAddressFd = 3;
constexpr auto kReadyTimeout = std::chrono::seconds(10);

std::optional<std::string> findDaemon() {
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/bin:/bin";
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(':', start), path.size());
        const std::string dir = path.substr(start, end - start);
        if (!dir.empty()) {
            const std::string candidate = dir + "/dbus-daemon";
            if (::access(candidate.c_str(), X_OK) == 0)
                return candidate;
        }
        start = end + 1;
    }
    return std::nullopt;
}

// Anyone may connect, own any name, and send or receive anything: the bus
// stands in for the system bus, whose real policy is not under test.
std::string configuration(const std::filesystem::path& socket) {
    return R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <listen>unix:path=)" +
           socket.string() + R"(</listen>
  <auth>EXTERNAL</auth>
  <policy context="default">
    <allow user="*"/>
    <allow own="*"/>
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
  </policy>
</busconfig>
)";
}

std::runtime_error failure(const std::string& what) {
    return std::runtime_error("dbus-daemon: " + what);
}

} // namespace

std::optional<std::string> DbusDaemon::unavailable() {
    if (!findDaemon())
        return "dbus-daemon is not installed (Debian package dbus-daemon)";
    return std::nullopt;
}

DbusDaemon::DbusDaemon() {
    const auto program = findDaemon();
    if (!program)
        throw failure("not installed");

    std::string pattern = std::filesystem::temp_directory_path() / "tessarine-bus-XXXXXX";
    if (::mkdtemp(pattern.data()) == nullptr)
        throw failure(std::string("mkdtemp: ") + std::strerror(errno));
    directory_ = pattern;
    const auto configPath = directory_ / "bus.conf";
    {
        std::ofstream config(configPath);
        config << configuration(directory_ / "bus.socket");
        if (!config.flush()) {
            std::filesystem::remove_all(directory_);
            throw failure("cannot write " + configPath.string());
        }
    }

    // Prepared before fork: the child may only make async-signal-safe calls.
    std::vector<std::string> args{*program, "--config-file=" + configPath.string(), "--nofork",
                                  "--nopidfile", "--print-address=" + std::to_string(kAddressFd)};
    std::vector<char*> argv;
    for (auto& arg : args)
        argv.push_back(arg.data());
    argv.push_back(nullptr);

    // The daemon's complaints (it cannot raise its descriptor limit when
    // run unprivileged, for one) stay out of the test output unless it fails.
    const std::string logPath = directory_ / "daemon.log";

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) {
        std::filesystem::remove_all(directory_);
        throw failure(std::string("pipe: ") + std::strerror(errno));
    }
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        const int error = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        std::filesystem::remove_all(directory_);
        throw failure(std::string("fork: ") + std::strerror(error));
    }
    if (pid_ == 0) {
        // A crashed test must not leave its bus behind.
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent)
            ::_exit(127);
        const int null = ::open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            ::dup2(null, 0);
            ::dup2(null, 1);
        }
        const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        if (log >= 0)
            ::dup2(log, 2);
        if (fds[1] == kAddressFd)
            ::fcntl(kAddressFd, F_SETFD, 0);
        else
            ::dup2(fds[1], kAddressFd);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);

    // The daemon prints its address and a newline once it accepts connections;
    // end of file first means it exited.
    std::string text;
    std::string problem;
    const auto deadline = std::chrono::steady_clock::now() + kReadyTimeout;
    while (text.find('\n') == std::string::npos) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            problem = "no address within 10 s";
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0) {
            problem = std::string("poll: ") + std::strerror(errno);
            break;
        }
        if (ready == 0)
            continue;
        char buffer[256];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            problem = "exited before printing its address";
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fds[0]);
    if (!problem.empty()) {
        kill();
        std::ifstream log(logPath);
        const std::string output((std::istreambuf_iterator<char>(log)),
                                 std::istreambuf_iterator<char>());
        std::filesystem::remove_all(directory_);
        throw failure(problem + (output.empty() ? "" : ": " + output));
    }
    address_ = text.substr(0, text.find('\n'));
}

DbusDaemon::~DbusDaemon() {
    kill();
    std::error_code ignored;
    std::filesystem::remove_all(directory_, ignored);
}

void DbusDaemon::kill() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGKILL);
    while (::waitpid(pid_, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

ScopedEnvironment::ScopedEnvironment(std::string name, const std::string& value)
    : name_(std::move(name)) {
    if (const char* old = std::getenv(name_.c_str()))
        previous_ = old;
    ::setenv(name_.c_str(), value.c_str(), 1);
}

ScopedEnvironment::~ScopedEnvironment() {
    if (previous_)
        ::setenv(name_.c_str(), previous_->c_str(), 1);
    else
        ::unsetenv(name_.c_str());
}

} // namespace tessarine::test
