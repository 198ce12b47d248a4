#pragma once

#include "diagnostics/logger.hpp"

#include <asio.hpp>

#include <functional>
#include <memory>

namespace tessarine {

// Turns logind's PrepareForSleep(b) signal on the system bus into two plain
// callbacks. The bus is watched from the given executor, and both callbacks
// run there. A machine without a system bus gets one error line and no
// callbacks; nothing is thrown.
//
// Not thread-safe: start(), stop() and destruction belong on the executor's
// thread (or happen while nothing runs the executor), like every other use of
// the controller's state.
class SleepObserver {
public:
    explicit SleepObserver(asio::any_io_executor executor);
    ~SleepObserver();
    SleepObserver(const SleepObserver&) = delete;
    SleepObserver& operator=(const SleepObserver&) = delete;

    // Called when the system is about to sleep / has woken. Either may be
    // empty; either may stop or replace the observer's callbacks.
    std::function<void()> onWillSleep;
    std::function<void()> onDidWake;

    // Connects to the system bus (DBUS_SYSTEM_BUS_ADDRESS when set) and
    // subscribes. Does nothing while already observing.
    void start();
    // Unsubscribes and closes the connection; signals already received but
    // not yet delivered are dropped. Does nothing when not observing.
    void stop();
    // Whether a subscription is live (false after a failed start() or after
    // the bus connection was lost).
    bool observing() const { return subscription_ != nullptr; }

private:
    class Subscription;
    friend class Subscription;

    void deliver(bool sleeping);
    void connectionLost(int error);

    Logger log_;
    asio::any_io_executor executor_;
    std::shared_ptr<Subscription> subscription_;
};

} // namespace tessarine
