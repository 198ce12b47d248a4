#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

namespace tessarine::test {

// One service as avahi-browse resolved it.
struct BrowsedService {
    std::string name;
    std::string type;
    std::uint16_t port = 0;
};

// A private system bus (dbus-daemon on a unix socket in a temporary
// directory) and an avahi-daemon on it, confined to the loopback interface of
// a network namespace of its own, so nothing is announced on a real network.
// Needs root (for the namespace); start() says why when it cannot run.
class AvahiTestDaemon {
public:
    // directory: where the bus socket goes (created if missing); empty picks
    // a fresh temporary directory.
    static std::unique_ptr<AvahiTestDaemon> start(std::string& whyNot,
                                                  const std::string& directory = {});
    ~AvahiTestDaemon();

    AvahiTestDaemon(const AvahiTestDaemon&) = delete;
    AvahiTestDaemon& operator=(const AvahiTestDaemon&) = delete;

    const std::string& busAddress() const { return busAddress_; }
    static std::string busAddressFor(const std::string& directory);

    // One pass of `avahi-browse -rpt type` against this daemon.
    std::vector<BrowsedService> browse(const std::string& type) const;
    // Browses until the services satisfy `condition` or the timeout passes.
    bool waitUntil(const std::string& type,
                   const std::function<bool(const std::vector<BrowsedService>&)>& condition,
                   std::chrono::milliseconds timeout) const;

private:
    AvahiTestDaemon() = default;

    std::string directory_;
    bool ownsDirectory_ = false;
    std::string busAddress_;
    int busPid_ = -1;
    int avahiPid_ = -1;
    int avahiOutput_ = -1;
    int busOutput_ = -1;
    std::thread drain_;
};

} // namespace tessarine::test
