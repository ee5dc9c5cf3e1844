#pragma once
// The server side of a TLS connection: OpenSSL reads and writes the non-blocking socket itself
// (and hands the records to the kernel where it offers TLS), Asio only waits for readiness.
//
// An AsyncReadStream and AsyncWriteStream for Beast's and Asio's composed operations, plus
// readNow() for a read loop that waits on the socket itself. All operations of one stream run on
// the thread of its socket's context. What OpenSSL holds for the connection is bounded: one read
// buffer, records read ahead (a partial one shows in holdsUnfinishedRecord()), and one write
// buffer; while the buffers are not kept (keepBuffers), nothing between records.

#include <boost/asio/compose.hpp>
#include <boost/asio/post.hpp>
#include <boost/beast/core/buffers_range.hpp>

#include <openssl/ssl.h>

#include <array>
#include <chrono>
#include <cstddef>
#include <memory>

#include "DuoquillRelay/RelayThreads.h"

namespace duoquill::relay {

class TlsStream {
public:
    using executor_type = RelaySocket::executor_type;
    using error_code = boost::system::error_code;
    using TimePoint = std::chrono::steady_clock::time_point;
    // Where the window of handshake messages takes its time from: the relay's clock, or a test's.
    using Clock = TimePoint (*)();

    // Takes the accepted socket; the connection keeps `context` (and its certificate) for life.
    TlsStream(RelaySocket socket, SSL_CTX* context, Clock clock = &steadyNow);
    // Moves a stream with no operation outstanding to another thread's context, on the thread of
    // the one it leaves.
    TlsStream(TlsStream&& other, boost::asio::io_context& context);
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    executor_type get_executor() noexcept { return socket_.get_executor(); }
    RelaySocket& socket() noexcept { return socket_; }

    template <class Handler>
    auto async_handshake(Handler&& handler) {
        return boost::asio::async_compose<Handler, void(error_code)>(Step<HandshakeCall, false>{*this, {}}, handler, socket_);
    }

    template <class MutableBuffers, class Handler>
    auto async_read_some(const MutableBuffers& buffers, Handler&& handler) {
        ReadCall call;
        for (const auto buffer : boost::beast::buffers_range_ref(buffers)) {
            if (buffer.size() != 0) {
                call.buffer = buffer;
                break;
            }
        }
        return boost::asio::async_compose<Handler, void(error_code, std::size_t)>(Step<ReadCall, true>{*this, call}, handler, socket_);
    }

    // Gathers up to kMostGathered bytes of `buffers` into one SSL_write: frames queued together
    // leave in as few records and sends as they fit in.
    template <class ConstBuffers, class Handler>
    auto async_write_some(const ConstBuffers& buffers, Handler&& handler) {
        WriteCall call;
        for (const auto buffer : boost::beast::buffers_range_ref(buffers)) {
            if (buffer.size() == 0) continue;
            if (call.count == WriteCall::kMostPieces || call.total >= kMostGathered) break;
            const std::size_t size = call.count == 0 ? std::min(buffer.size(), kMostGathered) : std::min(buffer.size(), kMostGathered - call.total);
            call.pieces[call.count++] = boost::asio::const_buffer(buffer.data(), size);
            call.total += size;
        }
        return boost::asio::async_compose<Handler, void(error_code, std::size_t)>(Step<WriteCall, true>{*this, call}, handler, socket_);
    }

    // Reads what OpenSSL can open now; would_block when it must wait for the socket, for
    // writing when waitsToWrite() (an answer to the peer, a key update say, is stuck).
    std::size_t readNow(boost::asio::mutable_buffer buffer, error_code& ec);
    bool waitsToWrite() const noexcept { return readWantsWrite_; }
    // OpenSSL holds part of a record, and its read buffer with it.
    bool holdsUnfinishedRecord() const noexcept;

    // The peer sent more than kMostHandshakeMessages handshake messages after the handshake
    // (key updates; on TLS 1.2 renegotiation requests) within kHandshakeMessageWindow. Each costs
    // the relay a key schedule step or a refusal, and an answer written back, so a flood of them
    // is an attack on its time. The message over the limit shuts the socket down at once, inside
    // the read that carries it: OpenSSL answers nothing more and reads nothing more from the
    // socket, so the read returns and the caller drops the connection. Worst case per window:
    // 32 messages answered (a 27-byte key update each, or a 31-byte TLS 1.2 alert: under 1 KiB
    // written to a member that never reads). Records that read-ahead had already taken in
    // behind the one over the limit (at most one read buffer, 16.7 KB) may still be opened in
    // that read, but none is answered. A window starts with the first message after the last
    // one ended.
    bool tooManyHandshakeMessages() const noexcept { return handshakeMessages_ > kMostHandshakeMessages; }
    static constexpr unsigned kMostHandshakeMessages = 32;
    static constexpr std::chrono::seconds kHandshakeMessageWindow{10};

    // Busy, OpenSSL keeps its read and write buffers between records (no allocation per record);
    // idle, it gives them back now and after every record from then on.
    void keepBuffers(bool keep) noexcept;
    // About what keeping them holds: one read and one write buffer of a whole record each.
    static constexpr std::size_t kKeptBufferBytes = 34 * 1024;

    // Sends close_notify if the socket takes it now.
    void sendCloseNotify() noexcept;
    // Sends close_notify if it can, then closes the socket.
    void shutdownAndClose() noexcept;

    static constexpr std::size_t kMostGathered = 64 * 1024;

private:
    enum class Outcome { done, wantRead, wantWrite, failed };

    struct HandshakeCall {
        Outcome attempt(TlsStream& stream, std::size_t& transferred, error_code& ec);
    };
    struct ReadCall {
        boost::asio::mutable_buffer buffer;
        Outcome attempt(TlsStream& stream, std::size_t& transferred, error_code& ec);
    };
    struct WriteCall {
        static constexpr std::size_t kMostPieces = 40;
        std::array<boost::asio::const_buffer, kMostPieces> pieces{};
        std::size_t count = 0;
        std::size_t total = 0;
        Outcome attempt(TlsStream& stream, std::size_t& transferred, error_code& ec);
    };

    // One OpenSSL call, retried once the socket is ready for what it asked. The first attempt
    // is posted so that no handler runs inside its initiating function.
    template <class Call, bool WithSize>
    struct Step {
        TlsStream& stream;
        Call call;
        bool started = false;

        template <class Self>
        void operator()(Self& self, error_code waitError = {}) {
            if (!started) {
                started = true;
                boost::asio::post(stream.get_executor(), std::move(self));
                return;
            }
            std::size_t transferred = 0;
            error_code ec = waitError;
            // Once closed, the descriptor number may already belong to another connection.
            if (!ec && !stream.socket_.is_open()) ec = boost::asio::error::bad_descriptor;
            const Outcome outcome = ec ? Outcome::failed : call.attempt(stream, transferred, ec);
            if (outcome == Outcome::wantRead || outcome == Outcome::wantWrite) {
                stream.socket_.async_wait(outcome == Outcome::wantRead ? boost::asio::socket_base::wait_read
                                                                       : boost::asio::socket_base::wait_write,
                                          std::move(self));
            } else if constexpr (WithSize) {
                self.complete(ec, transferred);
            } else {
                self.complete(ec);
            }
        }
    };

    Outcome read(boost::asio::mutable_buffer buffer, std::size_t& transferred, error_code& ec);
    Outcome outcomeOf(int result, error_code& ec);
    static void onMessage(int writing, int version, int contentType, const void* bytes, std::size_t size, SSL* ssl, void* self);
    void countHandshakeMessage();
    static TimePoint steadyNow() noexcept { return std::chrono::steady_clock::now(); }

    struct SslFree {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
    };

    RelaySocket socket_;
    std::unique_ptr<SSL, SslFree> ssl_;
    Clock clock_;
    bool readWantsWrite_ = false;
    bool handshakeDone_ = false;
    unsigned handshakeMessages_ = 0;  // since handshakeMessagesSince_
    TimePoint handshakeMessagesSince_{};
};

}  // namespace duoquill::relay
