#include "headless/control_client.hpp"

#include "headless/control_socket.hpp"

#include <asio/co_spawn.hpp>
#include <asio/connect.hpp>
#include <asio/io_context.hpp>
#include <asio/local/stream_protocol.hpp>
#include <asio/read_until.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/write.hpp>

#include <cerrno>
#include <optional>
#include <string>
#include <variant>

namespace tessarine {
namespace {

using StreamSocket = asio::local::stream_protocol::socket;

asio::awaitable<std::string> exchange(StreamSocket& socket, std::string endpointPath,
                                      std::string line, bool& connected) {
    co_await socket.async_connect(asio::local::stream_protocol::endpoint(endpointPath),
                                  asio::use_awaitable);
    connected = true;
    co_await asio::async_write(socket, asio::buffer(line), asio::use_awaitable);
    std::string reply;
    const std::size_t length = co_await asio::async_read_until(
        socket, asio::dynamic_buffer(reply, ControlClient::maxReplyBytes), '\n',
        asio::use_awaitable);
    reply.resize(length - 1);
    co_return reply;
}

ControlError connectionError(const std::system_error& e, bool connected) {
    const auto code = e.code();
    // A missing socket file is ENOENT in asio's own system category, which
    // std::errc comparisons do not recognise.
    const bool missing =
        code.category() == asio::error::get_system_category() && code.value() == ENOENT;
    if (!connected && (code == asio::error::connection_refused || missing))
        return ControlError(ControlErrorCode::notRunning, code.value());
    if (!connected)
        return ControlError(ControlErrorCode::connectionFailed, code.value());
    // Connected, then the agent hung up or sent too much without a newline.
    return ControlError(ControlErrorCode::badReply, code.value());
}

} // namespace

ControlClient::ControlClient(std::filesystem::path socketPath, std::chrono::milliseconds timeout)
    : socketPath_(std::move(socketPath)), timeout_(timeout) {}

nlohmann::json ControlClient::request(const nlohmann::json& request) const {
    // A socket in a directory someone else controls is not our agent's.
    checkPrivateDirectory(socketPath_.parent_path());

    const std::string line =
        request.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + '\n';
    // Declared before the context: an exchange cut off by the bound is
    // destroyed with the context and must find these still alive.
    std::optional<std::variant<std::string, std::exception_ptr>> outcome;
    bool connected = false;
    asio::io_context io;
    StreamSocket socket(io);
    asio::co_spawn(io, exchange(socket, socketPath_.native(), line, connected),
                   [&outcome](std::exception_ptr error, std::string reply) {
                       if (error)
                           outcome.emplace(error);
                       else
                           outcome.emplace(std::move(reply));
                   });
    io.run_for(timeout_);
    if (!outcome)
        throw ControlError(ControlErrorCode::timedOut);
    if (auto* error = std::get_if<std::exception_ptr>(&*outcome)) {
        try {
            std::rethrow_exception(*error);
        } catch (const std::system_error& e) {
            throw connectionError(e, connected);
        }
    }
    auto reply = nlohmann::json::parse(std::get<std::string>(*outcome), nullptr, false);
    if (reply.is_discarded() || !reply.is_object() || !reply.contains("ok") ||
        !reply["ok"].is_boolean())
        throw ControlError(ControlErrorCode::badReply);
    return reply;
}

} // namespace tessarine
