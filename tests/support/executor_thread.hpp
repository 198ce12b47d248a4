#pragma once

#include <asio/co_spawn.hpp>
#include <asio/executor_work_guard.hpp>
#include <asio/io_context.hpp>
#include <asio/post.hpp>

#include <chrono>
#include <condition_variable>
#include <functional>
#include <future>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <vector>

namespace tessarine::testing {

constexpr auto kTimeout = std::chrono::seconds(10);

// An io_context running on its own thread, with ways for a test to run code
// on it and wait for the result (bounded by kTimeout).
class ExecutorThread {
public:
    ExecutorThread() : work_(asio::make_work_guard(io_)), thread_([this] { io_.run(); }) {}
    ~ExecutorThread() {
        work_.reset();
        io_.stop();
        thread_.join();
    }

    asio::any_io_executor executor() { return io_.get_executor(); }

    template <typename F> auto call(F f) -> decltype(f()) {
        using R = decltype(f());
        std::packaged_task<R()> task(std::move(f));
        auto future = task.get_future();
        asio::post(io_, [&task] { task(); });
        if (future.wait_for(kTimeout) != std::future_status::ready)
            throw std::runtime_error("timed out waiting for the executor");
        return future.get();
    }

    template <typename T> T await(asio::awaitable<T> awaitable) {
        std::promise<T> promise;
        auto future = promise.get_future();
        asio::co_spawn(io_, std::move(awaitable), [&promise](std::exception_ptr e, auto... value) {
            if (e)
                promise.set_exception(e);
            else
                promise.set_value(std::move(value)...);
        });
        if (future.wait_for(kTimeout) != std::future_status::ready)
            throw std::runtime_error("timed out waiting for a coroutine");
        return future.get();
    }

private:
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> work_;
    std::thread thread_;
};

// Values produced on other threads, waited for with a bound.
template <typename T> class WaitList {
public:
    void push(T value) {
        {
            std::lock_guard lock(mutex_);
            items_.push_back(std::move(value));
        }
        changed_.notify_all();
    }

    void clear() {
        std::lock_guard lock(mutex_);
        items_.clear();
    }

    std::vector<T> snapshot() const {
        std::lock_guard lock(mutex_);
        return items_;
    }

    // Waits until the predicate holds for the whole list.
    bool waitUntil(const std::function<bool(const std::vector<T>&)>& predicate,
                   std::chrono::milliseconds timeout = kTimeout) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, timeout, [&] { return predicate(items_); });
    }

    // Waits for an item matching the predicate and returns the first one.
    std::optional<T> waitFor(const std::function<bool(const T&)>& predicate,
                             std::chrono::milliseconds timeout = kTimeout) {
        std::optional<T> found;
        waitUntil(
            [&](const std::vector<T>& items) {
                for (const auto& item : items)
                    if (predicate(item)) {
                        found = item;
                        return true;
                    }
                return false;
            },
            timeout);
        return found;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<T> items_;
};

} // namespace tessarine::testing
