#pragma once
// The encrypted bytes a TlsSocketStream has written and not yet sent. A write only appends;
// the send goes with its thread's next SendBatch, so that the frames forwarded meanwhile
// share one send. Nothing is kept once everything has been sent: the string goes back to the
// thread's SpareBuffers.

#include "DuoquillRelay/RelayThreads.h"
#include "DuoquillRelay/SendBatch.h"
#include "DuoquillRelay/SpareBuffers.h"

#include <cstddef>
#include <memory>
#include <string>

namespace duoquill::relay {

class TlsOutbox : public std::enable_shared_from_this<TlsOutbox> {
public:
    explicit TlsOutbox(RelaySocket& socket)
        : socket_(&socket), batch_(&SendBatch::of(socket.get_executor().context())), fd_(socket.native_handle()) {}
    TlsOutbox(const TlsOutbox&) = delete;
    TlsOutbox& operator=(const TlsOutbox&) = delete;

    int fd() const { return fd_; }

    // Takes the bytes, or none when it is full and the socket takes nothing now: false then,
    // with errno EAGAIN (wait until writable), or the socket's error.
    bool take(const char* data, std::size_t size);
    // Whether take() would take bytes now (with errno set as it would when not).
    bool hasRoom();
    // Takes the bytes whatever it holds (a caller that asked hasRoom(), or a short reply).
    void put(const std::string& bytes);
    // The same, left to the thread's next batch: it never sends or waits from here, so the
    // reactor may call it while it holds the socket's lock.
    void putForBatch(const std::string& bytes);
    // The same for bytes `fill` appends to the string it is given (the records being sealed,
    // written where they wait rather than copied there).
    template <class Fill>
    void putWith(Fill&& fill) {
        if (fd_ < 0 || error_ != 0) return;
        SpareBuffers::reuse(pending_);
        const std::size_t before = pending_.size();
        try {
            fill(pending_);
        } catch (...) {
            pending_.resize(before);  // no half-written record goes out
            throw;
        }
        schedule();
    }
    // Sends what the socket takes now (one attempt, nothing waits).
    void sendNow();
    // The socket is closing: nothing more is sent.
    void detach();
    // The connection moves to another thread: what `old` has not sent is sent from here, and
    // `old` is detached.
    void takeOver(TlsOutbox& old);

    // Its batch is being sent (see SendBatch).
    void sendBatched();
    // A stream read or wrote on this thread.
    void noteActivity() { batch_->noteActivity(); }

private:
    void schedule();
    void joinBatch();
    void sendOrWait();

    RelaySocket* socket_;
    SendBatch* batch_;
    int fd_;
    std::string pending_;
    std::size_t sent_ = 0;
    int error_ = 0;
    bool scheduled_ = false;
    bool waiting_ = false;
};

}  // namespace duoquill::relay
