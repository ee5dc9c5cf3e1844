#pragma once
// Receiving as the reactor's own read operation, so that waiting for the next bytes costs no
// system call.
//
// Asio's async_wait re-arms the descriptor (EPOLL_CTL_MOD) at every wait, because it cannot know
// whether readiness was reported, and taken, while nothing waited. Its read operations need not:
// the descriptor stays registered edge-triggered for reading, and the reactor remembers whether
// readiness was reported since a read operation last said it emptied the socket. So the receive
// runs inside such an operation: at once when readiness may be outstanding, else when the reactor
// next reports it. A receive that empties the socket lets the next one be queued without any
// system call, and whatever arrives after it raises a new edge.
//
// Written against the epoll reactor of Boost 1.81, which the project builds with; the check
// below stops a build with another version until this has been looked at again.

#include <boost/asio/associated_cancellation_slot.hpp>
#include <boost/asio/detail/bind_handler.hpp>
#include <boost/asio/detail/fenced_block.hpp>
#include <boost/asio/detail/handler_alloc_helpers.hpp>
#include <boost/asio/detail/handler_cont_helpers.hpp>
#include <boost/asio/detail/handler_work.hpp>
#include <boost/asio/detail/memory.hpp>
#include <boost/asio/detail/reactor.hpp>
#include <boost/asio/detail/reactor_op.hpp>
#include <boost/version.hpp>

#include "DuoquillRelay/RelayThreads.h"

#include <type_traits>
#include <utility>

static_assert(BOOST_VERSION == 108100, "SocketReceive.h relies on the epoll reactor of Boost 1.81");

namespace duoquill::relay {

// What one receive did.
enum class Received {
    nothing,  // the socket had nothing (would block): wait for readiness
    some,     // bytes, and maybe more behind them; or a failure, in the error it set
    emptied,  // bytes, and the socket has no more for now (it returned less than asked for)
};

namespace socket_receive {

namespace ad = boost::asio::detail;

// The reactor's records for a socket are protected in Asio's socket; a pointer to that member
// taken through a derived class reaches them without a cast of the socket itself.
struct SocketInternals : RelaySocket {
    static auto& of(RelaySocket& socket) { return socket.*(&SocketInternals::impl_); }
};

template <class Receive, class Handler, class IoExecutor>
class Operation : public ad::reactor_op {
public:
    BOOST_ASIO_DEFINE_HANDLER_PTR(Operation);

    Operation(Receive& receive, Handler& handler, const IoExecutor& executor)
        : reactor_op(boost::system::error_code(), &Operation::perform, &Operation::complete),
          receive_(std::move(receive)),
          handler_(std::move(handler)),
          work_(handler_, executor) {}

    static status perform(reactor_op* base) {
        auto* o = static_cast<Operation*>(base);
        switch (o->receive_(o->ec_)) {
            case Received::nothing:
                return o->ec_ ? done : not_done;
            case Received::some:
                return done;
            case Received::emptied:
                return done_and_exhausted;
        }
        return done;
    }

    static void complete(void* owner, ad::operation* base, const boost::system::error_code&, std::size_t) {
        auto* o = static_cast<Operation*>(base);
        ptr p = {boost::asio::detail::addressof(o->handler_), o, o};
        ad::handler_work<Handler, IoExecutor> work(std::move(o->work_));
        // The handler leaves the operation before its memory goes back to the handler's allocator.
        ad::binder1<Handler, boost::system::error_code> handler(o->handler_, o->ec_);
        p.h = boost::asio::detail::addressof(handler.handler_);
        p.reset();
        if (owner) {
            ad::fenced_block fence(ad::fenced_block::half);
            work.complete(handler, handler.handler_);
        }
    }

private:
    Receive receive_;
    Handler handler_;
    ad::handler_work<Handler, IoExecutor> work_;
};

// Cancels the operation when its handler's cancellation slot is signalled.
class Cancellation {
public:
    Cancellation(ad::reactor* reactor, ad::reactor::per_descriptor_data* data, int descriptor)
        : reactor_(reactor), data_(data), descriptor_(descriptor) {}

    void operator()(boost::asio::cancellation_type_t type) {
        using boost::asio::cancellation_type;
        if (!!(type & (cancellation_type::terminal | cancellation_type::partial | cancellation_type::total))) {
            reactor_->cancel_ops_by_key(descriptor_, *data_, ad::reactor::read_op, this);
        }
    }

private:
    ad::reactor* reactor_;
    ad::reactor::per_descriptor_data* data_;
    int descriptor_;
};

}  // namespace socket_receive

// Calls `receive(error_code&)`, which returns a Received, once or more until it has received
// something or failed, then `handler(error_code)`, never from inside this call. `receive` runs
// with the reactor holding the socket's lock: it must not start or cancel operations on the
// socket. Ends with operation_aborted, and without receiving, when the socket is closed or
// cancelled first.
template <class Receive, class Handler>
void asyncReceive(RelaySocket& socket, Receive receive, Handler&& handler) {
    namespace ad = socket_receive::ad;
    using Op = socket_receive::Operation<Receive, std::decay_t<Handler>, RelaySocket::executor_type>;
    auto& internals = socket_receive::SocketInternals::of(socket);
    auto& impl = internals.get_implementation();
    ad::reactor& reactor = boost::asio::use_service<ad::reactor>(socket.get_executor().context());
    const bool continuation = boost_asio_handler_cont_helpers::is_continuation(handler);
    auto slot = boost::asio::get_associated_cancellation_slot(handler);
    typename Op::ptr p = {boost::asio::detail::addressof(handler), Op::ptr::allocate(handler), nullptr};
    p.p = new (p.v) Op(receive, handler, internals.get_executor());
    if (slot.is_connected()) {
        p.p->cancellation_key_ =
            &slot.template emplace<socket_receive::Cancellation>(&reactor, &impl.reactor_data_, impl.socket_);
    }
    reactor.start_op(ad::reactor::read_op, impl.socket_, impl.reactor_data_, p.p, continuation, true);
    p.v = p.p = nullptr;
}

}  // namespace duoquill::relay
