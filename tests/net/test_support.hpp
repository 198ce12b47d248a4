#pragma once

#include "net/async_queue.hpp"

#include <asio/awaitable.hpp>
#include <asio/co_spawn.hpp>
#include <asio/detached.hpp>
#include <asio/experimental/awaitable_operators.hpp>
#include <asio/io_context.hpp>
#include <asio/ip/tcp.hpp>
#include <asio/ssl/context.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <asio/strand.hpp>
#include <asio/this_coro.hpp>
#include <asio/use_awaitable.hpp>
#include <asio/use_future.hpp>

#include <chrono>
#include <future>
#include <memory>
#include <optional>
#include <span>
#include <stdexcept>
#include <thread>
#include <variant>
#include <vector>

namespace tessarine::test {

using namespace std::chrono_literals;

constexpr auto eventTimeout = std::chrono::milliseconds(10000);

// An io_context run by its own threads for the life of the object.
class IoThreads {
public:
    explicit IoThreads(int count = 1) : guard_(io_.get_executor()) {
        for (int i = 0; i < count; ++i)
            threads_.emplace_back([this] { io_.run(); });
    }
    ~IoThreads() {
        guard_.reset();
        io_.stop();
        for (auto& thread : threads_)
            thread.join();
    }
    asio::io_context& io() { return io_; }
    asio::any_io_executor executor() { return io_.get_executor(); }

private:
    asio::io_context io_;
    asio::executor_work_guard<asio::io_context::executor_type> guard_;
    std::vector<std::thread> threads_;
};

struct Timeout : std::runtime_error {
    Timeout() : std::runtime_error("timed out waiting for an event") {}
};

namespace detail {

// The outcome of an operation as a value: `||` waits for the first
// *successful* branch, so an exception must not end the operation.
template <typename T> struct Outcome {
    std::optional<T> value;
    std::exception_ptr error;
};
template <> struct Outcome<void> { std::exception_ptr error; };

template <typename T> asio::awaitable<Outcome<T>> capture(asio::awaitable<T> operation) {
    Outcome<T> outcome;
    try {
        if constexpr (std::is_void_v<T>)
            co_await std::move(operation);
        else
            outcome.value.emplace(co_await std::move(operation));
    } catch (...) {
        outcome.error = std::current_exception();
    }
    co_return outcome;
}

template <typename T>
asio::awaitable<Outcome<T>> withTimeout(asio::awaitable<T> operation,
                                        std::chrono::milliseconds timeout) {
    using namespace asio::experimental::awaitable_operators;
    asio::steady_timer timer(co_await asio::this_coro::executor, timeout);
    // Named first: g++ 12 mishandles temporaries inside co_await expressions.
    auto either = capture(std::move(operation)) || timer.async_wait(asio::use_awaitable);
    auto result = co_await std::move(either);
    if (result.index() == 1)
        throw Timeout();
    co_return std::get<0>(std::move(result));
}

} // namespace detail

// Runs a coroutine on the io threads and waits for its result, at most
// `timeout`. Exceptions of the coroutine reach the caller.
template <typename T>
T await(IoThreads& threads, asio::awaitable<T> operation,
        std::chrono::milliseconds timeout = eventTimeout) {
    // On a strand: the two branches of || must not run on two threads at once.
    auto future =
        asio::co_spawn(asio::make_strand(threads.io()),
                       detail::withTimeout(std::move(operation), timeout), asio::use_future);
    auto outcome = future.get();
    if (outcome.error)
        std::rethrow_exception(outcome.error);
    if constexpr (!std::is_void_v<T>)
        return std::move(*outcome.value);
}

// The next value of a queue: the value, or nullopt when the queue ended.
// Throws Timeout when neither happens in time.
template <typename T>
std::optional<T> next(IoThreads& threads, AsyncQueue<T>& queue,
                      std::chrono::milliseconds timeout = eventTimeout) {
    return await(threads, queue.pop(), timeout);
}

// A blocking peer on its own io_context, for writing exact bytes and watching
// the other side's reaction. Reads wait at most eventTimeout.
class RawPeer {
public:
    // Connects (and handshakes when tls is set); throws std::system_error.
    static std::unique_ptr<RawPeer> connect(const asio::ip::tcp::endpoint& endpoint,
                                            const std::shared_ptr<asio::ssl::context>& tls);
    // Accepts one connection on listener (and handshakes as server when tls is set).
    static std::unique_ptr<RawPeer> accept(asio::ip::tcp::acceptor& listener,
                                           const std::shared_ptr<asio::ssl::context>& tls);

    void write(std::span<const std::uint8_t> bytes);
    // Reads until `count` bytes arrived; throws on error, end or timeout.
    std::vector<std::uint8_t> read(std::size_t count);
    // Whether the other side ends the connection (EOF or reset) in time; bytes
    // arriving before the end are skipped.
    bool waitForEnd();
    void close();
    asio::ip::tcp::socket& socket();

private:
    explicit RawPeer(asio::ip::tcp::socket socket, const std::shared_ptr<asio::ssl::context>& tls);
    std::size_t readSome(std::span<std::uint8_t> buffer, std::error_code& ec);

    std::unique_ptr<asio::io_context> io_;
    std::variant<asio::ip::tcp::socket, asio::ssl::stream<asio::ip::tcp::socket>> stream_;
};

inline asio::ip::tcp::endpoint loopback(std::uint16_t port) {
    return {asio::ip::make_address("127.0.0.1"), port};
}

// The host's real TLS 1.3 server context (TLSIdentity), its identity kept in a
// temporary keychain of this process.
std::shared_ptr<asio::ssl::context> makeServerContext();
// TLSIdentity's client context (TLS 1.3, no certificate check), or with
// maxTLS12 one that offers nothing newer than TLS 1.2.
std::shared_ptr<asio::ssl::context> makeClientContext(bool maxTLS12 = false);

} // namespace tessarine::test
