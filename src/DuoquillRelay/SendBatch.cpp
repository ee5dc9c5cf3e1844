#include "DuoquillRelay/SendBatch.h"

#include <boost/asio/post.hpp>

#include "DuoquillRelay/TlsOutbox.h"

namespace duoquill::relay {
namespace {

// A batch waits at most this many turns of its thread's queue, each only when streams read or
// wrote during the turn before (8 measured best at full speed; it is microseconds).
constexpr int kMostTurns = 8;

}  // namespace

boost::asio::execution_context::id SendBatch::id;

SendBatch::SendBatch(boost::asio::execution_context& context)
    : boost::asio::execution_context::service(context),
      executor_(static_cast<boost::asio::io_context&>(context).get_executor()) {}

void SendBatch::add(std::shared_ptr<TlsOutbox> outbox) {
    if (outboxes_.empty()) postTurn(0, activity_);
    outboxes_.push_back(std::move(outbox));
}

void SendBatch::postTurn(int turn, std::uint64_t seen) {
    boost::asio::post(executor_, [this, turn, seen] {
        if (turn < kMostTurns && activity_ != seen) {
            postTurn(turn + 1, activity_);
        } else {
            sendAll();
        }
    });
}

void SendBatch::sendAll() {
    // Taken out first: a send that fails may end its connection, whose writes come back here.
    sending_.swap(outboxes_);
    for (const auto& outbox : sending_) outbox->sendBatched();
    sending_.clear();
}

void SendBatch::shutdown() {
    outboxes_.clear();
    sending_.clear();
}

}  // namespace duoquill::relay
