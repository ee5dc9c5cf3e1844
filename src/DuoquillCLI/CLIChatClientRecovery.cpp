// Automatic retry, fresh sessions for a restarted or departed peer, and quitting.

#include <algorithm>
#include <cmath>

#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Protocol/RelayMessages.h"
#include "DuoquillCLI/CLIChatClient.h"

namespace asio = boost::asio;

namespace duoquill::cli {

double CLIChatClient::retryDelay(std::int64_t retryCount) {
    if (retryCount <= 0) return firstRetryDelaySeconds;
    if (retryCount > 6) return maxRetryDelaySeconds;
    return std::min(std::ldexp(1.0, static_cast<int>(retryCount - 1)), maxRetryDelaySeconds);
}

void CLIChatClient::scheduleAutoRetry() {
    if (intentionalDisconnect_ || ended_) return;
    if (state_.kind() == State::Kind::error) return;
    if (retryTask_) retryTask_->cancel();
    const double delay = retryDelay(retryCount_);
    ++retryCount_;
    setState(State::Kind::reconnecting);
    retryTask_ = spawn([delay](std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task) {
        return retryTaskBody(std::move(weak), std::move(task), delay);
    });
}

asio::awaitable<void> CLIChatClient::retryTaskBody(std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task,
                                                   double delay) {
    auto self = co_await sleepThenRelock(weak, task, delay);
    if (!self || self->intentionalDisconnect_) co_return;
    co_await self->connect();
}

bool CLIChatClient::adoptsLatestHello() {
    if (env_.baseProtocolOnly) return false;
    if (leadsRecovery_ || peerFollowsLeaderRule_ == false) return true;
    if (peerFollowsLeaderRule_) return false;
    // Nothing heard yet (a process that has not completed a session): a peer that never adopts
    // needs to be answered as the leader would, one that follows the rule needs us to wait.
    // Doing each in turn meets both within two sessions.
    return reconnectsWithoutKnownRule_++ % 2 == 0;
}

asio::awaitable<void> CLIChatClient::reconnectForPeer(bool adoptLatest) {
    auto self = shared_from_this();
    if (ended_) co_return;
    if (auto old = std::move(session_)) old->destroy();
    peerReady_ = false;
    localReady_ = false;
    cancelAndClear(dummyTask_);
    cancelAndClear(retryTask_);
    retryCount_ = 0;
    setState(State::Kind::waitingForPeer);
    currentPeerHello_.reset();

    constexpr std::string_view errorPrefix = "[reconnect error] ";
    if (!startSession(errorPrefix)) co_return;
    const auto generation = sessionGeneration_;
    if (!transport_) {
        if (!openTransport()) co_return;
        startReceiveLoop();
    }
    const bool helloSent = co_await sendHello(errorPrefix);
    if (!helloSent) co_return;

    // Something else has moved on while the hello was sent: a newer session, or the peer's
    // hello already being handled with this one (which armed its own timer).
    if (sessionGeneration_ != generation || state_.kind() != State::Kind::waitingForPeer) co_return;
    armTimer(TimerKind::reconnectNoPeer);

    // The leading side answers the peer's latest hello with this session at once; the
    // other side's fresh session waits for a hello made for it (see the class comment).
    if (latestPeerHello_ && !latestPeerHelloUsedUp_ && (adoptLatest || adoptsLatestHello())) {
        co_await acceptHello(*latestPeerHello_, true);
    }
}

asio::awaitable<void> CLIChatClient::quit() {
    auto self = shared_from_this();
    if (ended_) co_return;
    intentionalDisconnect_ = true;
    for (auto* task : {&stdinTask_, &receiveTask_, &dummyTask_, &handshakeTimer_, &retryTask_, &staleWatchTask_}) {
        if (*task) (*task)->cancel();
    }
    if (session_ && session_->isTunnelReady()) {
        try {
            // A confirming peer learns which of its lines we showed, so it does not report
            // them as unconfirmed when it quits.
            std::optional<std::uint64_t> confirmed;
            if (peerConfirms()) confirmed = receivedLines_.highest(*peerLineStream_);
            co_await sendTunneled(protocol::encodeBye(confirmed));
        } catch (...) {
        }
    }
    if (auto transport = transport_) co_await transport->disconnect();
    if (session_) session_->destroy();
    setState(State::disconnected("quit"));
    showUnconfirmedLines();
    endProcess(0);
}

}  // namespace duoquill::cli
