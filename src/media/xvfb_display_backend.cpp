#include "media/xvfb_display_backend.hpp"

#include "media/x11_connection.hpp"
#include "media/x_server_process.hpp"

#include <fcntl.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>

namespace tessarine {

namespace {

constexpr std::int64_t kMaxSize = 32767;
constexpr char kCookieMethod[] = "MIT-MAGIC-COOKIE-1";

std::vector<std::uint8_t> randomCookie() {
    std::vector<std::uint8_t> cookie(16);
    std::size_t filled = 0;
    while (filled < cookie.size()) {
        const ssize_t n = ::getrandom(cookie.data() + filled, cookie.size() - filled, 0);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            throw VirtualDisplayError::unavailable("no random bytes for the X cookie");
        filled += static_cast<std::size_t>(n);
    }
    return cookie;
}

// An Xauthority file with one entry for any address and display
// (FamilyWild), so both the server (-auth) and ordinary X programs
// (XAUTHORITY) can use it. Private to the user: 0600 in a 0700 directory.
std::string writeAuthority(const std::vector<std::uint8_t>& cookie) {
    namespace fs = std::filesystem;
    fs::path dir = fs::temp_directory_path();
    if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) {
        dir = fs::path(runtime) / "tessarine";
        ::mkdir(dir.c_str(), 0700);
    }
    std::string path = (dir / "Xauthority-XXXXXX").string();
    const int fd = ::mkostemp(path.data(), O_CLOEXEC);
    if (fd < 0)
        throw VirtualDisplayError::unavailable("cannot write the X authority file in " +
                                               dir.string());
    std::string data;
    const auto field = [&data](const void* bytes, std::size_t length) {
        data.push_back(static_cast<char>((length >> 8) & 0xff));
        data.push_back(static_cast<char>(length & 0xff));
        data.append(static_cast<const char*>(bytes), length);
    };
    data.push_back('\xff'); // FamilyWild
    data.push_back('\xff');
    field("", 0); // any address
    field("", 0); // any display number
    field(kCookieMethod, sizeof kCookieMethod - 1);
    field(cookie.data(), cookie.size());
    const bool written = ::write(fd, data.data(), data.size()) == static_cast<ssize_t>(data.size());
    ::close(fd);
    if (!written) {
        ::unlink(path.c_str());
        throw VirtualDisplayError::unavailable("cannot write the X authority file " + path);
    }
    return path;
}

} // namespace

XvfbDisplayBackend::XvfbDisplayBackend(int roomPx, Logger log)
    : roomPx_(std::max(0, roomPx)), log_(std::move(log)) {}

XvfbDisplayBackend::~XvfbDisplayBackend() {
    destroy();
}

VirtualDisplayInfo XvfbDisplayBackend::create(const VirtualDisplayConfiguration&,
                                              PixelSize pixels) {
    if (!XServerProcess::findProgram("Xvfb"))
        throw VirtualDisplayError::unavailable("no X display reachable and Xvfb is not installed");
    if (pixels.width + roomPx_ > kMaxSize || pixels.height + roomPx_ > kMaxSize)
        throw VirtualDisplayError::applySettingsFailed();

    // Without a cookie any local user could watch and drive the display.
    const std::vector<std::uint8_t> cookie = randomCookie();
    const std::string authority = writeAuthority(cookie);
    struct RemoveOnFailure {
        const std::string& path;
        bool keep = false;
        ~RemoveOnFailure() {
            if (!keep)
                ::unlink(path.c_str());
        }
    } authorityGuard{authority};

    XServerLaunch launch;
    launch.program = "Xvfb";
    const std::string screen = std::to_string(pixels.width + roomPx_) + "x" +
                               std::to_string(pixels.height + roomPx_) + "x24";
    // -terminate comes before a non-numeric argument: it takes an optional delay.
    launch.arguments = {"-screen", "0",          screen,  "-terminate", "-auth",
                        authority, "+extension", "RANDR", "-nolisten",  "tcp"};
    std::unique_ptr<XServerProcess> server;
    try {
        server = XServerProcess::startOnFreeDisplay(launch, kFirstDisplayNumber);
    } catch (const XServerError& error) {
        log_.error("Xvfb did not start: %{public}s", error.what());
        if (error.code() == XServerError::Code::notFound)
            throw VirtualDisplayError::unavailable(error.what());
        throw VirtualDisplayError::noDisplayID();
    }
    std::unique_ptr<X11Connection> connection;
    try {
        connection = std::make_unique<X11Connection>(server->displayName(), cookie);
    } catch (const X11ConnectError&) {
        throw VirtualDisplayError::noDisplayID();
    }

    VirtualDisplayInfo info;
    info.displayID = static_cast<std::uint32_t>(server->displayNumber());
    info.xDisplay = server->displayName();
    info.width = static_cast<int>(pixels.width);
    info.height = static_cast<int>(pixels.height);
    info.backend = VirtualDisplayBackendKind::xvfb;
    info.xAuthCookie = cookie;
    info.xAuthorityFile = authority;
    authorityGuard.keep = true;
    authorityFile_ = authority;
    server_ = std::move(server);
    connection_ = std::move(connection);
    return info;
}

void XvfbDisplayBackend::destroy() {
    connection_.reset();
    server_.reset();
    if (!authorityFile_.empty())
        ::unlink(authorityFile_.c_str());
    authorityFile_.clear();
}

bool XvfbDisplayBackend::isActive(std::uint32_t displayID) {
    return server_ && connection_ && displayID != 0 &&
           displayID == static_cast<std::uint32_t>(server_->displayNumber()) &&
           server_->running() && connection_->alive();
}

std::vector<std::uint32_t> XvfbDisplayBackend::activeDisplayIDs() {
    if (server_ && isActive(static_cast<std::uint32_t>(server_->displayNumber())))
        return {static_cast<std::uint32_t>(server_->displayNumber())};
    return {};
}

} // namespace tessarine
