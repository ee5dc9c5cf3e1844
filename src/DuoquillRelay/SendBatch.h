#pragma once
// The sends of one thread's TLS connections, made together. A connection's first write after
// a send puts its outbox here; the outboxes are sent once the handlers queued by then have
// run, and, while that thread's streams are still reading and writing, up to a few turns of
// its queue later. Frames forwarded meanwhile then share a send, which on a busy relay is most
// of what forwarding a frame costs; an idle thread sends after one turn. One per io_context,
// whose thread alone uses it.

#include <boost/asio/execution_context.hpp>
#include <boost/asio/io_context.hpp>

#include <cstdint>
#include <memory>
#include <vector>

namespace duoquill::relay {

class TlsOutbox;

class SendBatch : public boost::asio::execution_context::service {
public:
    static boost::asio::execution_context::id id;

    explicit SendBatch(boost::asio::execution_context& context);

    // The batch of the thread that runs `context`.
    static SendBatch& of(boost::asio::io_context& context) { return boost::asio::use_service<SendBatch>(context); }

    // The outbox is sent with the next batch.
    void add(std::shared_ptr<TlsOutbox> outbox);
    // A stream on this thread read or wrote: the batch may wait one more turn.
    void noteActivity() { ++activity_; }

private:
    void shutdown() override;
    void postTurn(int turn, std::uint64_t seen);
    void sendAll();

    boost::asio::io_context::executor_type executor_;
    std::vector<std::shared_ptr<TlsOutbox>> outboxes_;
    std::vector<std::shared_ptr<TlsOutbox>> sending_;
    std::uint64_t activity_ = 0;
};

}  // namespace duoquill::relay
