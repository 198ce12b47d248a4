#pragma once

#include "agent/agent_controller.hpp"

#include "agent/fake_session_media.hpp"
#include "security/tls_identity.hpp"
#include "support/tablet_peer.hpp"
#include "support/temporary_keychain.hpp"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>

namespace tessarine::testing {

using Kind = AgentController::State::Kind;

inline const Uuid kTablet = *Uuid::parse("11111111-2222-3333-4444-555555555555");
inline const Uuid kOther = *Uuid::parse("AAAAAAAA-BBBB-CCCC-DDDD-EEEEEEEEEEEE");

inline ClientHello helloFrom(const Uuid& id, std::string name, std::uint32_t w = 2048,
                             std::uint32_t h = 2732, double scale = 2.0) {
    return ClientHello{id, std::move(name), w, h, scale};
}

inline std::uint64_t wallMicros() {
    using namespace std::chrono;
    return duration_cast<microseconds>(system_clock::now().time_since_epoch()).count();
}

// A controller on a loopback port with a temporary keychain and fake media,
// and tablets that connect to it over TLS.
class AgentControllerTest : public ::testing::Test {
protected:
    void TearDown() override {
        if (controller_) {
            executor_.await(controller_->quit(std::chrono::milliseconds(200)));
            executor_.call([&] { controller_.reset(); });
        }
    }

    void startController(bool observeSleep = false) {
        AgentController::Options options;
        options.port = 0;
        options.media = media_;
        options.trustedStore = store_;
        options.instanceName = "Test Agent";
        options.observeSleep = observeSleep;
        controller_ = executor_.call([&] {
            auto c = std::make_shared<AgentController>(executor_.executor(), options);
            c->onRequestTrust = [this](const Uuid& id, const std::string& name) {
                prompts_.push(id.toString() + " " + name);
            };
            c->addObserver([this, c = c.get()] { states_.push(c->state()); });
            return c;
        });
        executor_.await(controller_->start());
        ASSERT_EQ(state(), AgentController::State::listening());
    }

    std::uint16_t port() {
        return executor_.call([&] { return controller_->transport()->localPort(); });
    }

    AgentController::State state() {
        return executor_.call([&] { return controller_->state(); });
    }

    bool waitForState(const AgentController::State& wanted) {
        return states_.waitFor([&](const AgentController::State& s) { return s == wanted; })
            .has_value();
    }

    bool waitForKind(Kind kind) {
        return states_.waitFor([&](const AgentController::State& s) { return s.kind == kind; })
            .has_value();
    }

    std::unique_ptr<TabletPeer> connectTablet() {
        auto tablet = std::make_unique<TabletPeer>(executor_, port());
        EXPECT_TRUE(tablet->connect());
        EXPECT_TRUE(waitForKind(Kind::handshaking));
        return tablet;
    }

    // Connects a tablet that is already trusted and waits until it is live.
    std::unique_ptr<TabletPeer> liveTablet(const Uuid& id, const std::string& name) {
        store_->saveAll({{id, name}});
        auto tablet = connectTablet();
        tablet->sayHello(helloFrom(id, name));
        EXPECT_TRUE(waitForState(AgentController::State::live(name, 0)));
        EXPECT_TRUE(tablet->waitForControl<DisplayConfig>());
        return tablet;
    }

    ExecutorThread executor_;
    TemporaryKeychain keychain_;
    std::shared_ptr<TrustedDeviceStore> store_ = keychain_.store();
    std::shared_ptr<FakeSessionMedia> media_ = std::make_shared<FakeSessionMedia>();
    std::shared_ptr<AgentController> controller_;
    WaitList<AgentController::State> states_;
    WaitList<std::string> prompts_;
    LogCapture logs_;
};

} // namespace tessarine::testing
