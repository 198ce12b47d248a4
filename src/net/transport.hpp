#pragma once

#include "net/async_queue.hpp"
#include "protocol/control_message.hpp"
#include "protocol/frame.hpp"

#include <asio/awaitable.hpp>

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

namespace tessarine {

// Which family of transport an implementation belongs to.
enum class TransportKind { wifi, cable };
std::string_view toString(TransportKind kind);

// The physical link a live connection uses.
enum class TransportLink { wifi, cable, other };
std::string_view toString(TransportLink link);

// Connection state as the session controller sees it.
struct TransportState {
    enum class Kind { idle, connecting, connected, disconnected, failed };

    Kind kind = Kind::idle;
    // disconnected: one of the fixed reasons ("peer closed", "peer cancelled",
    // "cancelled", "listener cancelled", "stopped"); failed: the error's text.
    std::string reason;

    static TransportState idle() { return {}; }
    static TransportState connecting() { return {Kind::connecting, {}}; }
    static TransportState connected() { return {Kind::connected, {}}; }
    static TransportState disconnected(std::string reason) {
        return {Kind::disconnected, std::move(reason)};
    }
    static TransportState failed(std::string description) {
        return {Kind::failed, std::move(description)};
    }

    bool operator==(const TransportState&) const = default;

    // "idle", "connecting", "connected", "disconnected(peer closed)", "failed(...)".
    std::string description() const;
};

// An error a transport raises itself (as opposed to the platform's
// std::system_error or the frame layer's WireError), e.g. domain
// "WiFiTransportHost", code 1, "No connected peer".
class TransportError : public std::runtime_error {
public:
    TransportError(std::string domain, int code, const std::string& description)
        : std::runtime_error(description), domain_(std::move(domain)), code_(code) {}

    const std::string& domain() const { return domain_; }
    int code() const { return code_; }

private:
    std::string domain_;
    int code_;
};

// The one interface through which the session talks to the tablet: two
// streams (state, decoded frames) and four sends. Implementations confine
// their state to a private strand; sends may be called from any coroutine,
// encode on the caller and complete once the bytes are written.
class Transport {
public:
    virtual ~Transport() = default;

    virtual TransportKind kind() const = 0;
    // Unbounded, single consumer; exists from construction on.
    virtual AsyncQueue<TransportState>& stateStream() = 0;
    // Decoded frames in arrival order; unbounded, single consumer.
    virtual AsyncQueue<Frame>& inbound() = 0;

    // Creates the listener or connection; readiness arrives on stateStream.
    // Throws std::system_error when the listener cannot be created.
    virtual asio::awaitable<void> start() = 0;
    // Cancels everything, emits disconnected("stopped"), then closes the
    // state stream and the inbound stream. Never throws.
    virtual asio::awaitable<void> stop() = 0;

    virtual asio::awaitable<void> sendVideo(Bytes payload, std::uint64_t pts) = 0;
    virtual asio::awaitable<void> sendAudio(Bytes payload, std::uint64_t pts) = 0;
    virtual asio::awaitable<void> sendControl(ControlMessage message) = 0;
    virtual asio::awaitable<void> sendCursorMove(std::uint32_t ptsMs, std::int16_t xPx,
                                                 std::int16_t yPx, std::uint8_t flags,
                                                 std::uint32_t cursorId) = 0;

    // The link the live connection uses, when the implementation knows it.
    virtual std::optional<TransportLink> currentLink() const { return std::nullopt; }
};

} // namespace tessarine
