#include "media/x_server_process.hpp"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>

namespace tessarine {

namespace {

constexpr int kDisplayFd = 3;

int openPidfd(pid_t pid) {
    return static_cast<int>(::syscall(SYS_pidfd_open, pid, 0));
}

// Waits until the pidfd becomes readable (the process exited) or the timeout passes.
bool waitExit(int pidfd, std::chrono::milliseconds timeout) {
    pollfd p{pidfd, POLLIN, 0};
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        const int rc = ::poll(&p, 1, static_cast<int>(std::max<long>(0, left.count())));
        if (rc > 0)
            return true;
        if (rc == 0)
            return false;
        if (errno != EINTR)
            return false;
    }
}

} // namespace

XServerError::XServerError(Code code, std::string detail) : code_(code) {
    switch (code) {
    case Code::notFound:
        text_ = "X server program not found: ";
        break;
    case Code::startFailed:
        text_ = "X server failed to start: ";
        break;
    case Code::timedOut:
        text_ = "X server did not become ready in time: ";
        break;
    }
    text_ += detail;
}

std::optional<std::string> XServerProcess::findProgram(const std::string& name) {
    namespace fs = std::filesystem;
    if (name.find('/') != std::string::npos)
        return ::access(name.c_str(), X_OK) == 0 ? std::optional(name) : std::nullopt;
    std::string path = std::getenv("PATH") ? std::getenv("PATH") : "";
    path += ":/usr/bin:/usr/lib/xorg";
    std::size_t start = 0;
    while (start <= path.size()) {
        const std::size_t end = std::min(path.find(':', start), path.size());
        const std::string dir = path.substr(start, end - start);
        if (!dir.empty()) {
            const fs::path candidate = fs::path(dir) / name;
            if (::access(candidate.c_str(), X_OK) == 0)
                return candidate.string();
        }
        start = end + 1;
    }
    return std::nullopt;
}

XServerProcess::XServerProcess(const XServerLaunch& launch) {
    const auto program = findProgram(launch.program);
    if (!program)
        throw XServerError(XServerError::Code::notFound, launch.program);

    // Everything the child needs is prepared before fork: after it only
    // async-signal-safe calls are allowed.
    std::vector<std::string> args{*program};
    if (launch.displayNumber)
        args.push_back(":" + std::to_string(*launch.displayNumber));
    args.insert(args.end(), launch.arguments.begin(), launch.arguments.end());
    args.push_back("-displayfd");
    args.push_back(std::to_string(kDisplayFd));
    std::vector<char*> argv;
    for (auto& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    const std::string logFile = launch.logFile.empty() ? "/dev/null" : launch.logFile;

    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0)
        throw XServerError(XServerError::Code::startFailed, std::strerror(errno));
    const pid_t parent = ::getpid();
    pid_ = ::fork();
    if (pid_ < 0) {
        const int err = errno;
        ::close(fds[0]);
        ::close(fds[1]);
        throw XServerError(XServerError::Code::startFailed, std::strerror(err));
    }
    if (pid_ == 0) {
        if (launch.dieWithParent) {
            ::prctl(PR_SET_PDEATHSIG, SIGTERM);
            if (::getppid() != parent)
                ::_exit(127);
        }
        // Own process group, so terminal signals aimed at the tests spare it.
        ::setpgid(0, 0);
        const int log = ::open(logFile.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
        const int null = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
        if (null >= 0)
            ::dup2(null, 0);
        if (log >= 0) {
            ::dup2(log, 1);
            ::dup2(log, 2);
        }
        if (fds[1] == kDisplayFd)
            ::fcntl(kDisplayFd, F_SETFD, 0);
        else
            ::dup2(fds[1], kDisplayFd);
        ::execv(argv[0], argv.data());
        ::_exit(127);
    }
    ::close(fds[1]);
    pidfd_ = openPidfd(pid_);

    // The server writes its display number and a newline once it listens.
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + launch.readyTimeout;
    bool ready = false;
    std::string failure;
    XServerError::Code failureCode = XServerError::Code::startFailed;
    while (!ready) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) {
            failureCode = XServerError::Code::timedOut;
            failure = *program;
            break;
        }
        pollfd p{fds[0], POLLIN, 0};
        const int rc = ::poll(&p, 1, static_cast<int>(left.count()));
        if (rc < 0 && errno == EINTR)
            continue;
        if (rc <= 0)
            continue;
        char buffer[32];
        const ssize_t n = ::read(fds[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            failure = *program + " exited before reporting its display";
            break;
        }
        text.append(buffer, static_cast<std::size_t>(n));
        if (text.find('\n') != std::string::npos)
            ready = true;
    }
    ::close(fds[0]);
    if (ready) {
        char* end = nullptr;
        const long number = std::strtol(text.c_str(), &end, 10);
        if (end != text.c_str() && number >= 0 && number < 65536) {
            displayNumber_ = static_cast<int>(number);
            return;
        }
        failure = *program + " reported an invalid display \"" + text + "\"";
    }
    terminate();
    throw XServerError(failureCode, failure);
}

XServerProcess::~XServerProcess() {
    terminate();
}

std::unique_ptr<XServerProcess> XServerProcess::startOnFreeDisplay(XServerLaunch launch, int first,
                                                                   int attempts) {
    std::string lastError = "no free display number";
    for (int number = first; number < first + attempts; ++number) {
        const std::string socket = "/tmp/.X11-unix/X" + std::to_string(number);
        const std::string lock = "/tmp/.X" + std::to_string(number) + "-lock";
        if (::access(socket.c_str(), F_OK) == 0 || ::access(lock.c_str(), F_OK) == 0)
            continue;
        launch.displayNumber = number;
        try {
            return std::make_unique<XServerProcess>(launch);
        } catch (const XServerError& error) {
            // Lost a race for this number to another server: try the next one.
            if (error.code() != XServerError::Code::startFailed)
                throw;
            lastError = error.what();
        }
    }
    throw XServerError(XServerError::Code::startFailed, lastError);
}

bool XServerProcess::running() const {
    if (exited_ || pid_ <= 0)
        return false;
    siginfo_t info{};
    if (::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
        info.si_pid == pid_) {
        exited_ = true;
        return false;
    }
    return true;
}

void XServerProcess::terminate() {
    if (pid_ <= 0)
        return;
    ::kill(pid_, SIGTERM);
    bool gone = pidfd_ >= 0 && waitExit(pidfd_, std::chrono::seconds(5));
    if (!gone) {
        ::kill(pid_, SIGKILL);
        if (pidfd_ >= 0)
            waitExit(pidfd_, std::chrono::seconds(5));
    }
    int status = 0;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    if (pidfd_ >= 0)
        ::close(pidfd_);
    pidfd_ = -1;
    pid_ = -1;
    exited_ = true;
}

} // namespace tessarine
