#include "test_support.hpp"

#include <asio/read.hpp>
#include <asio/write.hpp>

#include "security/keychain.hpp"
#include "security/tls_identity.hpp"

#include <openssl/ssl.h>

#include <cstdlib>
#include <filesystem>

namespace tessarine::test {

namespace {

// The real host identity, kept in a keychain of this process's own.
struct TestKeychain {
    TestKeychain() {
        char pattern[] = "/tmp/tessarine-net-keychain-XXXXXX";
        if (!::mkdtemp(pattern))
            throw std::runtime_error("cannot create a keychain directory");
        directory = pattern;
        TLSIdentity::useKeychainForTesting(std::make_shared<Keychain>(directory));
    }
    ~TestKeychain() {
        std::error_code ignored;
        std::filesystem::remove_all(directory, ignored);
    }
    std::filesystem::path directory;
};

} // namespace

std::shared_ptr<asio::ssl::context> makeServerContext() {
    static TestKeychain keychain;
    auto context = TLSIdentity::serverOptions();
    if (!context)
        throw std::runtime_error("no TLS identity");
    return context;
}

std::shared_ptr<asio::ssl::context> makeClientContext(bool maxTLS12) {
    if (!maxTLS12)
        return std::make_shared<asio::ssl::context>(TLSIdentity::clientContext());
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
    SSL_CTX_set_min_proto_version(context->native_handle(), TLS1_2_VERSION);
    SSL_CTX_set_max_proto_version(context->native_handle(), TLS1_2_VERSION);
    context->set_verify_mode(asio::ssl::verify_none);
    return context;
}

namespace {

std::variant<asio::ip::tcp::socket, asio::ssl::stream<asio::ip::tcp::socket>>
wrap(asio::ip::tcp::socket socket, const std::shared_ptr<asio::ssl::context>& tls) {
    using Stream = std::variant<asio::ip::tcp::socket, asio::ssl::stream<asio::ip::tcp::socket>>;
    if (tls)
        return Stream(std::in_place_index<1>, std::move(socket), *tls);
    return Stream(std::in_place_index<0>, std::move(socket));
}

} // namespace

RawPeer::RawPeer(asio::ip::tcp::socket socket, const std::shared_ptr<asio::ssl::context>& tls)
    : stream_(wrap(std::move(socket), tls)) {}

asio::ip::tcp::socket& RawPeer::socket() {
    if (auto* tls = std::get_if<1>(&stream_))
        return tls->next_layer();
    return std::get<0>(stream_);
}

std::unique_ptr<RawPeer> RawPeer::connect(const asio::ip::tcp::endpoint& endpoint,
                                          const std::shared_ptr<asio::ssl::context>& tls) {
    auto io = std::make_unique<asio::io_context>();
    asio::ip::tcp::socket socket(*io);
    socket.connect(endpoint);
    std::unique_ptr<RawPeer> peer(new RawPeer(std::move(socket), tls));
    peer->io_ = std::move(io);
    if (auto* stream = std::get_if<1>(&peer->stream_))
        stream->handshake(asio::ssl::stream_base::client);
    return peer;
}

std::unique_ptr<RawPeer> RawPeer::accept(asio::ip::tcp::acceptor& listener,
                                         const std::shared_ptr<asio::ssl::context>& tls) {
    auto io = std::make_unique<asio::io_context>();
    asio::ip::tcp::socket socket(*io);
    listener.accept(socket);
    std::unique_ptr<RawPeer> peer(new RawPeer(std::move(socket), tls));
    peer->io_ = std::move(io);
    if (auto* stream = std::get_if<1>(&peer->stream_))
        stream->handshake(asio::ssl::stream_base::server);
    return peer;
}

void RawPeer::write(std::span<const std::uint8_t> bytes) {
    std::visit([&](auto& stream) { asio::write(stream, asio::buffer(bytes.data(), bytes.size())); },
               stream_);
}

std::size_t RawPeer::readSome(std::span<std::uint8_t> buffer, std::error_code& ec) {
    std::size_t count = 0;
    bool done = false;
    std::visit(
        [&](auto& stream) {
            stream.async_read_some(asio::buffer(buffer.data(), buffer.size()),
                                   [&](std::error_code e, std::size_t n) {
                                       ec = e;
                                       count = n;
                                       done = true;
                                   });
        },
        stream_);
    io_->restart();
    io_->run_for(eventTimeout);
    if (!done) {
        socket().cancel();
        io_->restart();
        io_->run();
        throw Timeout();
    }
    return count;
}

std::vector<std::uint8_t> RawPeer::read(std::size_t count) {
    std::vector<std::uint8_t> bytes(count);
    std::size_t have = 0;
    while (have < count) {
        std::error_code ec;
        have += readSome({bytes.data() + have, count - have}, ec);
        if (ec)
            throw std::system_error(ec);
    }
    return bytes;
}

bool RawPeer::waitForEnd() {
    std::vector<std::uint8_t> scratch(65536);
    for (;;) {
        std::error_code ec;
        try {
            readSome(scratch, ec);
        } catch (const Timeout&) {
            return false;
        }
        if (ec)
            return true;
    }
}

void RawPeer::close() {
    std::error_code ignored;
    socket().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket().close(ignored);
}

} // namespace tessarine::test
