#pragma once
// The server side of a TLS connection on the non-blocking socket, Asio only waiting for
// readiness. OpenSSL runs the handshake; a TLS 1.3 connection then carries on with TlsRecords
// and OpenSSL's connection is freed (TLS 1.2 stays with OpenSSL, its buffers released while
// idle); its records are then received inside the reactor's own read operations, so a wait for
// the next ones costs no system call (SocketReceive.h). An idle connection holds no buffers, which is what lets one relay hold tens of
// thousands of connections.
//
// What is written waits in a TlsOutbox for its thread's SendBatch, so that the frames written
// meanwhile leave in one send rather than one send each.
//
// An AsyncReadStream and AsyncWriteStream for Asio's and Beast's composed operations. A read
// completes in the handler that copied its bytes, so a buffer the thread shares between its
// connections is safe to read into. All operations of one stream must run on the thread of
// its socket's context.

#include <boost/asio/compose.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/error.hpp>
#include <boost/beast/core/buffers_range.hpp>

#include <openssl/ssl.h>

#include "DuoquillRelay/RelayThreads.h"
#include "DuoquillRelay/SocketReceive.h"
#include "DuoquillRelay/TlsOutbox.h"
#include "DuoquillRelay/TlsRecords.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>

namespace duoquill::relay {

class TlsOutbox;

class TlsSocketStream {
public:
    using executor_type = RelaySocket::executor_type;
    using error_code = boost::system::error_code;

    // Lets the streams on `context` take over their records after the handshake.
    static void prepareContext(SSL_CTX* context);

    // Takes the accepted socket; `context` is the server's TLS context (prepared as above).
    TlsSocketStream(RelaySocket socket, SSL_CTX* context);
    // Moves a stream with no operation outstanding to another thread's context, on the thread
    // of the one it leaves. Its socket is taken over; what it has not sent yet is sent from there.
    TlsSocketStream(TlsSocketStream&& other, boost::asio::io_context& context);
    TlsSocketStream(const TlsSocketStream&) = delete;
    TlsSocketStream& operator=(const TlsSocketStream&) = delete;
    ~TlsSocketStream();

    executor_type get_executor() noexcept { return socket_.get_executor(); }
    RelaySocket& socket() noexcept { return socket_; }

    template <class Handler>
    auto async_handshake(Handler&& handler) {
        return boost::asio::async_compose<Handler, void(error_code)>(
            Step<HandshakeCall, false>{*this, {}}, handler, socket_);
    }

    template <class MutableBuffers, class Handler>
    auto async_read_some(const MutableBuffers& buffers, Handler&& handler) {
        boost::asio::mutable_buffer first;
        for (const auto buffer : boost::beast::buffers_range_ref(buffers)) {
            if (buffer.size() != 0) {
                first = buffer;
                break;
            }
        }
        return boost::asio::async_compose<Handler, void(error_code, std::size_t)>(
            Step<ReadCall, true>{*this, ReadCall{first}}, handler, socket_);
    }

    template <class ConstBuffers, class Handler>
    auto async_write_some(const ConstBuffers& buffers, Handler&& handler) {
        WriteCall call;
        // A frame header and its payload go out as one record: small sequences are gathered at
        // each attempt into a scratch buffer of the thread, so nothing is allocated per write.
        std::size_t total = 0;
        for (const auto buffer : boost::beast::buffers_range_ref(buffers)) {
            if (buffer.size() == 0) continue;
            if (call.count == WriteCall::kMaxPieces || total >= kMaxGather) break;
            const std::size_t size = call.count == 0 ? buffer.size() : std::min(buffer.size(), kMaxGather - total);
            call.pieces[call.count++] = boost::asio::const_buffer(buffer.data(), size);
            total += size;
        }
        return boost::asio::async_compose<Handler, void(error_code, std::size_t)>(
            Step<WriteCall, true>{*this, call}, handler, socket_);
    }

    // Writes all of these bytes now if they fit (after the handshake, in TLS 1.3, at most the
    // bytes one write seals, and an outbox with room): true then. Else writes none, and an
    // asynchronous write takes them. Not while an asynchronous write is under way.
    bool writeNow(const boost::asio::const_buffer* pieces, std::size_t count);

    // Sends close_notify if the socket takes it now, then closes the socket.
    void shutdownAndClose() noexcept;

    // The end of a closing handshake: close_notify and a TCP FIN go out, then what the peer
    // still sends is read and dropped until it closes too, so the last frames are not lost
    // to a reset. Bounded by whoever closes the socket (the closing time-out).
    template <class Handler>
    void asyncTeardown(Handler&& handler) {
        sendCloseNotify();
        boost::asio::async_compose<Handler, void(error_code)>(Drain{*this}, handler, socket_);
    }

private:
    static constexpr std::size_t kMaxGather = 16 * 1024;

    // `receive`: nothing opened is waiting; its records are received in the reactor (see
    // SocketReceive.h).
    enum class Outcome { done, wantRead, receive, wantWrite, failed };

    struct HandshakeCall {
        Outcome attempt(TlsSocketStream& stream, std::size_t& transferred, error_code& ec);
    };
    struct ReadCall {
        boost::asio::mutable_buffer buffer;
        Outcome attempt(TlsSocketStream& stream, std::size_t& transferred, error_code& ec);
    };
    struct WriteCall {
        static constexpr std::size_t kMaxPieces = 4;
        std::array<boost::asio::const_buffer, kMaxPieces> pieces{};
        std::size_t count = 0;
        Outcome attempt(TlsSocketStream& stream, std::size_t& transferred, error_code& ec);
    };

    // One OpenSSL call, retried after the socket becomes ready for what it wants. The first
    // attempt is posted so that no handler runs inside its initiating function.
    template <class Call, bool WithSize>
    struct Step {
        TlsSocketStream& stream;
        Call call;
        bool started = false;

        template <class Self>
        void operator()(Self& self, error_code waitError = {}) {
            if (!started) {
                started = true;
                if constexpr (std::is_same_v<Call, ReadCall>) {
                    // Completes from the reactor, never in here, so needs no post first.
                    if (stream.receivesNext(call.buffer)) {
                        stream.receive(std::move(self));
                        return;
                    }
                }
                boost::asio::post(stream.get_executor(), std::move(self));
                return;
            }
            std::size_t transferred = 0;
            error_code ec = waitError;
            // Once closed, the descriptor number may already belong to another connection.
            if (!ec && !stream.socket_.is_open()) ec = boost::asio::error::bad_descriptor;
            Outcome outcome = ec ? Outcome::failed : call.attempt(stream, transferred, ec);
            switch (outcome) {
                case Outcome::wantRead:
                    stream.socket_.async_wait(boost::asio::socket_base::wait_read, std::move(self));
                    return;
                case Outcome::receive:
                    stream.receive(std::move(self));
                    return;
                case Outcome::wantWrite:
                    stream.socket_.async_wait(boost::asio::socket_base::wait_write, std::move(self));
                    return;
                case Outcome::done:
                case Outcome::failed:
                    if constexpr (WithSize) {
                        self.complete(ec, transferred);
                    } else {
                        self.complete(ec);
                    }
                    return;
            }
        }
    };

    // After the handshake: its own records for TLS 1.3, else OpenSSL's from then on.
    void finishHandshake();
    Outcome readRecords(boost::asio::mutable_buffer buffer, std::size_t& transferred, error_code& ec);
    // Whether a read into `buffer` starts with receiving: nothing opened is waiting for it.
    bool receivesNext(boost::asio::mutable_buffer buffer) const;
    // One recv, its whole records opened into plainIn_ (run by the reactor, see SocketReceive.h;
    // what they ask to be answered goes with the thread's next send batch).
    Received receiveRecords(error_code& ec);
    template <class Handler>
    void receive(Handler&& handler) {
        asyncReceive(socket_, [this](error_code& ec) { return receiveRecords(ec); }, std::forward<Handler>(handler));
    }
    Outcome writeRecords(const WriteCall& call, std::size_t& transferred, error_code& ec);
    static void onKeyLog(const SSL* ssl, const char* line);

    void sendCloseNotify() noexcept;
    // Reads and drops what has arrived; true once the peer has closed (or the socket failed).
    bool drainUntilClosed() noexcept;

    struct Drain {
        TlsSocketStream& stream;
        bool started = false;

        template <class Self>
        void operator()(Self& self, error_code ec = {}) {
            if (!started) {
                started = true;
                boost::asio::post(stream.get_executor(), std::move(self));
                return;
            }
            if (!ec && stream.socket_.is_open() && !stream.drainUntilClosed()) {
                stream.socket_.async_wait(boost::asio::socket_base::wait_read, std::move(self));
                return;
            }
            stream.shutdownAndClose();
            self.complete(error_code{});
        }
    };

    struct SslFree {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
    };

    RelaySocket socket_;
    std::shared_ptr<TlsOutbox> outbox_;  // shared with the sends it has scheduled
    std::unique_ptr<SSL, SslFree> ssl_;  // until the handshake ends, or for good on TLS 1.2
    std::unique_ptr<TlsRecords::Secrets> secrets_;  // during the handshake
    std::unique_ptr<TlsRecords> records_;
    std::string sealedIn_;  // an incomplete record
    std::string plainIn_;   // opened and not yet read
    std::size_t plainRead_ = 0;
    bool peerClosed_ = false;
    bool closeNotifySent_ = false;
};

}  // namespace duoquill::relay
