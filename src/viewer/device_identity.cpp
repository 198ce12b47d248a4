#include "viewer/device_identity.hpp"

#include <array>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <optional>
#include <sys/stat.h>
#include <unistd.h>

namespace tessarine {

namespace {

const Logger& log() {
    static const Logger logger("app.tessarine.viewer", "Viewer");
    return logger;
}

std::string trim(std::string text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    if (first == std::string::npos)
        return {};
    const auto last = text.find_last_not_of(" \t\r\n");
    return text.substr(first, last - first + 1);
}

// Reads at most a small prefix: a valid file is 37 bytes, anything far
// larger is corrupt anyway.
std::optional<std::string> readSmallFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::array<char, 256> buffer{};
    in.read(buffer.data(), buffer.size());
    return std::string(buffer.data(), static_cast<std::size_t>(in.gcount()));
}

void writeAtomically(const std::filesystem::path& path, const std::string& contents) {
    const auto temp = path.parent_path() / (path.filename().string() + ".tmp");
    ::unlink(temp.c_str());
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        throw DeviceIdentityError(DeviceIdentityError::Code::writeFailed, errno);
    std::size_t written = 0;
    while (written < contents.size()) {
        const ssize_t n = ::write(fd, contents.data() + written, contents.size() - written);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            const int error = errno;
            ::close(fd);
            ::unlink(temp.c_str());
            throw DeviceIdentityError(DeviceIdentityError::Code::writeFailed, error);
        }
        written += static_cast<std::size_t>(n);
    }
    if (::fsync(fd) != 0 || ::close(fd) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        throw DeviceIdentityError(DeviceIdentityError::Code::writeFailed, error);
    }
    if (::rename(temp.c_str(), path.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        throw DeviceIdentityError(DeviceIdentityError::Code::writeFailed, error);
    }
    const int dir = ::open(path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir >= 0) {
        ::fsync(dir);
        ::close(dir);
    }
}

} // namespace

const char* DeviceIdentityError::what() const noexcept {
    switch (code_) {
    case Code::directoryUnavailable:
        return "The viewer's configuration folder cannot be created";
    case Code::writeFailed:
        return "The device id cannot be written";
    }
    return "Device identity error";
}

std::filesystem::path DeviceIdentity::defaultConfigDir() {
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && *xdg == '/')
        return std::filesystem::path(xdg) / "tessarine-viewer";
    const char* home = std::getenv("HOME");
    return std::filesystem::path(home && *home ? home : ".") / ".config" / "tessarine-viewer";
}

Uuid DeviceIdentity::loadOrCreate(const std::filesystem::path& configDir) {
    std::error_code ec;
    if (std::filesystem::create_directories(configDir, ec))
        std::filesystem::permissions(configDir, std::filesystem::perms::owner_all, ec);
    if (ec || !std::filesystem::is_directory(configDir))
        throw DeviceIdentityError(DeviceIdentityError::Code::directoryUnavailable,
                                  ec ? ec.value() : ENOTDIR);
    const auto path = configDir / fileName;
    if (auto contents = readSmallFile(path)) {
        if (auto id = Uuid::parse(trim(*contents)))
            return *id;
        log().error("Device id file %{public}s is corrupt — replacing it", path.string());
    }
    const Uuid id = Uuid::random();
    writeAtomically(path, id.toString() + "\n");
    log().info("Created device id %{public}s in %{public}s", id.toString(), path.string());
    return id;
}

std::string localComputerName() {
    std::ifstream info("/etc/machine-info");
    for (std::string line; std::getline(info, line);) {
        const std::string key = "PRETTY_HOSTNAME=";
        if (line.rfind(key, 0) != 0)
            continue;
        std::string value = trim(line.substr(key.size()));
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (!value.empty())
            return value;
    }
    std::array<char, 256> name{};
    if (::gethostname(name.data(), name.size() - 1) == 0 && name[0] != '\0')
        return name.data();
    return "Linux viewer";
}

} // namespace tessarine
