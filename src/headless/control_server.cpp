#include "headless/control_server.hpp"

#include "headless/control_socket.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <set>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace tessarine {
namespace {

using json = nlohmann::json;
using Kind = AgentController::State::Kind;
using StreamSocket = asio::local::stream_protocol::socket;

json failure(std::string text) {
    return {{"ok", false}, {"error", std::move(text)}};
}

// Names come from tablets; a byte sequence that is not UTF-8 must not stop
// the reply from being written.
std::string serialise(const json& reply) {
    return reply.dump(-1, ' ', false, json::error_handler_t::replace) + '\n';
}

bool isBlank(std::string_view text) {
    return std::all_of(text.begin(), text.end(),
                       [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; });
}

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::handshaking:
        return "handshaking";
    case Kind::awaitingAccept:
        return "awaitingAccept";
    case Kind::live:
        return "live";
    case Kind::failed:
        return "failed";
    case Kind::idle:
        return "idle";
    case Kind::listening:
        return "listening";
    }
    return "unknown";
}

// The tablet whose trust decision is still open. After a denial the state
// stays awaitingAccept until the connection ends, but the peer is gone, so
// both must agree.
std::optional<Uuid> pendingRequest(const AgentController& controller) {
    const auto& state = controller.state();
    if (state.kind != Kind::awaitingAccept || controller.currentPeerId() != state.deviceId)
        return std::nullopt;
    return state.deviceId;
}

std::optional<Uuid> requestId(const json& request) {
    auto it = request.find("id");
    if (it == request.end() || !it->is_string())
        return std::nullopt;
    return Uuid::parse(it->get_ref<const std::string&>());
}

json statusReply(const AgentController& controller) {
    const auto& state = controller.state();
    json reply = {{"ok", true},
                  {"state", kindName(state.kind)},
                  {"description", state.description()},
                  {"trustedCount", controller.trustedCount()}};
    if (state.peerName)
        reply["peerName"] = *state.peerName;
    if (auto pending = pendingRequest(controller))
        reply["pending"] = {{"id", pending->toString()}, {"name", state.peerName.value_or("")}};
    if (state.kind == Kind::live)
        reply["framesEncoded"] = state.framesEncoded;
    if (state.kind == Kind::failed)
        reply["failure"] = state.error;
    if (auto host = controller.transport(); host && host->localPort() != 0)
        reply["port"] = host->localPort();
    return reply;
}

json devicesReply(const AgentController& controller) {
    json devices = json::array();
    for (const auto& device : controller.trustedDevices())
        devices.push_back({{"id", device.id.toString()}, {"name", device.name}});
    return {{"ok", true}, {"devices", std::move(devices)}};
}

json resolveReply(AgentController& controller, const json& request, bool allow) {
    auto id = requestId(request);
    if (!id)
        return failure("missing or invalid id");
    if (pendingRequest(controller) != id)
        return failure("no pending request for that id");
    const std::string name = controller.state().peerName.value_or("");
    controller.resolveTrust(*id, allow);
    return {{"ok", true}, {"id", id->toString()}, {"name", name}};
}

json disconnectReply(AgentController& controller) {
    // A command that would do nothing says so.
    if (!controller.currentPeerId() && controller.state().kind != Kind::handshaking)
        return failure("no tablet is connected");
    controller.disconnect("disconnected");
    return {{"ok", true}};
}

json forgetReply(AgentController& controller, const json& request) {
    auto id = requestId(request);
    if (!id)
        return failure("missing or invalid id");
    const auto& devices = controller.trustedDevices();
    auto it = std::find_if(devices.begin(), devices.end(),
                           [&](const TrustedDevice& device) { return device.id == *id; });
    if (it == devices.end())
        return failure("no trusted tablet with that id");
    const std::string name = it->name;
    controller.forget(*id);
    return {{"ok", true}, {"id", id->toString()}, {"name", name}};
}

json forgetAllReply(AgentController& controller) {
    const int count = controller.trustedCount();
    controller.forgetAll();
    return {{"ok", true}, {"forgotten", count}};
}

// One client connection; the deadline closes it when it idles.
struct Connection {
    Connection(StreamSocket s, std::chrono::milliseconds idleTimeout)
        : socket(std::move(s)), deadline(socket.get_executor(), idleTimeout),
          idleTimeout(idleTimeout) {}

    void close() {
        std::error_code ignored;
        socket.close(ignored);
        deadline.cancel();
    }

    StreamSocket socket;
    asio::steady_timer deadline;
    const std::chrono::milliseconds idleTimeout;
};

bool peerIsThisUser(StreamSocket& socket) {
    ucred credentials{};
    socklen_t size = sizeof credentials;
    if (getsockopt(socket.native_handle(), SOL_SOCKET, SO_PEERCRED, &credentials, &size) != 0)
        return false;
    return credentials.uid == geteuid();
}

} // namespace

struct ControlServerState {
    ControlServerState(asio::any_io_executor executor, std::shared_ptr<AgentController> controller,
                       std::chrono::milliseconds idleTimeout)
        : acceptor(executor), controller(std::move(controller)), idleTimeout(idleTimeout) {}

    asio::local::stream_protocol::acceptor acceptor;
    std::shared_ptr<AgentController> controller;
    std::set<std::shared_ptr<Connection>> connections;
    Logger log{"app.tessarine.mac", "Control"};
    const std::chrono::milliseconds idleTimeout;
    bool stopped = false;
};

namespace {

asio::awaitable<void> refuse(std::shared_ptr<Connection> connection, std::string reason) {
    const std::string text = serialise(failure(std::move(reason)));
    std::error_code ignored;
    co_await asio::async_write(connection->socket, asio::buffer(text),
                               asio::redirect_error(asio::use_awaitable, ignored));
    connection->close();
}

asio::awaitable<void> watchIdle(std::shared_ptr<Connection> connection) {
    while (connection->socket.is_open()) {
        std::error_code ignored;
        co_await connection->deadline.async_wait(
            asio::redirect_error(asio::use_awaitable, ignored));
        // A wait cut short by a new deadline just waits again.
        if (connection->deadline.expiry() <= asio::steady_timer::clock_type::now())
            connection->close();
    }
}

asio::awaitable<void> serve(std::shared_ptr<ControlServerState> shared,
                            std::shared_ptr<Connection> connection) {
    std::string buffer;
    for (;;) {
        connection->deadline.expires_after(connection->idleTimeout);
        std::error_code ec;
        const std::size_t length = co_await asio::async_read_until(
            connection->socket, asio::dynamic_buffer(buffer, ControlServer::maxRequestBytes), '\n',
            asio::redirect_error(asio::use_awaitable, ec));
        if (shared->stopped)
            break;

        std::string line;
        bool last = false;
        json reply;
        if (!ec) {
            line = buffer.substr(0, length - 1);
            buffer.erase(0, length);
        } else if (ec == asio::error::not_found) {
            // The rest of an oversized line cannot be told from the next
            // request, so this connection ends after the answer.
            shared->log.debug("Control request longer than %zu bytes refused",
                              ControlServer::maxRequestBytes);
            reply = failure("request too long (the limit is " +
                            std::to_string(ControlServer::maxRequestBytes) + " bytes)");
            last = true;
        } else if (ec == asio::error::eof && !isBlank(buffer)) {
            line = std::move(buffer); // a final request without its newline
            last = true;
        } else {
            break;
        }

        if (reply.is_null()) {
            if (isBlank(line)) {
                if (last)
                    break;
                continue;
            }
            reply = ControlServer::answer(*shared->controller, line);
        }
        const std::string text = serialise(reply);
        co_await asio::async_write(connection->socket, asio::buffer(text),
                                   asio::redirect_error(asio::use_awaitable, ec));
        if (ec || last)
            break;
    }
    connection->close();
    shared->connections.erase(connection);
}

asio::awaitable<void> acceptLoop(std::shared_ptr<ControlServerState> shared) {
    auto executor = shared->acceptor.get_executor();
    for (;;) {
        StreamSocket socket(executor);
        std::error_code ec;
        co_await shared->acceptor.async_accept(socket,
                                               asio::redirect_error(asio::use_awaitable, ec));
        if (shared->stopped || !shared->acceptor.is_open() || ec == asio::error::operation_aborted)
            co_return;
        if (ec) {
            shared->log.error("Control socket accept failed: %{public}s", ec.message());
            // Out of descriptors and the like: pause rather than spin.
            asio::steady_timer pause(executor, std::chrono::milliseconds(100));
            co_await pause.async_wait(asio::redirect_error(asio::use_awaitable, ec));
            continue;
        }
        auto connection = std::make_shared<Connection>(std::move(socket), shared->idleTimeout);
        if (!peerIsThisUser(connection->socket)) {
            asio::co_spawn(executor, refuse(connection, "permission denied"), asio::detached);
            continue;
        }
        if (shared->connections.size() >= ControlServer::maxClients) {
            shared->log.debug("Control client refused: %zu connections open",
                              shared->connections.size());
            asio::co_spawn(executor, refuse(connection, "too many control clients"),
                           asio::detached);
            continue;
        }
        shared->connections.insert(connection);
        asio::co_spawn(executor, serve(shared, connection), asio::detached);
        asio::co_spawn(executor, watchIdle(connection), asio::detached);
    }
}

} // namespace

ControlServer::ControlServer(asio::any_io_executor executor,
                             std::shared_ptr<AgentController> controller,
                             std::filesystem::path socketPath,
                             std::chrono::milliseconds idleTimeout)
    : executor_(std::move(executor)), socketPath_(std::move(socketPath)),
      shared_(std::make_shared<ControlServerState>(executor_, std::move(controller), idleTimeout)) {
}

ControlServer::~ControlServer() {
    stop();
}

void ControlServer::start() {
    if (lockFd_ >= 0 || shared_->stopped)
        return;
    preparePrivateDirectory(socketPath_.parent_path());
    if (socketPath_.native().size() >= sizeof(sockaddr_un::sun_path))
        throw ControlError(ControlErrorCode::socketPathTooLong);

    // One agent per socket: the lock settles two agents starting together,
    // where both could find the old socket stale and the later one would
    // unlink the earlier one's fresh socket.
    const std::string lockPath = socketPath_.native() + ".lock";
    const int lockFd = open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (lockFd < 0)
        throw ControlError(ControlErrorCode::socketSetupFailed, errno);
    if (flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        const int error = errno;
        close(lockFd);
        if (error == EWOULDBLOCK)
            throw ControlError(ControlErrorCode::alreadyRunning);
        throw ControlError(ControlErrorCode::socketSetupFailed, error);
    }

    try {
        struct stat existing {};
        if (lstat(socketPath_.c_str(), &existing) == 0) {
            if (!S_ISSOCK(existing.st_mode))
                throw ControlError(ControlErrorCode::socketPathOccupied);
            // Non-blocking, so a live agent with a full backlog cannot hang us.
            StreamSocket probe(executor_);
            std::error_code ec;
            probe.open(asio::local::stream_protocol(), ec);
            if (!ec)
                probe.non_blocking(true, ec);
            if (!ec)
                probe.connect(asio::local::stream_protocol::endpoint(socketPath_.native()), ec);
            if (!ec || ec == asio::error::would_block || ec == asio::error::try_again)
                throw ControlError(ControlErrorCode::alreadyRunning);
            shared_->log.info("Replacing stale control socket %{public}s", socketPath_.native());
            if (unlink(socketPath_.c_str()) != 0 && errno != ENOENT)
                throw ControlError(ControlErrorCode::socketSetupFailed, errno);
        }

        auto& acceptor = shared_->acceptor;
        std::error_code ec;
        acceptor.open(asio::local::stream_protocol(), ec);
        if (!ec)
            acceptor.bind(asio::local::stream_protocol::endpoint(socketPath_.native()), ec);
        // The directory already keeps others out; 0600 says so on the file too.
        if (!ec && chmod(socketPath_.c_str(), 0600) != 0)
            ec = std::error_code(errno, std::system_category());
        if (!ec)
            acceptor.listen(asio::socket_base::max_listen_connections, ec);
        if (ec) {
            std::error_code ignored;
            acceptor.close(ignored);
            throw ControlError(ControlErrorCode::socketSetupFailed, ec.value());
        }
    } catch (...) {
        close(lockFd);
        throw;
    }

    lockFd_ = lockFd;
    struct stat bound {};
    if (lstat(socketPath_.c_str(), &bound) == 0) {
        boundDevice_ = bound.st_dev;
        boundInode_ = bound.st_ino;
    }
    asio::co_spawn(executor_, acceptLoop(shared_), asio::detached);
    shared_->log.info("Control socket listening at %{public}s", socketPath_.native());
}

void ControlServer::stop() {
    if (lockFd_ < 0)
        return;
    shared_->stopped = true;
    std::error_code ignored;
    shared_->acceptor.close(ignored);
    for (const auto& connection : shared_->connections)
        connection->close();
    shared_->connections.clear();

    // Remove the file only while it is still the socket this server bound.
    struct stat current {};
    if (lstat(socketPath_.c_str(), &current) == 0 && current.st_dev == boundDevice_ &&
        current.st_ino == boundInode_)
        unlink(socketPath_.c_str());
    close(lockFd_);
    lockFd_ = -1;
    shared_->log.info("Control socket closed");
}

nlohmann::json ControlServer::answer(AgentController& controller, std::string_view line) {
    const json request = json::parse(line, nullptr, false);
    if (request.is_discarded())
        return failure("request is not valid JSON");
    if (!request.is_object())
        return failure("request must be a JSON object");
    auto command = request.find("command");
    if (command == request.end() || !command->is_string())
        return failure("missing command");
    const auto& name = command->get_ref<const std::string&>();
    try {
        if (name == "status")
            return statusReply(controller);
        if (name == "devices")
            return devicesReply(controller);
        if (name == "allow" || name == "deny")
            return resolveReply(controller, request, name == "allow");
        if (name == "disconnect")
            return disconnectReply(controller);
        if (name == "forget")
            return forgetReply(controller, request);
        if (name == "forget-all")
            return forgetAllReply(controller);
    } catch (const std::exception& e) {
        // The store can fail (disk full, damaged keychain); the agent goes on.
        return failure(e.what());
    }
    return failure("unknown command: " + name);
}

} // namespace tessarine
