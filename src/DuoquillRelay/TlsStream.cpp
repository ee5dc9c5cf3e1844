#include "DuoquillRelay/TlsStream.h"

#include <boost/asio/ssl/error.hpp>

#include <openssl/err.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>

#include "DuoquillRelay/OpenSslErrors.h"

namespace duoquill::relay {
namespace {

namespace asio = boost::asio;
using error_code = boost::system::error_code;

// Where a write of several pieces is gathered: one per thread, so no connection holds one.
char* gatherBuffer() {
    thread_local const std::unique_ptr<char[]> buffer(new char[TlsStream::kMostGathered]);
    return buffer.get();
}

error_code failureOf(SSL* ssl, int result) {
    const int error = SSL_get_error(ssl, result);
    if (error == SSL_ERROR_ZERO_RETURN) return asio::error::eof;
    if (error == SSL_ERROR_SYSCALL && ERR_peek_error() == 0) {
        return errno != 0 ? error_code(errno, boost::system::system_category()) : error_code(asio::ssl::error::stream_truncated);
    }
    const unsigned long code = ERR_get_error();
    ERR_clear_error();  // the thread's queue is shared by all its connections
    return code != 0 ? openSslErrorCode(code) : error_code(asio::ssl::error::stream_truncated);
}

}  // namespace

TlsStream::TlsStream(RelaySocket socket, SSL_CTX* context, Clock clock)
    : socket_(std::move(socket)), ssl_(SSL_new(context)), clock_(clock) {
    if (!ssl_) throw std::runtime_error("cannot set up TLS: " + takeOpenSslError());
    socket_.native_non_blocking(true);
    if (SSL_set_fd(ssl_.get(), static_cast<int>(socket_.native_handle())) != 1) {
        throw std::runtime_error("cannot set up TLS: " + takeOpenSslError());
    }
    // A write that blocks is retried with the same bytes, gathered anew from where they live.
    // Buffers are given back between records until the connection is busy (keepBuffers).
    SSL_set_mode(ssl_.get(), SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER | SSL_MODE_RELEASE_BUFFERS);
    SSL_set_accept_state(ssl_.get());
    SSL_set_msg_callback(ssl_.get(), &TlsStream::onMessage);
    SSL_set_msg_callback_arg(ssl_.get(), this);
}

TlsStream::TlsStream(TlsStream&& other, asio::io_context& context)
    : socket_(moveSocket(other.socket_, context)),
      ssl_(std::move(other.ssl_)),
      clock_(other.clock_),
      readWantsWrite_(other.readWantsWrite_),
      handshakeDone_(other.handshakeDone_),
      handshakeMessages_(other.handshakeMessages_),
      handshakeMessagesSince_(other.handshakeMessagesSince_) {
    if (ssl_) SSL_set_msg_callback_arg(ssl_.get(), this);
    // The descriptor keeps its number, so OpenSSL's socket layer needs nothing new.
    boost::system::error_code ignored;
    if (socket_.is_open()) socket_.native_non_blocking(true, ignored);
}

TlsStream::Outcome TlsStream::outcomeOf(int result, error_code& ec) {
    switch (SSL_get_error(ssl_.get(), result)) {
        case SSL_ERROR_WANT_READ:
            return Outcome::wantRead;
        case SSL_ERROR_WANT_WRITE:
            return Outcome::wantWrite;
        default:
            ec = failureOf(ssl_.get(), result);
            return Outcome::failed;
    }
}

TlsStream::Outcome TlsStream::HandshakeCall::attempt(TlsStream& stream, std::size_t&, error_code& ec) {
    ERR_clear_error();
    const int result = SSL_do_handshake(stream.ssl_.get());
    if (result != 1) return stream.outcomeOf(result, ec);
    stream.handshakeDone_ = true;
    return Outcome::done;
}

TlsStream::Outcome TlsStream::ReadCall::attempt(TlsStream& stream, std::size_t& transferred, error_code& ec) {
    if (buffer.size() == 0) return Outcome::done;
    return stream.read(buffer, transferred, ec);
}

TlsStream::Outcome TlsStream::WriteCall::attempt(TlsStream& stream, std::size_t& transferred, error_code& ec) {
    if (total == 0) return Outcome::done;
    const void* data = pieces[0].data();
    if (count > 1) {
        char* gathered = gatherBuffer();
        std::size_t at = 0;
        for (std::size_t i = 0; i < count; ++i) {
            std::memcpy(gathered + at, pieces[i].data(), pieces[i].size());
            at += pieces[i].size();
        }
        data = gathered;
    }
    ERR_clear_error();
    const int result = SSL_write_ex(stream.ssl_.get(), data, total, &transferred);
    return result == 1 ? Outcome::done : stream.outcomeOf(result, ec);
}

TlsStream::Outcome TlsStream::read(asio::mutable_buffer buffer, std::size_t& transferred, error_code& ec) {
    // OpenSSL goes on past records without data (a key update, say) to the data behind them, also
    // what it has read ahead; the limit on handshake messages is enforced as it parses them.
    ERR_clear_error();
    const int result = SSL_read_ex(ssl_.get(), buffer.data(), buffer.size(), &transferred);
    return result == 1 ? Outcome::done : outcomeOf(result, ec);
}

std::size_t TlsStream::readNow(asio::mutable_buffer buffer, error_code& ec) {
    readWantsWrite_ = false;
    if (!socket_.is_open()) {
        ec = asio::error::bad_descriptor;
        return 0;
    }
    std::size_t transferred = 0;
    switch (read(buffer, transferred, ec)) {
        case Outcome::done:
            return transferred;
        case Outcome::wantWrite:
            readWantsWrite_ = true;
            [[fallthrough]];
        case Outcome::wantRead:
            ec = asio::error::would_block;
            break;
        default:
            break;
    }
    return 0;
}

// TLS 1.3 reports each handshake message it parses. A TLS 1.2 renegotiation request is refused
// from the first bytes of its record and never reported as a message: its record's header is
// what shows it (after the handshake nothing else of type handshake is accepted from a client).
void TlsStream::onMessage(int writing, int, int contentType, const void* bytes, std::size_t size, SSL* ssl, void* self) {
    auto& stream = *static_cast<TlsStream*>(self);
    if (writing != 0 || size == 0 || !stream.handshakeDone_) return;
    const bool handshake = SSL_version(ssl) == TLS1_3_VERSION
                               ? contentType == SSL3_RT_HANDSHAKE
                               : contentType == SSL3_RT_HEADER && *static_cast<const unsigned char*>(bytes) == SSL3_RT_HANDSHAKE;
    if (handshake) stream.countHandshakeMessage();
}

void TlsStream::countHandshakeMessage() {
    const TimePoint now = clock_();
    if (now - handshakeMessagesSince_ >= kHandshakeMessageWindow) {
        handshakeMessages_ = 0;
        handshakeMessagesSince_ = now;
    }
    if (++handshakeMessages_ <= kMostHandshakeMessages) return;
    // No answer to this one or any after it leaves, and nothing more is read: the read that
    // carried it ends here.
    boost::system::error_code ignored;
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
}

void TlsStream::keepBuffers(bool keep) noexcept {
    if (!ssl_) return;
    if (keep) {
        SSL_clear_mode(ssl_.get(), SSL_MODE_RELEASE_BUFFERS);
    } else {
        SSL_set_mode(ssl_.get(), SSL_MODE_RELEASE_BUFFERS);
        // Refused (and left for the mode to release) while OpenSSL still holds unread or unsent bytes.
        (void)SSL_free_buffers(ssl_.get());
    }
}

bool TlsStream::holdsUnfinishedRecord() const noexcept { return ssl_ && SSL_has_pending(ssl_.get()) == 1; }

void TlsStream::sendCloseNotify() noexcept {
    if (!ssl_ || !socket_.is_open() || SSL_in_init(ssl_.get()) || (SSL_get_shutdown(ssl_.get()) & SSL_SENT_SHUTDOWN)) return;
    ERR_clear_error();
    (void)SSL_shutdown(ssl_.get());
    ERR_clear_error();
}

void TlsStream::shutdownAndClose() noexcept {
    sendCloseNotify();
    boost::system::error_code ignored;
    socket_.shutdown(asio::socket_base::shutdown_both, ignored);
    socket_.close(ignored);
}

}  // namespace duoquill::relay
