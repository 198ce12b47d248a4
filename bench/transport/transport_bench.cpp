// Video throughput from host to client on loopback: the transport over TLS,
// the transport over plain TCP, and raw asio writes of the same frame bytes
// on a plain socket. One sender awaits each send before the next, as the
// session's send task does.
//
//   transport_bench [total MiB per case, default 256]

#include "net/test_support.hpp" // tests/net: the test TLS identity and await helpers
#include "net/wifi_transport_client.hpp"
#include "net/wifi_transport_host.hpp"
#include "protocol/frame.hpp"

#include <asio/read.hpp>
#include <asio/write.hpp>

#include <chrono>
#include <cstdio>
#include <cstdlib>

using namespace tessarine;
using Clock = std::chrono::steady_clock;

namespace {

struct Result {
    double seconds = 0;
    std::size_t frames = 0;
    std::size_t frameBytes = 0;
    double framesPerSecond() const { return double(frames) / seconds; }
    double megabytesPerSecond() const { return double(frames * frameBytes) / 1e6 / seconds; }
};

asio::awaitable<void> sendAll(std::shared_ptr<WiFiTransportHost> host, std::size_t count,
                              std::size_t size) {
    const Bytes payload(size, 0xa5);
    for (std::size_t i = 0; i < count; ++i)
        co_await host->sendVideo(payload, i);
}

asio::awaitable<std::size_t> receiveAll(std::shared_ptr<WiFiTransportClient> client,
                                        std::size_t count) {
    std::size_t received = 0;
    while (received < count) {
        auto frame = co_await client->inbound().pop();
        if (!frame)
            break;
        ++received;
    }
    co_return received;
}

Result throughTransport(bool tls, std::size_t count, std::size_t size) {
    test::IoThreads threads(2);
    auto host =
        std::make_shared<WiFiTransportHost>(threads.executor(), 0, "_tessarine._tcp", "Bench",
                                            tls ? test::makeServerContext() : nullptr);
    test::await(threads, host->start());
    test::next(threads, host->stateStream()); // connecting
    auto client =
        std::make_shared<WiFiTransportClient>(threads.executor(), test::loopback(host->localPort()),
                                              tls ? test::makeClientContext() : nullptr);
    test::await(threads, client->start());
    test::next(threads, host->stateStream()); // connected

    const auto started = Clock::now();
    auto received = asio::co_spawn(threads.io(), receiveAll(client, count), asio::use_future);
    auto sent = asio::co_spawn(threads.io(), sendAll(host, count, size), asio::use_future);
    sent.get();
    const std::size_t got = received.get();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    if (got != count)
        std::fprintf(stderr, "lost frames: %zu of %zu\n", got, count);
    test::await(threads, client->stop());
    test::await(threads, host->stop());
    return {seconds, count, size};
}

// The same frame bytes written and read back with plain asio on one socket.
Result throughRawSocket(std::size_t count, std::size_t size) {
    asio::io_context io;
    asio::ip::tcp::acceptor listener(io, test::loopback(0));
    asio::ip::tcp::socket writer(io);
    writer.connect(listener.local_endpoint());
    writer.set_option(asio::ip::tcp::no_delay(true));
    asio::ip::tcp::socket reader = listener.accept();

    const Bytes payload(size, 0xa5);
    const auto started = Clock::now();
    std::thread sender([&] {
        for (std::size_t i = 0; i < count; ++i) {
            const Bytes bytes = Frame::video(i, payload).encode();
            asio::write(writer, asio::buffer(bytes));
        }
    });
    Bytes header(13);
    Bytes body(size);
    for (std::size_t i = 0; i < count; ++i) {
        asio::read(reader, asio::buffer(header));
        asio::read(reader, asio::buffer(body));
    }
    sender.join();
    const double seconds = std::chrono::duration<double>(Clock::now() - started).count();
    return {seconds, count, size};
}

void print(const char* path, const Result& r) {
    std::printf("%-22s %8zu KiB %8zu frames %10.1f frames/s %10.1f MB/s\n", path,
                r.frameBytes / 1024, r.frames, r.framesPerSecond(), r.megabytesPerSecond());
}

} // namespace

int main(int argc, char** argv) {
    const std::size_t totalMiB = argc > 1 ? std::strtoul(argv[1], nullptr, 10) : 256;
    for (const std::size_t size : {std::size_t(64) << 10, std::size_t(1) << 20}) {
        const std::size_t count = std::max<std::size_t>(1, (totalMiB << 20) / size);
        const Result tls = throughTransport(true, count, size);
        const Result plain = throughTransport(false, count, size);
        const Result raw = throughRawSocket(count, size);
        print("transport TLS 1.3", tls);
        print("transport plain TCP", plain);
        print("raw asio TCP", raw);
        std::printf("%-22s %8zu KiB   TLS/raw %.2f   plain/raw %.2f\n\n", "ratio", size / 1024,
                    tls.megabytesPerSecond() / raw.megabytesPerSecond(),
                    plain.megabytesPerSecond() / raw.megabytesPerSecond());
    }
}
