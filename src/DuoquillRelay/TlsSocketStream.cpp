#include "DuoquillRelay/TlsSocketStream.h"

#include "DuoquillRelay/SpareBuffers.h"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/sslerr.h>

#include <cerrno>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <sys/socket.h>

namespace duoquill::relay {
namespace {

namespace asio = boost::asio;
using error_code = boost::system::error_code;

// The socket layer under OpenSSL: records written go to the outbox (whose sends never raise
// SIGPIPE), records read come straight from the socket.
TlsOutbox& outboxOf(BIO* bio) { return *static_cast<TlsOutbox*>(BIO_get_data(bio)); }

int socketWrite(BIO* bio, const char* data, std::size_t size, std::size_t* written) {
    BIO_clear_retry_flags(bio);
    if (outboxOf(bio).take(data, size)) {
        *written = size;
        return 1;
    }
    if (errno == EAGAIN) BIO_set_retry_write(bio);
    return 0;
}

int socketRead(BIO* bio, char* data, std::size_t size, std::size_t* read) {
    BIO_clear_retry_flags(bio);
    for (;;) {
        const ssize_t n = ::recv(outboxOf(bio).fd(), data, size, 0);
        if (n > 0) {
            *read = static_cast<std::size_t>(n);
            return 1;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) BIO_set_retry_read(bio);
        *read = 0;
        return 0;
    }
}

long socketControl(BIO* bio, int command, long, void*) {
    if (command != BIO_CTRL_FLUSH) return 0;
    outboxOf(bio).sendNow();  // the end of a handshake flight: no reason to wait
    return 1;
}

int socketCreate(BIO* bio) {
    BIO_set_init(bio, 1);
    return 1;
}

BIO_METHOD* socketMethod() {
    static BIO_METHOD* const method = [] {
        BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "relay socket");
        if (m == nullptr || BIO_meth_set_write_ex(m, socketWrite) != 1 || BIO_meth_set_read_ex(m, socketRead) != 1 ||
            BIO_meth_set_ctrl(m, socketControl) != 1 || BIO_meth_set_create(m, socketCreate) != 1) {
            throw std::runtime_error("cannot set up the TLS socket layer");
        }
        return m;
    }();
    return method;
}

// What an OpenSSL call that did not succeed asks for, or the error it ended with.
// 1: wants to read, 2: wants to write, 0: failed with `ec`.
int classify(SSL* ssl, int result, error_code& ec) {
    const int error = SSL_get_error(ssl, result);
    switch (error) {
        case SSL_ERROR_WANT_READ:
            return 1;
        case SSL_ERROR_WANT_WRITE:
            return 2;
        case SSL_ERROR_ZERO_RETURN:
            ec = asio::error::eof;
            return 0;
        case SSL_ERROR_SYSCALL:
            if (ERR_peek_error() == 0) {
                ec = errno != 0 ? error_code(errno, boost::system::system_category())
                                : error_code(asio::ssl::error::stream_truncated);
                return 0;
            }
            [[fallthrough]];
        default: {
            const unsigned long code = ERR_get_error();
            ec = code != 0 ? error_code(static_cast<int>(code), asio::error::get_ssl_category())
                           : error_code(asio::ssl::error::stream_truncated);
            ERR_clear_error();
            return 0;
        }
    }
}

int streamIndex() {
    static const int index = SSL_get_ex_new_index(0, nullptr, nullptr, nullptr, nullptr);
    return index;
}

// Received and not yet opened: one buffer per thread, so an idle connection holds none.
constexpr std::size_t kReceiveBytes = 64 * 1024;
// At most this much of one large write is sealed at a time.
constexpr std::size_t kMaxSealBytes = 64 * 1024;

error_code recordError() {
    return error_code(static_cast<int>(ERR_PACK(ERR_LIB_SSL, 0, SSL_R_DECRYPTION_FAILED_OR_BAD_RECORD_MAC)),
                      asio::error::get_ssl_category());
}

}  // namespace

TlsSocketStream::TlsSocketStream(RelaySocket socket, SSL_CTX* context)
    : socket_(std::move(socket)), outbox_(std::make_shared<TlsOutbox>(socket_)), ssl_(SSL_new(context)) {
    if (!ssl_) throw std::runtime_error("SSL_new failed");
    socket_.native_non_blocking(true);
    BIO* bio = BIO_new(socketMethod());
    if (bio == nullptr) throw std::runtime_error("BIO_new failed");
    BIO_set_data(bio, outbox_.get());
    SSL_set_bio(ssl_.get(), bio, bio);
    SSL_set_mode(ssl_.get(), SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
    SSL_set_accept_state(ssl_.get());
    secrets_ = std::make_unique<TlsRecords::Secrets>();
    SSL_set_ex_data(ssl_.get(), streamIndex(), this);
}

TlsSocketStream::TlsSocketStream(TlsSocketStream&& other, asio::io_context& context)
    : socket_(moveSocket(other.socket_, context)),
      outbox_(std::make_shared<TlsOutbox>(socket_)),
      ssl_(std::move(other.ssl_)),
      secrets_(std::move(other.secrets_)),
      records_(std::move(other.records_)),
      sealedIn_(std::move(other.sealedIn_)),
      plainIn_(std::move(other.plainIn_)),
      plainRead_(std::exchange(other.plainRead_, 0)),
      peerClosed_(other.peerClosed_),
      closeNotifySent_(other.closeNotifySent_) {
    outbox_->takeOver(*other.outbox_);
    boost::system::error_code ignored;
    if (socket_.is_open()) socket_.native_non_blocking(true, ignored);
    if (ssl_) {
        BIO_set_data(SSL_get_rbio(ssl_.get()), outbox_.get());
        SSL_set_ex_data(ssl_.get(), streamIndex(), this);
    }
}

void TlsSocketStream::prepareContext(SSL_CTX* context) { SSL_CTX_set_keylog_callback(context, &onKeyLog); }

void TlsSocketStream::onKeyLog(const SSL* ssl, const char* line) {
    auto* stream = static_cast<TlsSocketStream*>(SSL_get_ex_data(ssl, streamIndex()));
    if (stream != nullptr && stream->secrets_) stream->secrets_->take(line);
}

void TlsSocketStream::finishHandshake() {
    // Read one record at a time until here, so that nothing past the handshake sits in
    // OpenSSL's buffer when the records are taken over.
    records_ = TlsRecords::takeOver(ssl_.get(), *secrets_);
    secrets_.reset();
    if (records_) {
        ssl_.reset();
    } else {
        SSL_set_read_ahead(ssl_.get(), 1);  // whole segments per read, not header and body apart
    }
}

TlsSocketStream::~TlsSocketStream() { outbox_->detach(); }

namespace {

template <class Outcome>
Outcome outcomeOf(int classified) {
    return classified == 1 ? Outcome::wantRead : classified == 2 ? Outcome::wantWrite : Outcome::failed;
}

}  // namespace

TlsSocketStream::Outcome TlsSocketStream::HandshakeCall::attempt(TlsSocketStream& stream, std::size_t&, error_code& ec) {
    SSL* ssl = stream.ssl_.get();
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl);
    if (result == 1) {
        stream.finishHandshake();
        return Outcome::done;
    }
    return outcomeOf<Outcome>(classify(ssl, result, ec));
}

TlsSocketStream::Outcome TlsSocketStream::ReadCall::attempt(TlsSocketStream& stream, std::size_t& transferred, error_code& ec) {
    if (buffer.size() == 0) return Outcome::done;
    if (stream.records_) return stream.readRecords(buffer, transferred, ec);
    SSL* ssl = stream.ssl_.get();
    ERR_clear_error();
    const int result = SSL_read_ex(ssl, buffer.data(), buffer.size(), &transferred);
    if (result == 1) return Outcome::done;
    return outcomeOf<Outcome>(classify(ssl, result, ec));
}

TlsSocketStream::Outcome TlsSocketStream::WriteCall::attempt(TlsSocketStream& stream, std::size_t& transferred, error_code& ec) {
    if (count == 0) return Outcome::done;
    if (stream.records_) return stream.writeRecords(*this, transferred, ec);
    SSL* ssl = stream.ssl_.get();
    const void* data = pieces[0].data();
    std::size_t size = pieces[0].size();
    if (count > 1) {
        // A retry after a wait gathers the same bytes again, as OpenSSL requires.
        thread_local std::string scratch;  // on the heap: threads with small stacks hold its handle only
        scratch.clear();
        for (std::size_t i = 0; i < count; ++i) scratch.append(static_cast<const char*>(pieces[i].data()), pieces[i].size());
        size = scratch.size();
        data = scratch.data();
    }
    ERR_clear_error();
    const int result = SSL_write_ex(ssl, data, size, &transferred);
    if (result == 1) return Outcome::done;
    return outcomeOf<Outcome>(classify(ssl, result, ec));
}

TlsSocketStream::Outcome TlsSocketStream::readRecords(asio::mutable_buffer buffer, std::size_t& transferred, error_code& ec) {
    outbox_->noteActivity();
    if (plainRead_ < plainIn_.size()) {
        transferred = std::min(buffer.size(), plainIn_.size() - plainRead_);
        std::memcpy(buffer.data(), plainIn_.data() + plainRead_, transferred);
        plainRead_ += transferred;
        if (plainRead_ == plainIn_.size()) {
            SpareBuffers::giveBack(plainIn_);  // an idle connection keeps no buffer
            plainRead_ = 0;
        }
        return Outcome::done;
    }
    if (peerClosed_) {
        ec = asio::error::eof;
        return Outcome::failed;
    }
    return Outcome::receive;
}

bool TlsSocketStream::receivesNext(asio::mutable_buffer buffer) const {
    return records_ && buffer.size() != 0 && plainRead_ >= plainIn_.size() && !peerClosed_ &&
           socket_.is_open();
}

Received TlsSocketStream::receiveRecords(error_code& ec) {
    thread_local const std::unique_ptr<char[]> received(new char[kReceiveBytes]);
    ssize_t n;
    do {
        n = ::recv(outbox_->fd(), received.get(), kReceiveBytes, 0);
    } while (n < 0 && errno == EINTR);
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return Received::nothing;
    if (n <= 0) {
        ec = n == 0 ? error_code(asio::ssl::error::stream_truncated) : error_code(errno, boost::system::system_category());
        return Received::some;
    }
    std::string reply;
    SpareBuffers::reuse(plainIn_);
    TlsRecords::Opened opened;
    if (sealedIn_.empty()) {
        // Whole records are opened where they were read; only an unfinished one is kept.
        std::size_t consumed = 0;
        opened = records_->open(std::string_view(received.get(), static_cast<std::size_t>(n)), consumed, plainIn_, reply);
        if (opened != TlsRecords::Opened::failed && consumed < static_cast<std::size_t>(n)) {
            sealedIn_.assign(received.get() + consumed, static_cast<std::size_t>(n) - consumed);
        }
    } else {
        sealedIn_.append(received.get(), static_cast<std::size_t>(n));
        opened = records_->open(sealedIn_, plainIn_, reply);
    }
    // Sealed before any data written from now on, so it must go out before them too.
    if (!reply.empty()) outbox_->putForBatch(reply);
    if (opened == TlsRecords::Opened::failed) {
        ec = recordError();
        return Received::some;
    }
    if (opened == TlsRecords::Opened::closed) peerClosed_ = true;
    if (plainIn_.empty()) SpareBuffers::giveBack(plainIn_);  // records without data leave room behind
    return static_cast<std::size_t>(n) < kReceiveBytes ? Received::emptied : Received::some;
}

TlsSocketStream::Outcome TlsSocketStream::writeRecords(const WriteCall& call, std::size_t& transferred, error_code& ec) {
    outbox_->noteActivity();
    if (!outbox_->hasRoom()) {
        if (errno == EAGAIN) return Outcome::wantWrite;
        ec = error_code(errno, boost::system::system_category());
        return Outcome::failed;
    }
    std::array<asio::const_buffer, WriteCall::kMaxPieces> pieces = call.pieces;
    pieces[0] = asio::const_buffer(pieces[0].data(), std::min(pieces[0].size(), kMaxSealBytes));
    transferred = 0;
    for (std::size_t i = 0; i < call.count; ++i) transferred += pieces[i].size();
    outbox_->putWith([&](std::string& out) { records_->sealData(pieces.data(), call.count, out); });
    return Outcome::done;
}

bool TlsSocketStream::writeNow(const asio::const_buffer* pieces, std::size_t count) {
    if (!records_ || !socket_.is_open() || count > WriteCall::kMaxPieces) return false;
    std::size_t total = 0;
    for (std::size_t i = 0; i < count; ++i) total += pieces[i].size();
    if (total > kMaxSealBytes || !outbox_->hasRoom()) return false;
    outbox_->noteActivity();
    outbox_->putWith([&](std::string& out) { records_->sealData(pieces, count, out); });
    return true;
}

void TlsSocketStream::sendCloseNotify() noexcept {
    if (!socket_.is_open()) return;
    if (records_) {
        if (closeNotifySent_) return;
        closeNotifySent_ = true;
        std::string alert;
        try {
            records_->sealCloseNotify(alert);
        } catch (const std::exception&) {
            return;
        }
        outbox_->put(alert);
    } else {
        if (SSL_is_init_finished(ssl_.get()) != 1) return;
        ERR_clear_error();
        SSL_shutdown(ssl_.get());  // one non-blocking attempt; the peer's answer is not awaited
        ERR_clear_error();
    }
    outbox_->sendNow();
    error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
}

bool TlsSocketStream::drainUntilClosed() noexcept {
    char discard[4096];
    for (;;) {
        const ssize_t n = ::recv(socket_.native_handle(), discard, sizeof discard, 0);
        if (n > 0) continue;
        if (n < 0 && errno == EINTR) continue;
        return !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    }
}

void TlsSocketStream::shutdownAndClose() noexcept {
    if (!socket_.is_open()) return;
    sendCloseNotify();
    outbox_->detach();
    error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
}

}  // namespace duoquill::relay
