// The relay's TLS stream in this process, on loopback with the relay's own TLS context, and the
// time of its window on handshake messages in the test's hand: no real wait.

#include <gtest/gtest.h>

#include <openssl/ssl.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>

#include <chrono>
#include <csignal>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>

#include "DuoquillRelay/TlsCertificates.h"
#include "DuoquillRelay/TlsStream.h"
#include "Kit/TestCertificates.h"

namespace duoquill::relay {
namespace {

namespace asio = boost::asio;
using namespace std::chrono_literals;

std::chrono::steady_clock::time_point testNow = std::chrono::steady_clock::time_point{} + 1h;
std::chrono::steady_clock::time_point testClock() { return testNow; }

// A TLS 1.3 connection: the relay's stream on one end, a blocking OpenSSL client on the other.
class Connection {
public:
    Connection()
        : certificates_(test::TestCertificates::shared().certificateFile().string(),
                        test::TestCertificates::shared().privateKeyFile().string()),
          acceptor_(io_, {asio::ip::make_address("127.0.0.1"), 0}),
          client_(SSL_CTX_new(TLS_client_method()), SSL_CTX_free),
          clientSocket_(io_),
          tls_(nullptr, SSL_free) {
        clientSocket_.connect(acceptor_.local_endpoint());
        RelaySocket accepted(io_.get_executor());
        acceptor_.accept(accepted);
        server_.emplace(std::move(accepted), certificates_.current().get(), &testClock);
        boost::system::error_code handshake = asio::error::would_block;
        server_->async_handshake([&](boost::system::error_code ec) { handshake = ec; });
        std::thread serving([this] { io_.run(); });
        tls_.reset(SSL_new(client_.get()));
        SSL_set_fd(tls_.get(), clientSocket_.native_handle());
        const bool connected = SSL_connect(tls_.get()) == 1;
        serving.join();
        if (!connected || handshake) throw std::runtime_error("TLS handshake failed");
    }

    // Key updates that ask for one back, then one byte of data behind them, in one write.
    void sendKeyUpdatesThen(int count, char data) {
        BIO* const socket = SSL_get_wbio(tls_.get());
        BIO_up_ref(socket);
        SSL_set0_wbio(tls_.get(), BIO_new(BIO_s_mem()));
        for (int i = 0; i < count; ++i) {
            ASSERT_EQ(SSL_key_update(tls_.get(), SSL_KEY_UPDATE_REQUESTED), 1);
            ASSERT_EQ(SSL_do_handshake(tls_.get()), 1);
        }
        ASSERT_EQ(SSL_write(tls_.get(), &data, 1), 1);
        char* bytes = nullptr;
        const long size = BIO_get_mem_data(SSL_get_wbio(tls_.get()), &bytes);
        asio::write(clientSocket_, asio::buffer(bytes, static_cast<std::size_t>(size)));
        SSL_set0_wbio(tls_.get(), socket);
    }

    // What the relay's stream reads next, waiting on the socket as its read loop does (or, `once`,
    // what one read gives once the socket is readable); empty once the read fails.
    std::string serverRead(bool once = false) {
        if (once) server_->socket().wait(asio::socket_base::wait_read);
        for (;;) {
            boost::system::error_code ec;
            char byte = 0;
            if (server_->readNow(asio::buffer(&byte, 1), ec) == 1) return std::string(1, byte);
            if (once || ec != asio::error::would_block) return "";
            server_->socket().wait(server_->waitsToWrite() ? asio::socket_base::wait_write : asio::socket_base::wait_read, ec);
        }
    }

    const TlsStream& server() const { return *server_; }

private:
    TlsCertificates certificates_;
    asio::io_context io_;
    asio::ip::tcp::acceptor acceptor_;
    std::unique_ptr<SSL_CTX, decltype(&SSL_CTX_free)> client_;
    asio::ip::tcp::socket clientSocket_;
    std::unique_ptr<SSL, decltype(&SSL_free)> tls_;
    std::optional<TlsStream> server_;
};

// 32 key updates, a pause past the window, 32 more: the member stays, and the data behind each
// batch is read, by the same read that opened the key updates (the socket holds nothing more, so a
// read that stopped at a key update would leave the data unread until the member sent again).
// One more within that window is the 33rd: once the read that carries it returns, the stream
// says so, and its socket is shut.
TEST(TlsStream, HandshakeMessagesCountWithinAWindowThatStartsAgain) {
    std::signal(SIGPIPE, SIG_IGN);  // the answer to the 33rd meets a shut socket
    Connection connection;
    connection.sendKeyUpdatesThen(32, 'a');
    EXPECT_EQ(connection.serverRead(true), "a");
    EXPECT_FALSE(connection.server().tooManyHandshakeMessages());

    testNow += TlsStream::kHandshakeMessageWindow;
    connection.sendKeyUpdatesThen(32, 'b');
    EXPECT_EQ(connection.serverRead(), "b");
    EXPECT_FALSE(connection.server().tooManyHandshakeMessages());

    testNow += TlsStream::kHandshakeMessageWindow - 1ms;
    connection.sendKeyUpdatesThen(1, 'c');
    (void)connection.serverRead();  // the byte behind it, or the end: the caller drops the member either way
    EXPECT_TRUE(connection.server().tooManyHandshakeMessages());
    EXPECT_EQ(connection.serverRead(), "");  // the socket is shut: nothing more comes in
}

}  // namespace
}  // namespace duoquill::relay
