#pragma once
// The server side of a TLS connection: OpenSSL reads and writes the non-blocking socket itself
// (and hands the records to the kernel where it offers TLS), Asio only waits for readiness.
//
// An AsyncReadStream and AsyncWriteStream for Beast's and Asio's composed operations, plus
// readNow() for a read loop that waits on the socket itself. All operations of one stream run on
// the thread of its socket's context. What OpenSSL holds for the connection is bounded: one read
// buffer, records read ahead (a partial one shows in holdsUnfinishedRecord()), and one flight
// written, and with SSL_MODE_RELEASE_BUFFERS nothing while idle.

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

    // Takes the accepted socket; the connection keeps `context` (and its certificate) for life.
    TlsStream(RelaySocket socket, SSL_CTX* context);
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
    // The peer asked for more key updates than kMostKeyUpdates within kKeyUpdateWindow: each
    // costs a key schedule step, so a flood of them is an attack on the relay's time.
    bool tooManyKeyUpdates() const noexcept { return keyUpdates_ > kMostKeyUpdates; }
    static constexpr unsigned kMostKeyUpdates = 32;
    static constexpr std::chrono::seconds kKeyUpdateWindow{10};

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

    struct SslFree {
        void operator()(SSL* ssl) const { SSL_free(ssl); }
    };

    RelaySocket socket_;
    std::unique_ptr<SSL, SslFree> ssl_;
    bool readWantsWrite_ = false;
    unsigned keyUpdates_ = 0;
    unsigned recordsWithoutData_ = 0;  // handshake messages and alerts read
    std::chrono::steady_clock::time_point keyUpdatesSince_{};
};

}  // namespace duoquill::relay
