#include "DuoquillRelay/TlsOutbox.h"

#include <boost/asio/post.hpp>

#include "DuoquillRelay/SpareBuffers.h"

#include <cerrno>
#include <sys/socket.h>

namespace duoquill::relay {
namespace {

// Past this much, sending at once costs nothing more than waiting.
constexpr std::size_t kSendAtBytes = 16 * 1024;
// Past this much (and a socket that takes nothing), OpenSSL is told to wait.
constexpr std::size_t kFullBytes = 32 * 1024;

}  // namespace

bool TlsOutbox::hasRoom() {
    if (error_ == 0 && pending_.size() - sent_ >= kFullBytes) sendNow();
    if (error_ != 0 || fd_ < 0) {
        errno = fd_ < 0 ? EBADF : error_;
        return false;
    }
    if (pending_.size() - sent_ >= kFullBytes) {
        errno = EAGAIN;
        return false;
    }
    return true;
}

bool TlsOutbox::take(const char* data, std::size_t size) {
    if (!hasRoom()) return false;
    SpareBuffers::reuse(pending_);
    pending_.append(data, size);
    schedule();
    return true;
}

void TlsOutbox::put(const std::string& bytes) {
    if (fd_ < 0 || error_ != 0) return;
    SpareBuffers::reuse(pending_);
    pending_.append(bytes);
    schedule();
}

void TlsOutbox::putForBatch(const std::string& bytes) {
    if (fd_ < 0 || error_ != 0) return;
    SpareBuffers::reuse(pending_);
    pending_.append(bytes);
    joinBatch();
}

void TlsOutbox::sendNow() {
    while (fd_ >= 0 && error_ == 0 && sent_ < pending_.size()) {
        const ssize_t n = ::send(fd_, pending_.data() + sent_, pending_.size() - sent_, MSG_NOSIGNAL);
        if (n > 0) {
            sent_ += static_cast<std::size_t>(n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            return;
        } else {
            error_ = n < 0 ? errno : EPIPE;
        }
    }
    if (sent_ >= pending_.size() || error_ != 0) {
        SpareBuffers::giveBack(pending_);  // an idle connection keeps no buffer
        sent_ = 0;
    }
}

void TlsOutbox::detach() {
    socket_ = nullptr;
    fd_ = -1;
    SpareBuffers::giveBack(pending_);
    sent_ = 0;
}

void TlsOutbox::takeOver(TlsOutbox& old) {
    if (old.error_ != 0) error_ = old.error_;
    if (old.sent_ < old.pending_.size() && fd_ >= 0 && error_ == 0) {
        SpareBuffers::reuse(pending_);
        pending_.append(old.pending_, old.sent_);
        // This runs on the thread being left; the batch belongs to the other one.
        boost::asio::post(socket_->get_executor(), [self = shared_from_this()] { self->schedule(); });
    }
    old.detach();
}

void TlsOutbox::sendBatched() {
    scheduled_ = false;
    if (fd_ >= 0 && !waiting_) sendOrWait();
}

void TlsOutbox::schedule() {
    if (!waiting_ && pending_.size() - sent_ >= kSendAtBytes) {
        sendOrWait();
        return;
    }
    joinBatch();
}

void TlsOutbox::joinBatch() {
    if (waiting_ || scheduled_) return;  // the wait for room, or the batch, sends it
    scheduled_ = true;
    batch_->add(shared_from_this());
}

void TlsOutbox::sendOrWait() {
    sendNow();
    if (fd_ < 0 || error_ != 0 || sent_ >= pending_.size()) return;
    waiting_ = true;
    socket_->async_wait(boost::asio::socket_base::wait_write, [self = shared_from_this()](boost::system::error_code ec) {
        self->waiting_ = false;
        if (!ec) self->sendOrWait();
    });
}

}  // namespace duoquill::relay
