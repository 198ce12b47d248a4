#include "net/mdns_advertiser.hpp"

#include "avahi_test_daemon.hpp"
#include "diagnostics/logger.hpp"
#include "net/wifi_transport_host.hpp"
#include "test_support.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <future>

namespace tessarine {
namespace {

using namespace std::chrono_literals;
using test::AvahiTestDaemon;
using test::BrowsedService;

constexpr const char* serviceType = "_tessarine._tcp";

bool hasService(const std::vector<BrowsedService>& services, const std::string& name,
                std::uint16_t port) {
    return std::any_of(services.begin(), services.end(), [&](const BrowsedService& s) {
        return s.name == name && s.port == port && s.type == serviceType;
    });
}

// Publication confirmed by the daemon, as a future.
struct PublishedProbe {
    std::promise<std::string> promise;
    std::once_flag once;
    void attach(MDNSAdvertiser& advertiser) {
        advertiser.onPublished = [this](const std::string& name) {
            std::call_once(once, [&] { promise.set_value(name); });
        };
    }
};

// libdbus reads the system bus address once per process, so every test in a
// process shares one bus directory and the daemon started there.
class SharedAvahi : public ::testing::Environment {
public:
    void SetUp() override {
        char pattern[] = "/tmp/tessarine-avahi-XXXXXX";
        if (::mkdtemp(pattern))
            directory = pattern;
        ::setenv("DBUS_SYSTEM_BUS_ADDRESS", AvahiTestDaemon::busAddressFor(directory).c_str(), 1);
    }
    void TearDown() override {
        daemon.reset();
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    AvahiTestDaemon* get(std::string& whyNot) {
        if (!daemon && whyNotCached.empty()) {
            daemon = AvahiTestDaemon::start(whyNotCached, directory);
        }
        whyNot = whyNotCached;
        return daemon.get();
    }

    std::string directory;
    std::string whyNotCached;
    std::unique_ptr<AvahiTestDaemon> daemon;
};

SharedAvahi* const sharedAvahi =
    static_cast<SharedAvahi*>(::testing::AddGlobalTestEnvironment(new SharedAvahi));

class MDNSAdvertiserTest : public ::testing::Test {
protected:
    void SetUp() override {
        std::string whyNot;
        daemon_ = sharedAvahi->get(whyNot);
        if (!daemon_)
            GTEST_SKIP() << "no private Avahi daemon: " << whyNot;
    }

    LogCapture logs_;
    AvahiTestDaemon* daemon_ = nullptr;
};

// First in the file: it needs the process's bus not to exist yet.
TEST(MDNSAdvertiserWithoutDaemonTest, LogsOnceAndPublishesWhenTheDaemonAppears) {
    if (sharedAvahi->daemon)
        GTEST_SKIP() << "the daemon of this process is already running";
    LogCapture logs;
    // No bus behind the process's address yet: the Avahi client cannot even
    // be created.
    MDNSAdvertiser advertiser(serviceType, "Late Host", 6000);
    PublishedProbe probe;
    probe.attach(advertiser);
    advertiser.start();
    EXPECT_EQ(logs.count("WiFiHost", "mDNS advertisement unavailable"), 1u);
    EXPECT_EQ(advertiser.publishedName(), std::nullopt);

    std::string whyNot;
    AvahiTestDaemon* daemon = sharedAvahi->get(whyNot);
    if (!daemon)
        GTEST_SKIP() << "no private Avahi daemon: " << whyNot;
    auto published = probe.promise.get_future();
    // Retries run every few seconds; allow several.
    ASSERT_EQ(published.wait_for(std::chrono::milliseconds(MDNSAdvertiser::retryIntervalMs * 4)),
              std::future_status::ready);
    EXPECT_EQ(published.get(), "Late Host");
    EXPECT_EQ(logs.count("WiFiHost", "mDNS advertisement unavailable"), 1u);
    EXPECT_TRUE(daemon->waitUntil(
        serviceType, [](const auto& s) { return hasService(s, "Late Host", 6000); },
        test::eventTimeout));
}

TEST_F(MDNSAdvertiserTest, PublishesAndWithdrawsTheService) {
    auto advertiser = std::make_unique<MDNSAdvertiser>(serviceType, "Tessarine Test", 4242);
    PublishedProbe probe;
    probe.attach(*advertiser);
    advertiser->start();
    auto published = probe.promise.get_future();
    ASSERT_EQ(published.wait_for(test::eventTimeout), std::future_status::ready);
    EXPECT_EQ(published.get(), "Tessarine Test");
    EXPECT_EQ(advertiser->publishedName(), "Tessarine Test");
    EXPECT_TRUE(daemon_->waitUntil(
        serviceType, [](const auto& s) { return hasService(s, "Tessarine Test", 4242); },
        test::eventTimeout));

    advertiser.reset();
    EXPECT_TRUE(daemon_->waitUntil(
        serviceType, [](const auto& s) { return !hasService(s, "Tessarine Test", 4242); },
        test::eventTimeout));
}

TEST_F(MDNSAdvertiserTest, NameCollisionTakesTheAlternativeName) {
    MDNSAdvertiser first(serviceType, "Desk", 5000);
    PublishedProbe firstProbe;
    firstProbe.attach(first);
    first.start();
    auto firstName = firstProbe.promise.get_future();
    ASSERT_EQ(firstName.wait_for(test::eventTimeout), std::future_status::ready);
    EXPECT_EQ(firstName.get(), "Desk");

    MDNSAdvertiser second(serviceType, "Desk", 5001);
    PublishedProbe secondProbe;
    secondProbe.attach(second);
    second.start();
    auto secondName = secondProbe.promise.get_future();
    ASSERT_EQ(secondName.wait_for(test::eventTimeout), std::future_status::ready);
    EXPECT_EQ(secondName.get(), "Desk #2");
    EXPECT_TRUE(logs_.contains("WiFiHost", "mDNS name collision; renaming service to Desk #2"));
    EXPECT_TRUE(daemon_->waitUntil(
        serviceType,
        [](const auto& s) { return hasService(s, "Desk", 5000) && hasService(s, "Desk #2", 5001); },
        test::eventTimeout));
}

TEST_F(MDNSAdvertiserTest, HostAdvertisesWhileListeningAndWithdrawsOnStop) {
    test::IoThreads threads;
    auto host = std::make_shared<WiFiTransportHost>(threads.executor(), 0, serviceType,
                                                    "Host Under Test", nullptr);
    test::await(threads, host->start());
    const std::uint16_t port = host->localPort();
    EXPECT_TRUE(daemon_->waitUntil(
        serviceType, [port](const auto& s) { return hasService(s, "Host Under Test", port); },
        test::eventTimeout));
    test::await(threads, host->stop());
    EXPECT_TRUE(daemon_->waitUntil(
        serviceType, [port](const auto& s) { return !hasService(s, "Host Under Test", port); },
        test::eventTimeout));
}

} // namespace
} // namespace tessarine
