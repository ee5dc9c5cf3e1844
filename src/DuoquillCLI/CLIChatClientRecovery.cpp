// Automatic retry, fresh sessions for a restarted or departed peer, and quitting.

#include <algorithm>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <cmath>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Crypto/PFSChatSession.h"
#include "DuoquillCLI/CLIChatClient.h"
#include "DuoquillCLI/ChatErrorText.h"

namespace asio = boost::asio;

namespace duoquill::cli {

namespace {
// Outside the coroutine: GCC 12 miscompiles braced initialiser lists inside one.
std::string byeText() {
    const boost::json::object bye{{"t", "bye"}};
    return boost::json::serialize(bye);
}
}  // namespace

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
    {
        auto self = weak.lock();
        if (!self) co_return;
        auto& timers = self->env_.timers;
        self.reset();
        co_await timers.sleep(delay, *task);
    }
    if (task->isCancelled()) co_return;
    auto self = weak.lock();
    if (!self || self->intentionalDisconnect_ || self->ended_) co_return;
    co_await self->connect();
}

asio::awaitable<void> CLIChatClient::reconnectForPeer() {
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

    try {
        session_ = createPFSSession();
        ++sessionGeneration_;
    } catch (const std::exception& e) {
        status("[reconnect error] " + errorText(e));
        scheduleAutoRetry();
        co_return;
    }
    const auto generation = sessionGeneration_;

    if (!transport_) {
        const auto url = relayURL();
        if (!url) {
            setState(State::error("Invalid relay URL"));
            endProcess(1);
            co_return;
        }
        auto transport = env_.makeTransport();
        transport_ = transport;
        transport->connect(*url);
        startReceiveLoop();
    }

    if (auto transport = transport_) {
        std::optional<std::string> failure;
        try {
            co_await transport->send(helloText());
        } catch (const std::exception& e) {
            failure = errorText(e);
        }
        if (ended_) co_return;
        if (failure) {
            status("[reconnect error] " + *failure);
            scheduleAutoRetry();
            co_return;
        }
    }

    if (recoveryRules_) {
        // Something else has moved on while the hello was sent: a newer session, or the
        // peer's hello already being handled with this one (which armed its own timer).
        if (sessionGeneration_ != generation || state_.kind() != State::Kind::waitingForPeer) co_return;
    }
    armTimer(TimerKind::reconnectNoPeer);

    // The leading side answers the peer's latest hello with this session at once; the
    // other side's fresh session waits for a hello made for it.
    if (recoveryRules_ && leadsRecovery_ && latestPeerHello_ && !latestPeerHelloUsedUp_) {
        co_await acceptHello(*latestPeerHello_, true);
    }
}

asio::awaitable<void> CLIChatClient::quit() {
    auto self = shared_from_this();
    if (ended_) co_return;
    intentionalDisconnect_ = true;
    for (auto* task : {&stdinTask_, &receiveTask_, &dummyTask_, &handshakeTimer_, &retryTask_}) {
        if (*task) (*task)->cancel();
    }
    if (session_ && session_->isTunnelReady()) {
        try {
            const Bytes frame = session_->tunnelSeal(asBytes(byeText()));
            if (auto transport = transport_) co_await transport->send(base64String(frame));
        } catch (...) {
        }
    }
    if (auto transport = transport_) co_await transport->disconnect();
    if (session_) session_->destroy();
    setState(State::disconnected("quit"));
    endProcess(0);
}

}  // namespace duoquill::cli
