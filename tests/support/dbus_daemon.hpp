#pragma once

#include <sys/types.h>

#include <filesystem>
#include <optional>
#include <string>

namespace tessarine::test {

// A private message bus for one test: dbus-daemon with a permissive
// configuration, listening on a unix socket in its own temporary directory.
// Killed and reaped on destruction, and killed with the test process if that
// dies first.
class DbusDaemon {
public:
    // Why no bus can be started here (dbus-daemon missing), or none.
    static std::optional<std::string> unavailable();

    // Throws std::runtime_error when the daemon does not come up.
    DbusDaemon();
    ~DbusDaemon();
    DbusDaemon(const DbusDaemon&) = delete;
    DbusDaemon& operator=(const DbusDaemon&) = delete;

    // The address clients connect to ("unix:path=...,guid=...").
    const std::string& address() const { return address_; }
    pid_t pid() const { return pid_; }
    // Kills the daemon now (tests of a bus that goes away). Idempotent.
    void kill();

private:
    std::filesystem::path directory_;
    std::string address_;
    pid_t pid_ = -1;
};

// Sets an environment variable for one scope and restores its previous value.
class ScopedEnvironment {
public:
    ScopedEnvironment(std::string name, const std::string& value);
    ~ScopedEnvironment();
    ScopedEnvironment(const ScopedEnvironment&) = delete;
    ScopedEnvironment& operator=(const ScopedEnvironment&) = delete;

private:
    std::string name_;
    std::optional<std::string> previous_;
};

} // namespace tessarine::test

// Skips the current test, with the reason, when no private bus can be started.
#define TESSARINE_REQUIRE_DBUS_DAEMON()                                                            \
    do {                                                                                           \
        if (const auto dbusUnavailable = ::tessarine::test::DbusDaemon::unavailable())             \
            GTEST_SKIP() << *dbusUnavailable;                                                      \
    } while (false)
