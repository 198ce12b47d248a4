#include "agent/agent_controller.hpp"

#include "agent/sleep_observer.hpp"
#include "security/tls_identity.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/steady_timer.hpp>
#include <asio/use_awaitable.hpp>

#include <chrono>
#include <fstream>
#include <unistd.h>

namespace tessarine {
namespace {

double wallSeconds() {
    using namespace std::chrono;
    return duration<double>(system_clock::now().time_since_epoch()).count();
}

// Waits on a timer that something else cancels; a cancelled wait is the signal.
asio::awaitable<void> waitUntilCancelled(asio::steady_timer& timer) {
    std::error_code ignored;
    co_await timer.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
}

// Control sends never change the controller's state: connection loss arrives
// through the state stream, so a failed send is simply dropped.
asio::awaitable<void> sendQuietly(std::shared_ptr<WiFiTransportHost> host, ControlMessage message) {
    if (!host)
        co_return;
    try {
        {
            auto pending = host->sendControl(std::move(message));
            co_await std::move(pending);
        }
    } catch (const std::exception&) {
    }
}

} // namespace

// Note on awaiting: g++ 12 destroys the temporaries of a full-expression that
// contains co_await twice (a by-value argument, a lambda), so calls that take
// such arguments are made first and their operation awaited by name.

std::string computerName() {
    std::ifstream machineInfo("/etc/machine-info");
    std::string line;
    while (std::getline(machineInfo, line)) {
        constexpr std::string_view key = "PRETTY_HOSTNAME=";
        if (!line.starts_with(key))
            continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
            value.back() == value.front())
            value = value.substr(1, value.size() - 2);
        if (!value.empty())
            return value;
    }
    char host[256] = {};
    if (gethostname(host, sizeof host - 1) == 0 && host[0] != '\0')
        return host;
    return "Tessarine";
}

std::string AgentController::State::description() const {
    switch (kind) {
    case Kind::handshaking:
        return "handshaking";
    case Kind::awaitingAccept:
        return "awaitingAccept(" + deviceId.toString() + ", " + peerName.value_or("") + ")";
    case Kind::live:
        return "live(" + peerName.value_or("") + ", " + std::to_string(framesEncoded) + ")";
    case Kind::failed:
        return "failed(" + error + ")";
    case Kind::idle:
        return "idle";
    case Kind::listening:
        return "listening";
    }
    return "unknown";
}

// One user decision for one tablet, resumed exactly once.
struct AgentController::TrustWait {
    explicit TrustWait(const asio::any_io_executor& executor)
        : timer(executor, asio::steady_timer::time_point::max()) {}

    void resume(bool allow) {
        if (decision)
            return;
        decision = allow;
        timer.cancel();
    }

    asio::awaitable<bool> wait() {
        if (!decision)
            co_await waitUntilCancelled(timer);
        co_return decision.value_or(false);
    }

    asio::steady_timer timer;
    std::optional<bool> decision;
};

AgentController::AgentController(asio::any_io_executor executor, Options options)
    : executor_(std::move(executor)), options_(std::move(options)) {
    if (!options_.trustedStore)
        options_.trustedStore = std::make_shared<TrustedDeviceStore>();
    if (!options_.tlsOptions)
        options_.tlsOptions = [] {
            return TLSIdentity::serverOptions();
        };
    if (options_.instanceName.empty())
        options_.instanceName = computerName();
    trustedCount_ = static_cast<int>(options_.trustedStore->loadAll().size());
    trustedDevices_ = options_.trustedStore->sortedDevices();
}

AgentController::~AgentController() {
    teardownSession();
    background_.join();
}

void AgentController::addObserver(std::function<void()> observer) {
    observers_.push_back(std::move(observer));
}

void AgentController::notify() {
    for (const auto& observer : observers_)
        observer();
}

void AgentController::setState(State state) {
    state_ = std::move(state);
    notify();
}

void AgentController::publishTrusted() {
    trustedCount_ = static_cast<int>(options_.trustedStore->loadAll().size());
    trustedDevices_ = options_.trustedStore->sortedDevices();
    notify();
}

std::optional<Uuid> AgentController::currentPeerId() const {
    if (!currentPeer_)
        return std::nullopt;
    return currentPeer_->id;
}

asio::awaitable<void> AgentController::start() {
    if (transport_)
        co_return;
    transport_ = std::make_shared<WiFiTransportHost>(executor_, options_.port, "_tessarine._tcp",
                                                     options_.instanceName, options_.tlsOptions());
    if (options_.observeSleep) {
        sleepObserver_ = std::make_shared<SleepObserver>(executor_);
        std::weak_ptr<AgentController> weak = weak_from_this();
        sleepObserver_->onWillSleep = [weak] {
            if (auto self = weak.lock())
                self->handleWillSleep();
        };
        sleepObserver_->onDidWake = [weak] {
            if (auto self = weak.lock())
                self->handleDidWake();
        };
        sleepObserver_->start();
    }

    std::optional<std::string> failure;
    try {
        co_await transport_->start();
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (failure) {
        setState(State::failed("listener: " + *failure));
        co_return;
    }
    setState(State::listening());

    // Each loop keeps the controller for as long as its stream lasts.
    std::weak_ptr<AgentController> weak = weak_from_this();
    auto host = transport_;
    asio::co_spawn(
        executor_,
        [weak, host]() -> asio::awaitable<void> {
            if (auto self = weak.lock()) {
                auto pending = self->consumeStates(host);
                co_await std::move(pending);
            }
        },
        asio::detached);
    asio::co_spawn(
        executor_,
        [weak, host]() -> asio::awaitable<void> {
            if (auto self = weak.lock()) {
                auto pending = self->consumeFrames(host);
                co_await std::move(pending);
            }
        },
        asio::detached);
}

asio::awaitable<void> AgentController::consumeStates(std::shared_ptr<WiFiTransportHost> host) {
    // (No co_await inside a while condition: g++ 12 destroys such a
    // variable twice.)
    for (;;) {
        auto state = co_await host->stateStream().pop();
        if (!state)
            break;
        handleTransportState(*state);
    }
}

asio::awaitable<void> AgentController::consumeFrames(std::shared_ptr<WiFiTransportHost> host) {
    for (;;) {
        auto frame = co_await host->inbound().pop();
        if (!frame)
            break;
        {
            auto pending = handleFrame(std::move(*frame));
            co_await std::move(pending);
        }
    }
}

void AgentController::handleTransportState(const TransportState& s) {
    switch (s.kind) {
    case TransportState::Kind::idle:
        return;
    case TransportState::Kind::connecting:
        if (!currentPeer_)
            setState(State::listening());
        return;
    case TransportState::Kind::connected:
        setState(State::handshaking());
        return;
    case TransportState::Kind::disconnected:
    case TransportState::Kind::failed: {
        log_.info("Transport disconnected: %{public}s", s.reason);
        auto waits = std::move(trustContinuations_);
        trustContinuations_.clear();
        for (auto& [id, wait] : waits)
            wait->resume(false);
        teardownSession();
        if (transport_)
            setState(State::listening());
        return;
    }
    }
}

asio::awaitable<void> AgentController::handleFrame(Frame frame) {
    const auto* control = frame.as<Frame::Control>();
    if (!control)
        co_return; // the tablet's media, cursor and keepalive frames mean nothing here
    const ControlMessage& message = control->message;
    if (const auto* hello = std::get_if<ClientHello>(&message)) {
        {
            auto pending = handleHello(*hello);
            co_await std::move(pending);
        }
    } else if (const auto* bye = std::get_if<Disconnect>(&message)) {
        log_.info("Peer requested disconnect: %{public}s", bye->reason);
        teardownSession();
    } else if (std::holds_alternative<RequestKeyframe>(message)) {
        if (encoder_)
            encoder_->requestIDR();
        // On a still screen nothing would be captured to carry the keyframe.
        if (capturer_)
            capturer_->requestFrame();
    }
}

asio::awaitable<void> AgentController::handleHello(ClientHello hello) {
    if (currentPeer_) {
        log_.info("Rejecting %{public}s — already connected", hello.deviceName);
        {
            auto pending = sendQuietly(transport_, Disconnect{"busy"});
            co_await std::move(pending);
        }
        co_return;
    }
    currentPeer_ = Peer{hello.deviceId, hello.deviceName};

    auto devices = options_.trustedStore->loadAll();
    if (!devices.empty() && devices.contains(hello.deviceId)) {
        log_.info("Trusted iPad: %{public}s", hello.deviceName);
        if (!options_.trustedStore->loadAll().contains(hello.deviceId))
            markTrusted(hello.deviceId, hello.deviceName);
        {
            auto pending = startSession(std::move(hello));
            co_await std::move(pending);
        }
        co_return;
    }

    setState(State::awaitingAccept(hello.deviceId, hello.deviceName));
    // The wait is registered before the prompt is raised, so an answer given
    // from inside onRequestTrust is not lost.
    auto wait = std::make_shared<TrustWait>(executor_);
    trustContinuations_[hello.deviceId] = wait;
    if (onRequestTrust)
        onRequestTrust(hello.deviceId, hello.deviceName);
    const bool allowed = co_await wait->wait();

    if (allowed) {
        markTrusted(hello.deviceId, hello.deviceName);
        {
            auto pending = startSession(std::move(hello));
            co_await std::move(pending);
        }
    } else {
        {
            auto pending = sendQuietly(transport_, Disconnect{"denied"});
            co_await std::move(pending);
        }
        teardownSession();
    }
}

void AgentController::resolveTrust(const Uuid& deviceId, bool allow) {
    auto it = trustContinuations_.find(deviceId);
    if (it == trustContinuations_.end())
        return;
    auto wait = std::move(it->second);
    trustContinuations_.erase(it);
    wait->resume(allow);
}

void AgentController::markTrusted(const Uuid& id, const std::string& name) {
    auto devices = options_.trustedStore->loadAll();
    devices[id] = name;
    options_.trustedStore->saveAll(devices);
    publishTrusted();
}

void AgentController::disconnect(const std::string& reason) {
    if (transport_) {
        asio::co_spawn(
            executor_,
            [host = transport_, reason]() -> asio::awaitable<void> {
                try {
                    {
                        auto pending = host->sendControl(Disconnect{reason});
                        co_await std::move(pending);
                    }
                } catch (const std::exception&) {
                }
                host->dropCurrentPeer();
            },
            asio::detached);
    }
    teardownSession();
    setState(State::listening());
}

void AgentController::forget(const Uuid& deviceId) {
    auto devices = options_.trustedStore->loadAll();
    devices.erase(deviceId);
    options_.trustedStore->saveAll(devices);
    publishTrusted();
    if (currentPeer_ && currentPeer_->id == deviceId)
        disconnect("trust-revoked");
}

void AgentController::forgetAll() {
    options_.trustedStore->saveAll({});
    publishTrusted();
    if (currentPeer_)
        disconnect("trust-cleared");
}

void AgentController::teardownSession() {
    ++sessionGeneration_;
    if (sendQueue_) {
        sendCancelled_->store(true);
        sendQueue_->close();
        sendQueue_.reset();
        sendCancelled_.reset();
    }
    if (cursorTracker_) {
        cursorTracker_->stop();
        cursorTracker_.reset();
    }
    auto capturer = std::move(capturer_);
    auto encoder = std::move(encoder_);
    auto display = std::move(virtualDisplay_);
    capturer_.reset();
    encoder_.reset();
    virtualDisplay_.reset();
    currentPeer_.reset();
    framesEncoded_ = 0;
    if (!capturer && !encoder && !display)
        return;
    // Capture stops before the encoder goes, and the display goes last.
    asio::post(background_, [capturer = std::move(capturer), encoder = std::move(encoder),
                             display = std::move(display)]() mutable {
        if (capturer) {
            capturer->stop();
            capturer->setOnFrame(nullptr);
            capturer.reset();
        }
        if (encoder) {
            encoder->setOnEncodedFrame(nullptr);
            encoder->invalidate();
            encoder.reset();
        }
        display.reset();
    });
}

asio::awaitable<void> AgentController::startSession(ClientHello hello) {
    const std::uint64_t generation = sessionGeneration_;
    const int fps = options_.fps;
    std::optional<SessionParameters> params;
    std::optional<std::string> failure;
    try {
        params = SessionParameters::fromHello(hello, fps);
        auto& media = *options_.media;

        auto display = media.makeDisplay();
        display->create(params->displayConfiguration(hello.deviceName, fps));
        virtualDisplay_ = display;

        auto capturer = media.makeCapturer(*display, params->longSide, params->shortSide, fps);
        capturer_ = capturer;

        auto encoder = media.makeEncoder(params->longSide, params->shortSide, params->bitrateBps,
                                         fps, params->gop);
        encoder_ = encoder;

        const auto sessionStartUs = static_cast<std::uint64_t>(wallSeconds() * 1'000'000);
        auto queue = std::make_shared<SendQueue>();
        auto cancelled = std::make_shared<std::atomic<bool>>(false);
        sendQueue_ = queue;
        sendCancelled_ = cancelled;

        encoder->setOnEncodedFrame([queue, sessionStartUs](SessionEncodedFrame frame) {
            // A time that cannot be a wire pts (invalid or before the start) is not sent.
            if (!frame.pts.isValid() || frame.pts.value < 0)
                return;
            const auto mediaUs = static_cast<std::uint64_t>(frame.pts.seconds() * 1'000'000);
            queue->push(QueuedVideo{std::move(frame.annexB), sessionStartUs + mediaUs});
        });

        auto tracker = std::make_shared<LatencyTracker>("app.tessarine.mac", "Latency", "send", 60);
        asio::co_spawn(executor_, sendLoop(queue, cancelled, transport_, tracker), asio::detached);

        capturer->setOnFrame([encoder, fps](const PixelBuffer& buffer, MediaTime pts) {
            try {
                encoder->encode(buffer, pts, MediaTime::make(1, fps));
            } catch (const std::exception&) {
                // That frame is lost; the next one carries on.
            }
        });
        capturer->start();

        auto cursor = media.makeCursor(*display, params->longSide, params->shortSide);
        SessionCursor::Callbacks callbacks;
        installCursorRelay(callbacks);
        cursor->start(std::move(callbacks));
        cursorTracker_ = cursor;
    } catch (const std::exception& e) {
        failure = e.what();
    }
    if (failure) {
        co_await failSetup(*failure);
        co_return;
    }

    {
        auto pending = sendQuietly(transport_, params->displayConfig(fps));
        co_await std::move(pending);
    }
    if (generation != sessionGeneration_)
        co_return; // torn down while the configuration was on its way
    if (auto port = transport_ ? transport_->quicPort() : std::nullopt) {
        {
            auto pending = sendQuietly(transport_, QuicPort{*port});
            co_await std::move(pending);
        }
        log_.info("Announced QUIC video port %hu to iPad", *port);
        if (generation != sessionGeneration_)
            co_return;
    } else {
        log_.info("No QUIC port available — video stays on TCP for this session");
    }

    framesEncoded_ = 0;
    setState(State::live(hello.deviceName, 0));
    if (auto mode = virtualDisplay_->currentMode())
        log_.info("Display mode: logical=%ldx%ld pixels=%ldx%ld hidpi=%{bool}d", mode->logicalWidth,
                  mode->logicalHeight, mode->pixelWidth, mode->pixelHeight,
                  mode->logicalWidth < mode->pixelWidth);
    log_.info("Session accepted for %{public}s @ %ldx%ld scale=%f bitrate=%ldkbps",
              hello.deviceName, params->longSide, params->shortSide, params->scale,
              params->bitrateBps / 1000);
}

asio::awaitable<void> AgentController::failSetup(const std::string& error) {
    log_.error("Session setup failed: %{public}@", error);
    {
        auto pending = sendQuietly(transport_, Disconnect{"setup-failed"});
        co_await std::move(pending);
    }
    teardownSession();
    setState(State::failed(error));
}

void AgentController::installCursorRelay(SessionCursor::Callbacks& callbacks) {
    // Each event becomes one message, sent from the agent executor.
    auto executor = executor_;
    auto host = transport_;
    callbacks.onMove = [executor, host](SessionCursor::Move move) {
        if (!host)
            return;
        asio::co_spawn(
            executor,
            [host, move]() -> asio::awaitable<void> {
                try {
                    co_await host->sendCursorMove(move.ptsMs, move.xPx, move.yPx, 0, move.cursorId);
                } catch (const std::exception&) {
                }
            },
            asio::detached);
    };
    callbacks.onShapeChange = [executor, host](CursorImage image) {
        if (!host)
            return;
        asio::co_spawn(executor, sendQuietly(host, std::move(image)), asio::detached);
    };
    callbacks.onVisibility = [executor, host](bool visible) {
        if (!host)
            return;
        asio::co_spawn(executor, sendQuietly(host, CursorVisibility{visible}), asio::detached);
    };
}

asio::awaitable<void> AgentController::sendLoop(std::shared_ptr<SendQueue> queue,
                                                std::shared_ptr<std::atomic<bool>> cancelled,
                                                std::shared_ptr<WiFiTransportHost> host,
                                                std::shared_ptr<LatencyTracker> tracker) {
    // One access unit at a time, in encoder order; queued frames are dropped
    // once the session is torn down.
    for (;;) {
        auto item = co_await queue->pop();
        if (!item || cancelled->load())
            co_return;
        const double t0 = wallSeconds();
        if (host) {
            try {
                {
                    auto pending = host->sendVideo(std::move(item->payload), item->pts);
                    co_await std::move(pending);
                }
            } catch (const std::exception&) {
            }
        }
        tracker->record((wallSeconds() - t0) * 1000.0);
    }
}

void AgentController::handleWillSleep() {
    asio::co_spawn(
        executor_,
        [weak = weak_from_this()]() -> asio::awaitable<void> {
            auto self = weak.lock();
            if (!self)
                co_return;
            self->log_.info("Mac will sleep — tearing down session");
            {
                auto pending = sendQuietly(self->transport_, Disconnect{"mac-sleep"});
                co_await std::move(pending);
            }
            self->teardownSession();
            self->setState(State::listening());
        },
        asio::detached);
}

void AgentController::handleDidWake() {
    log_.info("Mac woke — listener is still alive, iPad will reconnect on its own");
}

asio::awaitable<void> AgentController::quit(std::chrono::milliseconds patience) {
    if (transport_) {
        // The goodbye gets a moment, not a say in whether we quit.
        auto sent = std::make_shared<asio::steady_timer>(executor_, patience);
        asio::co_spawn(
            executor_,
            [host = transport_, sent]() -> asio::awaitable<void> {
                try {
                    {
                        auto pending = host->sendControl(Disconnect{"mac-quit"});
                        co_await std::move(pending);
                    }
                } catch (const std::exception&) {
                }
                sent->cancel();
            },
            asio::detached);
        co_await waitUntilCancelled(*sent);
    }
    teardownSession();
    // Wait for the background teardown so the display is gone before we return.
    auto drained =
        std::make_shared<asio::steady_timer>(executor_, asio::steady_timer::time_point::max());
    asio::post(background_, [drained, executor = executor_] {
        asio::post(executor, [drained] { drained->cancel(); });
    });
    co_await waitUntilCancelled(*drained);
    if (sleepObserver_)
        sleepObserver_->stop();
    if (transport_)
        co_await transport_->stop();
}

} // namespace tessarine
