#include "ScriptedPeer.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>

namespace asio = boost::asio;

namespace duoquill::test {

namespace {
const ManualClock sameDay;  // the clients of these tests read the same manual wall clock
}

ScriptedPeer::ScriptedPeer(cli::ManualTimeline& timeline, SimulatedRelay& relay, int owner,
                           const p256::PrivateKey& key, const p256::PublicKey& peerPublicKey)
    : ProtocolPeer(key, peerPublicKey, sameDay), timeline_(timeline), relay_(relay), owner_(owner) {
    io_ = std::make_unique<asio::io_context>();
    timeline_.attach([io = io_.get()] {
        const auto n = io->poll();
        if (io->stopped()) io->restart();
        return n;
    });
    pollerKey_ = timeline_.lastPollerKey();
}

ScriptedPeer::~ScriptedPeer() {
    relay_.processDied(owner_);
    transport_.reset();
    io_.reset();
    timeline_.detach(pollerKey_);
}

void ScriptedPeer::connect() {
    transport_ = relay_.makeTransport(io_->get_executor(), owner_);
    transport_->connect("wss://relay.test/" + roomToken());
    asio::co_spawn(
        *io_,
        [transport = transport_, this]() -> asio::awaitable<void> {
            for (;;) {
                std::string text;
                try {
                    text = co_await transport->receive();
                } catch (...) {
                    co_return;
                }
                inbox_.push_back(std::move(text));
            }
        },
        asio::detached);
}

void ScriptedPeer::send(std::string text) {
    asio::co_spawn(
        *io_, [transport = transport_, text = std::move(text)]() -> asio::awaitable<void> { co_await transport->send(text); },
        asio::detached);
    timeline_.pollAll();
}

std::optional<std::string> ScriptedPeer::next(double seconds) {
    timeline_.runFor(seconds, [&] { return !inbox_.empty(); });
    if (inbox_.empty()) return std::nullopt;
    std::string text = std::move(inbox_.front());
    inbox_.pop_front();
    return text;
}

}  // namespace duoquill::test
