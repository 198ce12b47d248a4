#pragma once

#include "net/wifi_transport_client.hpp"
#include "security/tls_identity.hpp"
#include "support/executor_thread.hpp"

#include <asio/detached.hpp>

#include <memory>
#include <string>

namespace tessarine::testing {

// The tablet's side of a connection for tests: the real client over TLS,
// with everything it receives collected for waiting on.
class TabletPeer {
public:
    TabletPeer(ExecutorThread& executor, std::uint16_t port)
        : executor_(executor),
          client_(std::make_shared<WiFiTransportClient>(
              executor.executor(), "127.0.0.1", port,
              std::make_shared<asio::ssl::context>(TLSIdentity::clientContext()))) {}

    ~TabletPeer() {
        try {
            executor_.await(client_->stop());
        } catch (const std::exception&) {
        }
    }

    // Connects and waits for the connection to be ready.
    bool connect() {
        executor_.await(client_->start());
        auto client = client_;
        auto* frames = &frames_;
        auto* states = &states_;
        asio::co_spawn(
            executor_.executor(),
            [client, frames]() -> asio::awaitable<void> {
                for (;;) {
                    auto frame = co_await client->inbound().pop();
                    if (!frame)
                        break;
                    frames->push(std::move(*frame));
                }
            },
            asio::detached);
        asio::co_spawn(
            executor_.executor(),
            [client, states]() -> asio::awaitable<void> {
                for (;;) {
                    auto state = co_await client->stateStream().pop();
                    if (!state)
                        break;
                    states->push(std::move(*state));
                }
            },
            asio::detached);
        return states_
            .waitFor(
                [](const TransportState& s) { return s.kind == TransportState::Kind::connected; })
            .has_value();
    }

    void send(ControlMessage message) { executor_.await(client_->sendControl(std::move(message))); }

    void sayHello(const ClientHello& hello) { send(hello); }

    void close() { executor_.await(client_->stop()); }

    // The first control message of type M that satisfies the predicate.
    template <typename M>
    std::optional<M> waitForControl(const std::function<bool(const M&)>& predicate = [](const M&) {
        return true;
    }) {
        auto frame = frames_.waitFor([&](const Frame& f) {
            const auto* control = f.template as<Frame::Control>();
            const auto* message = control ? std::get_if<M>(&control->message) : nullptr;
            return message && predicate(*message);
        });
        if (!frame)
            return std::nullopt;
        return std::get<M>(frame->template as<Frame::Control>()->message);
    }

    std::optional<Frame::Video> waitForVideo(std::size_t index = 0) {
        std::optional<Frame::Video> found;
        frames_.waitUntil([&](const std::vector<Frame>& all) {
            std::size_t seen = 0;
            for (const auto& f : all)
                if (const auto* video = f.template as<Frame::Video>(); video && seen++ == index) {
                    found = *video;
                    return true;
                }
            return false;
        });
        return found;
    }

    bool waitForState(TransportState::Kind kind) {
        return states_.waitFor([kind](const TransportState& s) { return s.kind == kind; })
            .has_value();
    }

    WaitList<Frame>& frames() { return frames_; }
    WiFiTransportClient& client() { return *client_; }

private:
    ExecutorThread& executor_;
    std::shared_ptr<WiFiTransportClient> client_;
    WaitList<Frame> frames_;
    WaitList<TransportState> states_;
};

} // namespace tessarine::testing
