#include "viewer/viewer.hpp"

#include "net/wifi_transport_client.hpp"
#include "security/tls_identity.hpp"

#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/post.hpp>
#include <asio/redirect_error.hpp>
#include <asio/use_awaitable.hpp>

#include <algorithm>

namespace tessarine {

namespace {

// Cursor shapes kept at once; a host that invents ids cannot grow memory.
constexpr std::size_t kMaxCursorShapes = 64;

std::int64_t wallClockMicros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

} // namespace

bool Viewer::isRefusal(const std::string& reason) {
    return reason == "denied" || reason == "busy" || reason == "setup-failed";
}

Viewer::Viewer(asio::any_io_executor executor, Config config)
    : config_(std::move(config)), log_("app.tessarine.viewer", "Viewer"),
      strand_(asio::make_strand(executor)), keyframeTimer_(strand_),
      keyframes_(config_.keyframeInterval) {
    // The decoder calls back inside decode(), which runs on the strand.
    decoder_.onDecodedFrame(
        [this](const PixelBuffer& picture, MediaTime pts) { handleDecodedPicture(picture, pts); });
}

Viewer::~Viewer() = default;

CursorSnapshot Viewer::cursor() const {
    std::lock_guard lock(stateMutex_);
    return cursor_;
}

std::optional<DisplayConfig> Viewer::displayConfig() const {
    std::lock_guard lock(stateMutex_);
    return displayConfig_;
}

asio::awaitable<ViewerOutcome> Viewer::run() {
    auto self = shared_from_this();
    // Named first: g++ 12 destroys a lambda temporary inside co_await twice.
    auto onStrand = [self]() -> asio::awaitable<ViewerOutcome> {
        co_return co_await self->runOnStrand();
    };
    co_return co_await asio::co_spawn(strand_, std::move(onStrand), asio::use_awaitable);
}

void Viewer::close() {
    auto self = shared_from_this();
    asio::post(strand_, [self] {
        if (self->closeRequested_)
            return;
        self->closeRequested_ = true;
        self->keyframeTimer_.cancel();
        auto client = self->client_;
        if (!client)
            return; // run() has not created it yet and will not
        const bool sayGoodbye = self->connected_ && !self->outcome_;
        auto log = self->log_;
        auto goodbye = [client, sayGoodbye, log]() -> asio::awaitable<void> {
            if (sayGoodbye) {
                try {
                    // Named first: g++ 12 destroys temporaries inside co_await twice.
                    ControlMessage bye = Disconnect{closeReason};
                    auto sending = client->sendControl(std::move(bye));
                    co_await std::move(sending);
                } catch (const std::exception& error) {
                    log.error("Disconnect could not be sent: %{public}s", error.what());
                }
            }
            co_await client->stop();
        };
        asio::co_spawn(self->strand_, std::move(goodbye), asio::detached);
    });
}

ViewerOutcome Viewer::connectionFailed(const std::string& why) const {
    log_.error("Connection to %{public}s:%u failed: %{public}s", config_.host, config_.port, why);
    return ViewerOutcome{ViewerOutcome::Kind::connectionFailed, why};
}

asio::awaitable<std::optional<ViewerOutcome>> Viewer::connect() {
    for (;;) {
        auto state = co_await client_->stateStream().pop();
        if (!state) {
            if (closeRequested_)
                co_return ViewerOutcome{ViewerOutcome::Kind::closed, {}};
            co_return ViewerOutcome{ViewerOutcome::Kind::connectionFailed, "connection ended"};
        }
        switch (state->kind) {
        case TransportState::Kind::connected:
            co_return std::nullopt;
        case TransportState::Kind::failed:
        case TransportState::Kind::disconnected:
            if (closeRequested_)
                co_return ViewerOutcome{ViewerOutcome::Kind::closed, {}};
            co_return connectionFailed(state->reason.empty() ? state->description()
                                                             : state->reason);
        default:
            break;
        }
    }
}

asio::awaitable<ViewerOutcome> Viewer::runOnStrand() {
    if (closeRequested_)
        co_return ViewerOutcome{ViewerOutcome::Kind::closed, {}};
    running_ = true;
    try {
        client_ = std::make_shared<WiFiTransportClient>(
            strand_, config_.host, config_.port,
            std::make_shared<asio::ssl::context>(TLSIdentity::clientContext()));
    } catch (const std::exception& error) {
        running_ = false;
        log_.error("TLS cannot be set up: %{public}s", error.what());
        co_return ViewerOutcome{ViewerOutcome::Kind::connectionFailed, error.what()};
    }
    log_.info("Connecting to %{public}s:%u", config_.host, config_.port);
    co_await client_->start();
    auto failure = co_await connect();
    if (failure) {
        running_ = false;
        co_await client_->stop();
        co_return *failure;
    }
    connected_ = true;

    const ClientHello hello{config_.deviceId, config_.deviceName, config_.widthPx, config_.heightPx,
                            config_.scaleFactor};
    try {
        auto sending = client_->sendControl(hello);
        co_await std::move(sending);
        log_.info("Hello sent as %{public}s (%{public}s) %ux%u scale=%.1f", config_.deviceName,
                  config_.deviceId.toString(), config_.widthPx, config_.heightPx,
                  config_.scaleFactor);
        if (onWaitingForApproval_ && !closeRequested_)
            onWaitingForApproval_();
    } catch (const std::exception& error) {
        // The connection is going away; its end arrives on the streams.
        log_.error("Hello could not be sent: %{public}s", error.what());
    }

    auto watcher = watchKeyframes(shared_from_this());
    asio::co_spawn(strand_, std::move(watcher), asio::detached);

    for (;;) {
        auto frame = co_await client_->inbound().pop();
        if (!frame)
            break;
        handleFrame(*frame);
        if (outcome_)
            break;
    }
    running_ = false;
    keyframeTimer_.cancel();

    ViewerOutcome outcome;
    if (outcome_) {
        outcome = *outcome_;
    } else if (closeRequested_) {
        outcome = ViewerOutcome{ViewerOutcome::Kind::closed, {}};
    } else {
        outcome = ViewerOutcome{ViewerOutcome::Kind::connectionLost, "connection ended"};
        while (auto state = client_->stateStream().tryPop())
            if (state->kind == TransportState::Kind::failed ||
                state->kind == TransportState::Kind::disconnected)
                outcome.reason = state->reason;
        log_.error("Connection lost: %{public}s", outcome.reason);
    }
    connected_ = false;
    // After "denied" the host keeps the connection open for us to close.
    co_await client_->stop();
    co_return outcome;
}

// The parameter keeps the viewer alive while the watcher is suspended.
asio::awaitable<void> Viewer::watchKeyframes(std::shared_ptr<Viewer> /*self*/) {
    const auto tick = std::max<std::chrono::steady_clock::duration>(keyframes_.interval() / 10,
                                                                    std::chrono::milliseconds(10));
    for (;;) {
        keyframeTimer_.expires_after(tick);
        std::error_code ec;
        auto waiting = keyframeTimer_.async_wait(asio::redirect_error(asio::use_awaitable, ec));
        co_await std::move(waiting);
        if (!running_ || outcome_ || closeRequested_)
            co_return;
        if (keyframes_.onTick(std::chrono::steady_clock::now()))
            requestKeyframe("no picture decoded");
    }
}

void Viewer::handleFrame(const Frame& frame) {
    if (const auto* video = frame.as<Frame::Video>())
        handleVideo(*video);
    else if (const auto* control = frame.as<Frame::Control>())
        handleControl(control->message);
    else if (const auto* move = frame.as<Frame::CursorMove>())
        handleCursorMove(*move);
    // Audio and keepalives carry nothing the viewer shows.
}

void Viewer::handleVideo(const Frame::Video& video) {
    const auto now = std::chrono::steady_clock::now();
    statistics_.recordFrameReceived(video.payload.size(), now);
    keyframes_.onVideoFrame(now);
    try {
        decoder_.decode(ByteView(video.payload),
                        MediaTime::make(static_cast<std::int64_t>(video.pts), 1'000'000));
    } catch (const DecoderError& error) {
        log_.error("Decode failed: %{public}s", error.what());
        if (keyframes_.onDecodeError(std::chrono::steady_clock::now()))
            requestKeyframe("decode error");
    }
}

void Viewer::handleDecodedPicture(const PixelBuffer& picture, MediaTime pts) {
    const double latencyMs = static_cast<double>(wallClockMicros() - pts.value) / 1000.0;
    statistics_.recordDecoded(latencyMs);
    keyframes_.onPicture(std::chrono::steady_clock::now());
    if (onPicture_)
        onPicture_(picture, pts);
}

void Viewer::handleControl(const ControlMessage& message) {
    if (const auto* config = std::get_if<DisplayConfig>(&message)) {
        bool first;
        {
            std::lock_guard lock(stateMutex_);
            first = !displayConfig_;
            displayConfig_ = *config;
        }
        log_.info("Display config: %ux%u scale=%.1f refresh=%uHz", config->widthPx,
                  config->heightPx, config->scaleFactor, config->refreshHz);
        if (first)
            log_.info("Allowed by the computer — streaming");
        if (onDisplayConfig_)
            onDisplayConfig_(*config);
    } else if (const auto* disconnect = std::get_if<Disconnect>(&message)) {
        log_.info("Host disconnected: %{public}s", disconnect->reason);
        outcome_ = ViewerOutcome{isRefusal(disconnect->reason) ? ViewerOutcome::Kind::refused
                                                               : ViewerOutcome::Kind::disconnected,
                                 disconnect->reason};
    } else if (const auto* image = std::get_if<CursorImage>(&message)) {
        handleCursorImage(*image);
    } else if (const auto* visibility = std::get_if<CursorVisibility>(&message)) {
        updateCursor([&](CursorSnapshot& c) { c.visible = visibility->visible; });
    } else if (const auto* quic = std::get_if<QuicPort>(&message)) {
        log_.debug("QUIC video offered on port %u — staying on TCP", quic->port);
    }
}

void Viewer::handleCursorMove(const Frame::CursorMove& move) {
    std::shared_ptr<const CursorShape> shape;
    if (auto it = shapes_.find(move.cursorId); it != shapes_.end())
        shape = it->second;
    updateCursor([&](CursorSnapshot& c) {
        c.positionKnown = true;
        c.xPx = move.xPx;
        c.yPx = move.yPx;
        c.cursorId = move.cursorId;
        c.shape = shape;
    });
}

void Viewer::handleCursorImage(const CursorImage& image) {
    std::shared_ptr<CursorShape> shape;
    try {
        shape = std::make_shared<CursorShape>(
            CursorShape{image.cursorId, image.widthPt, image.heightPt, image.hotspotXPt,
                        image.hotspotYPt, decodeCursorPng(image.pngData)});
    } catch (const CursorImageError& error) {
        // The shapes already known stay as they are.
        log_.error("Cursor image %u refused: %{public}s", image.cursorId, error.what());
        return;
    }
    if (!shapes_.count(image.cursorId) && shapes_.size() >= kMaxCursorShapes) {
        const std::uint32_t current = cursor().cursorId;
        auto victim = shapes_.begin();
        if (victim->first == current)
            ++victim;
        shapes_.erase(victim);
    }
    shapes_[image.cursorId] = shape;
    log_.debug("Cursor image %u: %dx%d px", image.cursorId, shape->image.width,
               shape->image.height);
    updateCursor([&](CursorSnapshot& c) {
        // The host sends a shape before moves that refer to it, but a new
        // image for the current id replaces what is drawn at once.
        if (c.cursorId == image.cursorId || !c.positionKnown) {
            c.cursorId = image.cursorId;
            c.shape = shape;
        }
    });
}

void Viewer::updateCursor(const std::function<void(CursorSnapshot&)>& change) {
    {
        std::lock_guard lock(stateMutex_);
        change(cursor_);
        ++cursor_.generation;
    }
    if (onCursorChange_)
        onCursorChange_();
}

void Viewer::requestKeyframe(const char* why) {
    statistics_.recordKeyframeRequest();
    log_.info("Requesting a keyframe: %{public}s", why);
    sendInBackground(RequestKeyframe{});
}

void Viewer::sendInBackground(ControlMessage message) {
    auto client = client_;
    auto log = log_;
    auto send = [client, message = std::move(message), log]() -> asio::awaitable<void> {
        try {
            auto sending = client->sendControl(message);
            co_await std::move(sending);
        } catch (const std::exception& error) {
            log.error("Send failed: %{public}s", error.what());
        }
    };
    asio::co_spawn(strand_, std::move(send), asio::detached);
}

} // namespace tessarine
