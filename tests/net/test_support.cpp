#include "test_support.hpp"

#include <asio/read.hpp>
#include <asio/write.hpp>

#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>

namespace tessarine::test {

namespace {

struct Identity {
    EVP_PKEY* key = nullptr;
    X509* certificate = nullptr;
};

const Identity& testIdentity() {
    static const Identity identity = [] {
        Identity id;
        id.key = EVP_EC_gen("P-256");
        id.certificate = X509_new();
        if (!id.key || !id.certificate)
            throw std::runtime_error("cannot create a test key");
        X509_set_version(id.certificate, 2);
        ASN1_INTEGER_set(X509_get_serialNumber(id.certificate), 1);
        X509_gmtime_adj(X509_getm_notBefore(id.certificate), -3600);
        X509_gmtime_adj(X509_getm_notAfter(id.certificate), 24 * 3600);
        X509_set_pubkey(id.certificate, id.key);
        X509_NAME* name = X509_get_subject_name(id.certificate);
        X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>("Tessarine Test"), -1, -1,
                                   0);
        X509_set_issuer_name(id.certificate, name);
        if (X509_sign(id.certificate, id.key, EVP_sha256()) <= 0)
            throw std::runtime_error("cannot sign the test certificate");
        return id;
    }();
    return identity;
}

} // namespace

std::shared_ptr<asio::ssl::context> makeServerContext() {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_server);
    SSL_CTX* native = context->native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(native, TLS1_3_VERSION);
    const Identity& identity = testIdentity();
    if (SSL_CTX_use_certificate(native, identity.certificate) != 1 ||
        SSL_CTX_use_PrivateKey(native, identity.key) != 1)
        throw std::runtime_error("cannot install the test identity");
    return context;
}

std::shared_ptr<asio::ssl::context> makeClientContext(bool maxTLS12) {
    auto context = std::make_shared<asio::ssl::context>(asio::ssl::context::tls_client);
    SSL_CTX* native = context->native_handle();
    SSL_CTX_set_min_proto_version(native, maxTLS12 ? TLS1_2_VERSION : TLS1_3_VERSION);
    SSL_CTX_set_max_proto_version(native, maxTLS12 ? TLS1_2_VERSION : TLS1_3_VERSION);
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
