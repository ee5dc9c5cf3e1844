#pragma once
// One WebSocket connection over TLS to the relay, carrying whole text messages, kept alive by
// periodic pings. It knows nothing of rooms, JSON or encryption.
//
// Execution. A transport lives on one Asio executor (the client's main io_context) and every
// member function must be called from that executor's thread. Background work (opening,
// writing, reading, pings, the silence watchdog, closing) runs there as coroutines that hold
// the connection, never the transport: a transport may be destroyed while operations are
// outstanding; they then end with an error.
//
// Opening. connect(url) returns at once with state() == connected; resolving, TCP connect, the
// TLS handshake and the WebSocket upgrade run in the background, all within Timing::
// requestLimit. send() and receive() wait for the opening and throw its failure (refused
// port, certificate that fails, time-out...) as their own error. TLS always verifies the
// chain against the system trust store (OpenSSL's default paths, so SSL_CERT_FILE and
// SSL_CERT_DIR are honoured) and the host name, and sends SNI; there is no fallback.
//
// Through a SOCKS5 proxy. With a proxy set, the TCP connection goes to the proxy, which is
// asked (CONNECT) for the relay by its name: the transport never resolves the relay's name
// itself. TLS and the upgrade then run through it unchanged. Without a proxy, a ".onion" relay
// fails the opening before any lookup. The proxy's refusals read as sentences
// ("The proxy could not connect to the relay: host unreachable").
//
// Concurrency. Any number of send() calls may be outstanding beside one receive(): messages go
// on the wire strictly in the order the send() operations started (a write queue), each one
// completing when its message has been written. Nothing moves the state on its own when the connection
// drops: send() and receive() then throw the failure until disconnect().
//
// Liveness. A ping goes out every Timing::pingInterval; its outcome is ignored. While a
// receive() is waiting, a silence (no frame, no pong) of Timing::resourceLimit counts as a
// dead connection: the socket is closed and receive() throws NetworkError "timed out". A
// healthy connection is never cut for its age.
//
// Errors. TransportError for the transport's own conditions (what() is the case name);
// NetworkError, with the system's readable description, for everything the network or the
// peer caused. Cancelling the awaiting task (Asio cancellation slot) abandons the wait only:
// a message already handed to send() is still written, a close still goes out.
//
// Typical use, inside a coroutine on the executor:
//   WebSocketTransport transport(executor);
//   transport.connect(url);                       // state() == connected at once
//   co_await transport.send(hello);               // throws the opening's failure, if any
//   for (;;) handle(co_await transport.receive()); // until it throws
//   co_await transport.disconnect();              // close code 1000

#include <chrono>
#include <cstddef>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <string_view>

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <boost/system/error_code.hpp>

#include "Duoquill/Transport/Socks5Proxy.h"

namespace boost::asio::ssl {
class context;
}

namespace duoquill {

// A failure of the network or of the peer: connection refused, name not found, certificate
// rejected, time-out, connection closed, message too big. what() is a readable sentence.
class NetworkError : public std::runtime_error {
public:
    NetworkError(boost::system::error_code code, const std::string& message)
        : std::runtime_error(message), code_(code) {}
    boost::system::error_code code() const noexcept { return code_; }

private:
    boost::system::error_code code_;
};

class WebSocketTransport {
public:
    enum class ConnectionState { disconnected, connecting, connected };

    enum class TransportErrorCode {
        notConnected,    // an operation needs a connection and there is none
        invalidMessage,  // a binary message that is not valid UTF-8
    };

    class TransportError : public std::exception {
    public:
        explicit TransportError(TransportErrorCode code) : code_(code) {}
        TransportErrorCode code() const noexcept { return code_; }
        const char* what() const noexcept override;

    private:
        TransportErrorCode code_;
    };

    // The limits of a connection; tests shorten them.
    struct Timing {
        // Between two keep-alive pings; the first goes out this long after connect().
        std::chrono::steady_clock::duration pingInterval = std::chrono::seconds(15);
        // Bounds the opening (TCP connect, TLS and WebSocket handshakes) and the closing handshake.
        std::chrono::steady_clock::duration requestLimit = std::chrono::seconds(15);
        // The same through a proxy: Tor may take tens of seconds to build a circuit to an
        // onion service.
        std::chrono::steady_clock::duration proxiedRequestLimit = std::chrono::seconds(60);
        // The longest silence (no frame, no pong) before a connection counts as dead.
        std::chrono::steady_clock::duration resourceLimit = std::chrono::seconds(300);
    };

    // Incoming messages above this size are refused: receive() throws and the connection ends.
    static constexpr std::size_t kMaximumMessageSize = 1 << 20;

    // Prepares the TLS configuration (trust store read now); no connection yet.
    explicit WebSocketTransport(boost::asio::any_io_executor executor);
    WebSocketTransport(boost::asio::any_io_executor executor, Timing timing);
    // Every connection goes through this proxy, signing in with its credentials.
    WebSocketTransport(boost::asio::any_io_executor executor, Timing timing, std::optional<Socks5Proxy> proxy);
    // Stops the pings and closes the connection, if any, with code 1000 in the background.
    ~WebSocketTransport();
    WebSocketTransport(const WebSocketTransport&) = delete;
    WebSocketTransport& operator=(const WebSocketTransport&) = delete;

    ConnectionState state() const noexcept { return state_; }

    // Starts a connection to a "wss://host[:port]/path" URL and returns at once; the state is
    // then connected. A previous connection is closed (code 1000) and replaced, and the
    // keep-alive pings restart for the new one. A URL that cannot be used fails the opening.
    void connect(std::string_view url);

    // Sends one text message. Throws TransportError(notConnected) without a connection, else
    // the opening's or the write's NetworkError.
    boost::asio::awaitable<void> send(std::string text);

    // The next message: text frames as they are, binary frames when they are valid UTF-8.
    // Throws TransportError(notConnected) without a connection, TransportError(invalidMessage)
    // for a binary frame that is not UTF-8 (the connection stays usable), else NetworkError
    // (the connection is then finished, including when the peer closed it).
    boost::asio::awaitable<std::string> receive();

    // Stops the pings, starts closing the connection with code 1000 and sets the state to
    // disconnected, all in the call itself (send() and receive() throw notConnected from then
    // on). Awaiting the result waits until the closing handshake is over, failed or ran out of
    // the request limit; it throws only when the awaiting task is cancelled. Not awaiting it is
    // fine: the close goes on in the background.
    boost::asio::awaitable<void> disconnect();

private:
    class Connection;  // one connection attempt and its life
    class KeepAlive;   // the ping loop

    void startPing();
    void stopPing() noexcept;
    // The connection for send() and receive(), or TransportError(notConnected).
    std::shared_ptr<Connection> usableConnection() const;

    boost::asio::any_io_executor executor_;
    Timing timing_;
    std::optional<Socks5Proxy> proxy_;
    std::shared_ptr<boost::asio::ssl::context> tls_;
    std::shared_ptr<Connection> task_;
    ConnectionState state_ = ConnectionState::disconnected;
    std::shared_ptr<KeepAlive> pingTask_;
};

}  // namespace duoquill
