#include "headless/control_socket.hpp"

#include <cerrno>
#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <unistd.h>

namespace tessarine {

const char* ControlError::what() const noexcept {
    switch (code_) {
    case ControlErrorCode::runtimeDirectoryUnavailable:
        return "cannot create the control socket directory";
    case ControlErrorCode::runtimeDirectoryUnsafe:
        return "the control socket directory is not private to this user";
    case ControlErrorCode::alreadyRunning:
        return "another Tessarine agent is already running";
    case ControlErrorCode::socketPathOccupied:
        return "the control socket path is taken by a file that is not a socket";
    case ControlErrorCode::socketPathTooLong:
        return "the control socket path is too long";
    case ControlErrorCode::socketSetupFailed:
        return "cannot listen on the control socket";
    case ControlErrorCode::notRunning:
        return "Tessarine is not running";
    case ControlErrorCode::connectionFailed:
        return "cannot reach Tessarine's control socket";
    case ControlErrorCode::timedOut:
        return "Tessarine did not answer in time";
    case ControlErrorCode::badReply:
        return "Tessarine sent a reply that could not be read";
    }
    return "control socket error";
}

std::filesystem::path defaultControlSocketPath() {
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    // A relative XDG_RUNTIME_DIR is invalid and must be ignored.
    if (runtime && runtime[0] == '/')
        return std::filesystem::path(runtime) / "tessarine" / "control.sock";
    return std::filesystem::path("/tmp") / ("tessarine-" + std::to_string(geteuid())) /
           "control.sock";
}

void checkPrivateDirectory(const std::filesystem::path& directory) {
    struct stat info {};
    if (lstat(directory.c_str(), &info) != 0) {
        if (errno == ENOENT)
            throw ControlError(ControlErrorCode::notRunning, errno);
        throw ControlError(ControlErrorCode::runtimeDirectoryUnavailable, errno);
    }
    // lstat: a symlink is refused rather than followed, so nobody can point us
    // at a directory of their own choosing (the /tmp fallback is shared).
    if (!S_ISDIR(info.st_mode) || info.st_uid != geteuid() || (info.st_mode & 077) != 0)
        throw ControlError(ControlErrorCode::runtimeDirectoryUnsafe);
}

void preparePrivateDirectory(const std::filesystem::path& directory) {
    if (mkdir(directory.c_str(), 0700) != 0 && errno != EEXIST)
        throw ControlError(ControlErrorCode::runtimeDirectoryUnavailable, errno);
    try {
        checkPrivateDirectory(directory);
    } catch (const ControlError& e) {
        if (e.code() == ControlErrorCode::notRunning) // vanished between mkdir and lstat
            throw ControlError(ControlErrorCode::runtimeDirectoryUnavailable, e.status());
        throw;
    }
}

} // namespace tessarine
