#pragma once

#include "diagnostics/logger.hpp"
#include "protocol/uuid.hpp"

#include <exception>
#include <filesystem>
#include <string>

namespace tessarine {

class DeviceIdentityError : public std::exception {
public:
    enum class Code { directoryUnavailable, writeFailed };

    explicit DeviceIdentityError(Code code, int status = 0) : code_(code), status_(status) {}

    Code code() const { return code_; }
    // The errno of the failing call.
    int status() const { return status_; }
    const char* what() const noexcept override;

private:
    Code code_;
    int status_;
};

// The viewer's own identity as a tablet: one UUID kept in a small file in the
// user's configuration folder, so the computer recognises this device again
// after the user allowed it once.
class DeviceIdentity {
public:
    // $XDG_CONFIG_HOME/tessarine-viewer, else ~/.config/tessarine-viewer.
    static std::filesystem::path defaultConfigDir();

    // The id stored in `configDir`/device-id. A missing or unreadable-as-UUID
    // file is replaced by a fresh random id (directory 0700, file 0600,
    // written atomically). Throws DeviceIdentityError.
    static Uuid loadOrCreate(const std::filesystem::path& configDir);

    static constexpr const char* fileName = "device-id";
};

// The computer's user-visible name: PRETTY_HOSTNAME from /etc/machine-info,
// else the host name.
std::string localComputerName();

} // namespace tessarine
