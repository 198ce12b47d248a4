#pragma once

#include <sys/types.h>

#include <chrono>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessarine {

class XServerError : public std::exception {
public:
    enum class Code { notFound, startFailed, timedOut };
    XServerError(Code code, std::string detail);
    Code code() const { return code_; }
    const char* what() const noexcept override { return text_.c_str(); }

private:
    Code code_;
    std::string text_;
};

struct XServerLaunch {
    std::string program;                // absolute path or a name looked up in PATH
    std::vector<std::string> arguments; // without the display and -displayfd
    std::optional<int> displayNumber;   // none: the server picks a free one
    std::chrono::milliseconds readyTimeout{20000};
    std::string logFile;        // the server's stdout/stderr; empty: /dev/null
    bool dieWithParent = false; // SIGTERM when the launching thread ends (tests)
};

// A private X server process (Xvfb, Xorg). The server reports its display
// number through -displayfd once it accepts connections, which is the readiness
// signal; destruction terminates it (SIGTERM, then SIGKILL after a bounded wait).
class XServerProcess {
public:
    // Throws XServerError.
    explicit XServerProcess(const XServerLaunch& launch);
    ~XServerProcess();
    XServerProcess(const XServerProcess&) = delete;
    XServerProcess& operator=(const XServerProcess&) = delete;

    // Tries display numbers from `first` upwards, skipping those with a lock
    // file or socket, until one server starts.
    static std::unique_ptr<XServerProcess> startOnFreeDisplay(XServerLaunch launch, int first,
                                                              int attempts = 64);

    // The program's path, from PATH or the usual X server directories.
    static std::optional<std::string> findProgram(const std::string& name);

    int displayNumber() const { return displayNumber_; }
    std::string displayName() const { return ":" + std::to_string(displayNumber_); }
    pid_t pid() const { return pid_; }
    // False once the process has exited.
    bool running() const;

private:
    void terminate();

    pid_t pid_ = -1;
    int pidfd_ = -1;
    int displayNumber_ = -1;
    mutable bool exited_ = false;
};

} // namespace tessarine
