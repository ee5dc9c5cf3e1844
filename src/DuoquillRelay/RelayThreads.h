#pragma once
// The relay's threads: an io_context each, each run by its thread alone. Nothing a context
// runs needs a strand, and a wait a handler starts after a socket said "not now" is in its
// context's reactor before that reactor looks again, so no readiness is ever missed (a
// context shared by several threads can report it to another thread in between, and a wait
// started after that is never woken). Both members of a room are served by the same thread,
// picked by the room's token, so forwarding a frame never crosses threads.

#include <boost/asio/executor_work_guard.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/steady_timer.hpp>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string_view>
#include <vector>

namespace duoquill::relay {

// A connection's socket, bound to its thread's context (no type-erased executor).
using RelaySocket = boost::asio::basic_stream_socket<boost::asio::ip::tcp, boost::asio::io_context::executor_type>;
// A timer of a connection, on the same context.
using RelayTimer = boost::asio::basic_waitable_timer<std::chrono::steady_clock, boost::asio::wait_traits<std::chrono::steady_clock>,
                                                     boost::asio::io_context::executor_type>;

// The same connection on `context`, for a socket with no operation outstanding, on the thread of
// the context it leaves. A socket that cannot be moved (the connection is gone) comes back closed.
RelaySocket moveSocket(RelaySocket& socket, boost::asio::io_context& context);

// Runs the calling thread, and the threads it starts from now on, as batch work (SCHED_BATCH):
// a relay thread woken by arriving bytes no longer preempts what runs on a busy core, but waits
// for its time slice to end. On a saturated machine more frames have arrived by then, and
// share one epoll_wait, one recv and one send; a core that is idle runs the thread at once, as
// before. Where the system refuses, nothing changes.
void scheduleAsBatchWork();

class RelayThreads {
public:
    explicit RelayThreads(unsigned count);
    RelayThreads(const RelayThreads&) = delete;
    RelayThreads& operator=(const RelayThreads&) = delete;

    // Where the listeners and the server's own work run; the thread that calls run().
    boost::asio::io_context& main() { return *contexts_.front(); }
    // For a new connection's opening handshakes, in turn, so that they spread over the threads.
    boost::asio::io_context& next();
    // The thread of the room with this token.
    boost::asio::io_context& forRoom(std::string_view token);

    // Every context but the main one runs until release(), connections or not.
    void release();
    // Runs the main context on the calling thread and the others on threads of their own;
    // returns when every context has run out of work.
    void run();

private:
    using Guard = boost::asio::executor_work_guard<boost::asio::io_context::executor_type>;

    std::vector<std::unique_ptr<boost::asio::io_context>> contexts_;
    std::vector<Guard> guards_;
    std::atomic<std::size_t> turn_{0};
    const std::uint64_t salt_;
};

}  // namespace duoquill::relay
