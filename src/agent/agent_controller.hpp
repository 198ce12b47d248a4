#pragma once

#include "agent/session_media.hpp"
#include "agent/session_parameters.hpp"
#include "diagnostics/latency_tracker.hpp"
#include "diagnostics/logger.hpp"
#include "net/async_queue.hpp"
#include "net/wifi_transport_host.hpp"
#include "protocol/frame.hpp"
#include "security/trusted_device_store.hpp"

#include <asio/any_io_executor.hpp>
#include <asio/awaitable.hpp>
#include <asio/ssl/context.hpp>
#include <asio/thread_pool.hpp>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace tessarine {

class SleepObserver;

// The computer's user-visible name: PRETTY_HOSTNAME from /etc/machine-info,
// else the host name.
std::string computerName();

// The heart of the agent: owns the host the tablet connects to, reacts to
// every connection state and inbound frame, runs the trust decision for
// tablets it has never seen, and starts and tears down streaming sessions.
// Everything runs on one executor (the agent executor); call every operation
// there. Create with make_shared.
class AgentController : public std::enable_shared_from_this<AgentController> {
public:
    struct State {
        enum class Kind { handshaking, awaitingAccept, live, failed, idle, listening };

        Kind kind = Kind::idle;
        std::optional<std::string> peerName; // handshaking (always none), awaitingAccept, live
        Uuid deviceId;                       // awaitingAccept
        int framesEncoded = 0;               // live
        std::string error;                   // failed

        static State handshaking() { return {Kind::handshaking, std::nullopt, {}, 0, {}}; }
        static State awaitingAccept(Uuid id, std::string name) {
            return {Kind::awaitingAccept, std::move(name), id, 0, {}};
        }
        static State live(std::string name, int framesEncoded) {
            return {Kind::live, std::move(name), {}, framesEncoded, {}};
        }
        static State failed(std::string text) {
            return {Kind::failed, std::nullopt, {}, 0, std::move(text)};
        }
        static State idle() { return {}; }
        static State listening() { return {Kind::listening, std::nullopt, {}, 0, {}}; }

        bool operator==(const State&) const = default;
        std::string description() const;
    };

    struct Options {
        std::uint16_t port = 9876;
        int fps = 60;
        std::shared_ptr<SessionMediaFactory> media;
        std::shared_ptr<TrustedDeviceStore> trustedStore; // default: the user's keychain
        // TLS for the listener; nullptr keeps it plain TCP. Default: our identity.
        std::function<std::shared_ptr<asio::ssl::context>()> tlsOptions;
        std::string instanceName; // default: computerName()
        bool observeSleep = true;
    };

    AgentController(asio::any_io_executor executor, Options options);
    ~AgentController();
    AgentController(const AgentController&) = delete;
    AgentController& operator=(const AgentController&) = delete;

    // Published values; observers run on the agent executor after every assignment.
    const State& state() const { return state_; }
    int trustedCount() const { return trustedCount_; }
    const std::vector<TrustedDevice>& trustedDevices() const { return trustedDevices_; }
    void addObserver(std::function<void()> observer);

    // Called when an unknown tablet says hello: (deviceId, deviceName).
    std::function<void(const Uuid&, const std::string&)> onRequestTrust;

    asio::awaitable<void> start();
    void resolveTrust(const Uuid& deviceId, bool allow);
    void disconnect(const std::string& reason);
    void forget(const Uuid& deviceId);
    void forgetAll();
    void teardownSession();
    // Says goodbye to the tablet (waiting at most `patience` for the send),
    // ends the session and stops the host and the sleep observer.
    asio::awaitable<void> quit(std::chrono::milliseconds patience);

    std::shared_ptr<WiFiTransportHost> transport() const { return transport_; }
    std::optional<Uuid> currentPeerId() const;

private:
    struct TrustWait;
    struct Peer {
        Uuid id;
        std::string name;
    };
    struct QueuedVideo {
        Bytes payload;
        std::uint64_t pts = 0;
    };
    using SendQueue = AsyncQueue<QueuedVideo>;

    void setState(State state);
    void publishTrusted();
    void notify();

    asio::awaitable<void> consumeStates(std::shared_ptr<WiFiTransportHost> host);
    asio::awaitable<void> consumeFrames(std::shared_ptr<WiFiTransportHost> host);
    void handleTransportState(const TransportState& state);
    asio::awaitable<void> handleFrame(Frame frame);
    asio::awaitable<void> handleHello(ClientHello hello);
    void markTrusted(const Uuid& id, const std::string& name);
    asio::awaitable<void> startSession(ClientHello hello);
    asio::awaitable<void> failSetup(const std::string& error);
    void handleWillSleep();
    void handleDidWake();
    static asio::awaitable<void> sendLoop(std::shared_ptr<SendQueue> queue,
                                          std::shared_ptr<std::atomic<bool>> cancelled,
                                          std::shared_ptr<WiFiTransportHost> host,
                                          std::shared_ptr<LatencyTracker> tracker);
    void installCursorRelay(SessionCursor::Callbacks& callbacks);

    asio::any_io_executor executor_;
    Options options_;
    Logger log_{"app.tessarine.mac", "Agent"};

    State state_;
    int trustedCount_ = 0;
    std::vector<TrustedDevice> trustedDevices_;
    std::vector<std::function<void()>> observers_;

    std::shared_ptr<WiFiTransportHost> transport_;
    std::shared_ptr<SleepObserver> sleepObserver_;
    std::map<Uuid, std::shared_ptr<TrustWait>> trustContinuations_;
    std::optional<Peer> currentPeer_;
    int framesEncoded_ = 0;

    // The running session's parts.
    std::shared_ptr<SessionDisplay> virtualDisplay_;
    std::shared_ptr<SessionCapturer> capturer_;
    std::shared_ptr<SessionEncoder> encoder_;
    std::shared_ptr<SessionCursor> cursorTracker_;
    std::shared_ptr<SendQueue> sendQueue_;
    std::shared_ptr<std::atomic<bool>> sendCancelled_;
    // Bumped by every teardown, so a setup that resumes after one knows it
    // has been overtaken and must not go live.
    std::uint64_t sessionGeneration_ = 0;

    // Stopping capture and invalidating the encoder block; they run here.
    asio::thread_pool background_{1};
};

} // namespace tessarine
