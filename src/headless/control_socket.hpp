#pragma once

#include <exception>
#include <filesystem>

namespace tessarine {

enum class ControlErrorCode {
    runtimeDirectoryUnavailable, // the socket's directory could not be created or read
    runtimeDirectoryUnsafe,      // not a directory of ours, or open to group/others
    alreadyRunning,              // another agent answers on the socket
    socketPathOccupied,          // something that is not a socket sits at the path
    socketPathTooLong,           // longer than a Unix socket address can hold
    socketSetupFailed,           // bind/listen failed
    notRunning,                  // no agent listens on the socket
    connectionFailed,            // the socket exists but cannot be reached
    timedOut,                    // the agent did not answer within the bound
    badReply,                    // the answer was not one JSON object on one line
};

// Errors of the control socket and its client. status() holds the failing
// errno where a system call failed, else 0.
class ControlError : public std::exception {
public:
    explicit ControlError(ControlErrorCode code, int status = 0) : code_(code), status_(status) {}
    ControlErrorCode code() const { return code_; }
    int status() const { return status_; }
    const char* what() const noexcept override;

private:
    ControlErrorCode code_;
    int status_;
};

// Where the running agent listens: $XDG_RUNTIME_DIR/tessarine/control.sock,
// or /tmp/tessarine-<uid>/control.sock when XDG_RUNTIME_DIR is unset or not
// an absolute path.
std::filesystem::path defaultControlSocketPath();

// Creates the socket's directory (one level, mode 0700) when it is missing and
// checks that it is a real directory owned by this user that nobody else can
// enter. Throws ControlError.
void preparePrivateDirectory(const std::filesystem::path& directory);

// The same check without creating anything; throws ControlError. A missing
// directory is reported as notRunning.
void checkPrivateDirectory(const std::filesystem::path& directory);

} // namespace tessarine
