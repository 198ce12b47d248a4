#include "agent/sleep_observer.hpp"

#include <poll.h>
#include <systemd/sd-bus.h>

#include <chrono>
#include <cstdint>
#include <optional>
#include <system_error>

namespace tessarine {

namespace {

constexpr const char* kPath = "/org/freedesktop/login1";
constexpr const char* kInterface = "org.freedesktop.login1.Manager";
constexpr const char* kMember = "PrepareForSleep";

// Subscribing is the one blocking call; a system bus that accepts the
// connection but never answers must not hold the agent's executor for
// sd-bus's default 25 s.
constexpr std::uint64_t kMethodCallTimeoutUsec = 5'000'000;

struct BusRelease {
    void operator()(sd_bus* bus) const { sd_bus_close_unref(bus); }
};
struct SlotRelease {
    void operator()(sd_bus_slot* slot) const { sd_bus_slot_unref(slot); }
};
using BusHandle = std::unique_ptr<sd_bus, BusRelease>;
using SlotHandle = std::unique_ptr<sd_bus_slot, SlotRelease>;

std::string describe(int negativeErrno) {
    return std::generic_category().message(-negativeErrno);
}

} // namespace

// One live connection and match. Asynchronous handlers hold it weakly, so a
// stopped or destroyed observer's pending waits and queued deliveries find it
// gone and do nothing.
class SleepObserver::Subscription : public std::enable_shared_from_this<Subscription> {
public:
    Subscription(SleepObserver& owner, BusHandle bus)
        : owner_(owner), bus_(std::move(bus)), descriptor_(owner.executor_),
          timer_(owner.executor_) {}

    ~Subscription() {
        // sd-bus owns the descriptor; Asio only borrows it for readiness.
        if (descriptor_.is_open())
            descriptor_.release();
    }

    Subscription(const Subscription&) = delete;
    Subscription& operator=(const Subscription&) = delete;

    // Adds the match (a synchronous AddMatch, so a signal sent after this
    // returns is ours) and borrows the bus descriptor. 0 or a negative errno.
    int subscribe() {
        sd_bus_slot* slot = nullptr;
        // No sender filter: whoever emits on logind's path and interface is
        // heard, which is what lets tests speak for logind on a private bus.
        int r = sd_bus_match_signal(bus_.get(), &slot, nullptr, kPath, kInterface, kMember,
                                    &Subscription::onSignal, this);
        if (r < 0)
            return r;
        slot_.reset(slot);
        const int fd = sd_bus_get_fd(bus_.get());
        if (fd < 0)
            return fd;
        asio::error_code ec;
        descriptor_.assign(fd, ec);
        return ec ? -ec.value() : 0;
    }

    // Drains everything sd-bus can do now, then waits for more.
    void process() {
        const auto self = shared_from_this(); // fail() drops the owner's reference
        for (;;) {
            const int r = sd_bus_process(bus_.get(), nullptr);
            if (r < 0) {
                fail(r);
                return;
            }
            if (r == 0)
                break;
        }
        if (sd_bus_is_open(bus_.get()) <= 0) {
            fail(-ENOTCONN);
            return;
        }
        arm();
    }

private:
    static int onSignal(sd_bus_message* message, void* userdata, sd_bus_error*) {
        auto* self = static_cast<Subscription*>(userdata);
        int sleeping = 0;
        if (sd_bus_message_has_signature(message, "b") <= 0 ||
            sd_bus_message_read(message, "b", &sleeping) < 0) {
            const char* signature = sd_bus_message_get_signature(message, 1);
            self->owner_.log_.error("Ignoring PrepareForSleep with arguments \"%{public}s\"",
                                    signature ? signature : "");
            return 0;
        }
        // Delivered from the executor rather than from inside sd_bus_process,
        // so a callback may stop or destroy the observer safely.
        asio::post(self->owner_.executor_, [weak = self->weak_from_this(), asleep = sleeping != 0] {
            if (const auto live = weak.lock())
                live->owner_.deliver(asleep);
        });
        return 0;
    }

    void arm() {
        const int events = sd_bus_get_events(bus_.get());
        if (events < 0) {
            fail(events);
            return;
        }
        if (!readPending_) {
            readPending_ = true;
            descriptor_.async_wait(asio::posix::stream_descriptor::wait_read,
                                   [weak = weak_from_this()](const asio::error_code& ec) {
                                       if (const auto self = weak.lock())
                                           self->onReady(ec, self->readPending_);
                                   });
        }
        if ((events & POLLOUT) && !writePending_) {
            writePending_ = true;
            descriptor_.async_wait(asio::posix::stream_descriptor::wait_write,
                                   [weak = weak_from_this()](const asio::error_code& ec) {
                                       if (const auto self = weak.lock())
                                           self->onReady(ec, self->writePending_);
                                   });
        }
        armTimer();
    }

    // sd-bus may want to run again at an absolute CLOCK_MONOTONIC time (pending
    // replies, authentication); steady_clock is that clock.
    void armTimer() {
        std::uint64_t usec = UINT64_MAX;
        if (sd_bus_get_timeout(bus_.get(), &usec) <= 0 || usec == UINT64_MAX) {
            if (timerDeadline_) {
                timerDeadline_.reset();
                timer_.cancel();
            }
            return;
        }
        const asio::steady_timer::time_point deadline{std::chrono::microseconds(usec)};
        if (timerDeadline_ == deadline)
            return;
        timerDeadline_ = deadline;
        timer_.expires_at(deadline);
        timer_.async_wait([weak = weak_from_this()](const asio::error_code& ec) {
            const auto self = weak.lock();
            if (!self || ec == asio::error::operation_aborted)
                return;
            self->timerDeadline_.reset();
            self->process();
        });
    }

    void onReady(const asio::error_code& ec, bool& pending) {
        pending = false;
        if (ec == asio::error::operation_aborted)
            return;
        if (ec) {
            fail(-ec.value());
            return;
        }
        process();
    }

    void fail(int error) { owner_.connectionLost(error); }

    SleepObserver& owner_;
    BusHandle bus_;
    SlotHandle slot_; // declared after bus_: released before it
    asio::posix::stream_descriptor descriptor_;
    asio::steady_timer timer_;
    std::optional<asio::steady_timer::time_point> timerDeadline_;
    bool readPending_ = false;
    bool writePending_ = false;
};

SleepObserver::SleepObserver(asio::any_io_executor executor)
    : log_("app.tessarine.mac", "Sleep"), executor_(std::move(executor)) {}

SleepObserver::~SleepObserver() {
    stop();
}

void SleepObserver::start() {
    if (subscription_)
        return; // a second subscription would deliver every signal twice
    sd_bus* raw = nullptr;
    int r = sd_bus_open_system(&raw);
    BusHandle bus(raw);
    if (r >= 0)
        r = sd_bus_set_method_call_timeout(bus.get(), kMethodCallTimeoutUsec);
    if (r < 0) {
        log_.error("System bus unavailable: %{public}s", describe(r));
        return;
    }
    auto subscription = std::make_shared<Subscription>(*this, std::move(bus));
    r = subscription->subscribe();
    if (r < 0) {
        log_.error("System bus unavailable: %{public}s", describe(r));
        return;
    }
    subscription_ = subscription;
    log_.debug("Watching the system bus for sleep and wake");
    // The AddMatch round trip may already have read messages into sd-bus's
    // own queue, where the descriptor's readiness would never show them.
    subscription->process();
}

void SleepObserver::stop() {
    if (!subscription_)
        return;
    subscription_.reset();
    log_.debug("Stopped watching for sleep and wake");
}

void SleepObserver::deliver(bool sleeping) {
    // Copied first: the callback may replace itself or destroy this observer,
    // so nothing here touches a member after it runs.
    if (sleeping) {
        log_.info("Mac will sleep — detach virtual display");
        if (auto callback = onWillSleep)
            callback();
    } else {
        log_.info("Mac did wake — reattach virtual display");
        if (auto callback = onDidWake)
            callback();
    }
}

void SleepObserver::connectionLost(int error) {
    log_.error("System bus connection lost: %{public}s", describe(error));
    subscription_.reset();
}

} // namespace tessarine
