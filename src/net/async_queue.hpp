#pragma once

#include <asio/associated_cancellation_slot.hpp>
#include <asio/associated_executor.hpp>
#include <asio/async_result.hpp>
#include <asio/awaitable.hpp>
#include <asio/error.hpp>
#include <asio/post.hpp>
#include <asio/use_awaitable.hpp>

#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <system_error>
#include <utility>

namespace tessarine {

namespace detail {

// A move-only completion handler with its arguments bound later, erased so it
// can be stored next to handlers of other types. complete() never runs the
// handler inline: it posts it to the handler's own executor, so a producer
// never executes consumer code on its stack or while holding a lock.
template <typename... Args> class ErasedHandler {
public:
    ErasedHandler() = default;
    template <typename Handler>
    explicit ErasedHandler(Handler handler)
        : impl_(std::make_unique<Impl<Handler>>(std::move(handler))) {}

    explicit operator bool() const { return impl_ != nullptr; }

    void complete(Args... args) {
        auto impl = std::move(impl_);
        impl->complete(std::move(args)...);
    }

private:
    struct Base {
        virtual ~Base() = default;
        virtual void complete(Args... args) = 0;
    };
    template <typename Handler> struct Impl final : Base {
        explicit Impl(Handler h) : handler(std::move(h)) {}
        void complete(Args... args) override {
            auto executor = asio::get_associated_executor(handler);
            asio::post(executor, [h = std::move(handler), ... a = std::move(args)]() mutable {
                std::move(h)(std::move(a)...);
            });
        }
        Handler handler;
    };
    std::unique_ptr<Base> impl_;
};

} // namespace detail

// Unbounded, thread-safe queue with one awaiting consumer. Producers push from
// any thread; the consumer awaits pop(), which completes on the consumer's own
// executor. After close() the consumer drains what is queued, then gets
// nullopt. A pop() can be cancelled through its cancellation slot (for
// example by `||` with a timer); it then fails with operation_aborted and
// loses no value.
template <typename T> class AsyncQueue {
public:
    AsyncQueue() = default;
    AsyncQueue(const AsyncQueue&) = delete;
    AsyncQueue& operator=(const AsyncQueue&) = delete;

    // False (and the value is dropped) once the queue is closed.
    bool push(T value) {
        std::unique_lock lock(mutex_);
        if (closed_)
            return false;
        if (waiter_) {
            auto waiter = std::move(waiter_);
            lock.unlock();
            waiter.complete(std::error_code{}, std::optional<T>(std::move(value)));
            return true;
        }
        items_.push_back(std::move(value));
        return true;
    }

    void close() {
        std::unique_lock lock(mutex_);
        if (closed_)
            return;
        closed_ = true;
        if (waiter_) { // a waiting consumer implies nothing is queued
            auto waiter = std::move(waiter_);
            lock.unlock();
            waiter.complete(std::error_code{}, std::nullopt);
        }
    }

    bool closed() const {
        std::lock_guard lock(mutex_);
        return closed_;
    }

    std::optional<T> tryPop() {
        std::lock_guard lock(mutex_);
        if (items_.empty())
            return std::nullopt;
        T value = std::move(items_.front());
        items_.pop_front();
        return value;
    }

    // The next value; nullopt once closed and drained. One consumer at a time.
    asio::awaitable<std::optional<T>> pop() {
        // Named first: g++ 12 mishandles temporaries inside co_await expressions.
        auto popped = asio::async_initiate<decltype(asio::use_awaitable),
                                           void(std::error_code, std::optional<T>)>(
            [this](auto handler) { initiatePop(std::move(handler)); }, asio::use_awaitable);
        co_return co_await std::move(popped);
    }

private:
    using Waiter = detail::ErasedHandler<std::error_code, std::optional<T>>;

    template <typename Handler> void initiatePop(Handler handler) {
        auto slot = asio::get_associated_cancellation_slot(handler);
        std::unique_lock lock(mutex_);
        if (!items_.empty() || closed_) {
            std::optional<T> value;
            if (!items_.empty()) {
                value = std::move(items_.front());
                items_.pop_front();
            }
            lock.unlock();
            Waiter(std::move(handler)).complete(std::error_code{}, std::move(value));
            return;
        }
        const std::uint64_t id = ++waiterId_;
        if (slot.is_connected()) {
            slot.assign([this, id](asio::cancellation_type) { cancelWaiter(id); });
        }
        waiter_ = Waiter(std::move(handler));
    }

    void cancelWaiter(std::uint64_t id) {
        std::unique_lock lock(mutex_);
        if (!waiter_ || waiterId_ != id)
            return; // already completed: the value went to that waiter
        auto waiter = std::move(waiter_);
        lock.unlock();
        waiter.complete(asio::error::operation_aborted, std::nullopt);
    }

    mutable std::mutex mutex_;
    std::deque<T> items_;
    Waiter waiter_;
    std::uint64_t waiterId_ = 0;
    bool closed_ = false;
};

} // namespace tessarine
