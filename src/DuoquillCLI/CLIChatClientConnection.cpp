// The connection sequence and the steps it shares with reconnection, the client's tasks and
// the connection-phase timers, and the reporting of state changes.

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/url/parse.hpp>

#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Utilities/KeyHelpers.h"
#include "DuoquillCLI/CLIChatClient.h"
#include "DuoquillCLI/ChatErrorText.h"

namespace asio = boost::asio;

namespace duoquill::cli {

std::shared_ptr<TaskHandle> CLIChatClient::spawn(TaskBody body) {
    auto task = std::make_shared<TaskHandle>();
    asio::co_spawn(env_.executor, body(weak_from_this(), task), asio::detached);
    return task;
}

void CLIChatClient::disconnectInBackground(std::shared_ptr<ChatTransport> transport) {
    if (!transport) return;
    asio::co_spawn(
        env_.executor, [transport]() -> asio::awaitable<void> { co_await transport->disconnect(); }, asio::detached);
}

void CLIChatClient::status(std::string_view text) { env_.display.status(text); }

void CLIChatClient::setState(State state) {
    state_ = std::move(state);
    stateDidChange(state_);
}

void CLIChatClient::stateDidChange(const State& to) {
    switch (to.kind()) {
        case State::Kind::idle: break;
        case State::Kind::connecting: status("connecting..."); break;
        case State::Kind::waitingForPeer: status("waiting for peer..."); break;
        case State::Kind::handshaking: status("handshaking..."); break;
        case State::Kind::active:
            env_.display.connected();
            env_.display.prompt();
            break;
        case State::Kind::reconnecting: status("reconnecting..."); break;
        case State::Kind::disconnected: env_.display.peerEvent("disconnected: " + to.text()); break;
        case State::Kind::error: env_.display.error(to.text()); break;
    }
}

std::unique_ptr<PFSChatSession> CLIChatClient::createPFSSession() {
    const auto peerKey = KeyHelpers::p256PublicKey(peerPubKeyBase64URL_);
    // Read once: every later session shares the key object instead of reading the keychain
    // (and leaving the key's bytes in its buffers) again.
    if (!localKey_) localKey_ = env_.identity.retrievePrivateKey(localKeyIdentifier_);
    if (env_.makeSession) return env_.makeSession(localKey_, peerKey, roomCode_);
    return std::make_unique<PFSChatSession>(localKey_, peerKey, roomCode_);
}

std::optional<std::string> CLIChatClient::relayURL() const {
    // The token follows the UTC day of each new connection, so two users who started on
    // different days still meet; the room code the session uses never changes.
    std::string url = relayBaseURL_ + "/" + KeyHelpers::deriveRoomToken(roomKeyData_, env_.clock);
    if (!boost::urls::parse_uri(url)) return std::nullopt;
    return url;
}

asio::awaitable<void> CLIChatClient::connect() {
    auto self = shared_from_this();
    cancelAndClear(retryTask_);
    cancelAndClear(receiveTask_);
    cancelAndClear(dummyTask_);
    cancelAndClear(handshakeTimer_);
    handshakeTimerKind_ = TimerKind::none;
    if (auto old = std::move(session_)) old->destroy();
    if (auto old = std::move(transport_)) disconnectInBackground(std::move(old));
    setState(State::Kind::connecting);
    peerReady_ = false;
    localReady_ = false;
    intentionalDisconnect_ = false;
    // A new relay connection: whatever the peer announced before belongs to the old one.
    latestPeerHello_.reset();
    currentPeerHello_.reset();

    constexpr std::string_view errorPrefix = "[connect error] ";
    if (!startSession(errorPrefix) || !openTransport()) co_return;
    setState(State::Kind::waitingForPeer);
    const bool helloSent = co_await sendHello(errorPrefix);
    if (!helloSent) co_return;
    startReceiveLoop();
    armTimer(TimerKind::noPeer);
    if (!env_.baseProtocolOnly) {
        cancelAndClear(staleWatchTask_);
        const auto generation = sessionGeneration_;
        staleWatchTask_ = spawn([generation](std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task) {
            return staleWatchBody(std::move(weak), std::move(task), generation);
        });
    }
}

asio::awaitable<void> CLIChatClient::staleWatchBody(std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task,
                                                    std::uint64_t generation) {
    auto self = co_await sleepThenRelock(weak, task, staleWatchDelaySeconds);
    if (self && self->sessionGeneration_ == generation) self->staleWatchArmed_ = true;
}

bool CLIChatClient::startSession(std::string_view errorPrefix) {
    try {
        session_ = createPFSSession();
        ++sessionGeneration_;
        peerLineStream_.reset();
        staleWatchArmed_ = false;
        staleFramesWhileWaiting_ = 0;
        return true;
    } catch (const std::exception& e) {
        sayError(std::string(errorPrefix) + errorText(e));
        scheduleAutoRetry();
        return false;
    }
}

bool CLIChatClient::openTransport() {
    const auto url = relayURL();
    if (!url) {
        setState(State::error("Invalid relay URL"));
        endProcess(1);
        return false;
    }
    transport_ = env_.makeTransport();
    transport_->connect(*url);
    return true;
}

asio::awaitable<bool> CLIChatClient::sendHello(std::string_view errorPrefix) {
    auto transport = transport_;
    if (!transport) co_return true;
    std::optional<std::string> failure;
    try {
        co_await transport->send(helloText());
    } catch (const std::exception& e) {
        failure = errorText(e);
    }
    if (ended_) co_return false;
    if (failure) {
        sayError(std::string(errorPrefix) + *failure);
        scheduleAutoRetry();
        co_return false;
    }
    co_return true;
}

void CLIChatClient::startReceiveLoop() {
    if (receiveTask_) receiveTask_->cancel();
    receiveTask_ = spawn(&CLIChatClient::receiveLoop);
}

void CLIChatClient::handleTransportError() {
    if (intentionalDisconnect_) return;
    transport_.reset();
    cancelAndClear(dummyTask_);
    setState(State::Kind::reconnecting);
    scheduleAutoRetry();
}

void CLIChatClient::armTimer(TimerKind kind) {
    if (handshakeTimer_) handshakeTimer_->cancel();
    double seconds = 0;
    switch (kind) {
        case TimerKind::noPeer: seconds = noPeerTimeoutSeconds; break;
        case TimerKind::handshake: seconds = handshakeTimeoutSeconds; break;
        case TimerKind::grace: seconds = peerReconnectGraceSeconds; break;
        case TimerKind::reconnectNoPeer: seconds = reconnectNoPeerTimeoutSeconds; break;
        case TimerKind::handshakeBackoff: seconds = handshakeBackoffDelay(); break;
        case TimerKind::none: handshakeTimer_.reset(); handshakeTimerKind_ = kind; return;
    }
    handshakeTimerKind_ = kind;
    handshakeTimer_ = spawn([kind, seconds](std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task) {
        return timerTask(std::move(weak), std::move(task), kind, seconds);
    });
}

asio::awaitable<std::shared_ptr<CLIChatClient>> CLIChatClient::sleepThenRelock(std::weak_ptr<CLIChatClient> weak,
                                                                              std::shared_ptr<TaskHandle> task,
                                                                              double seconds) {
    {
        auto self = weak.lock();
        if (!self) co_return nullptr;
        auto& timers = self->env_.timers;
        self.reset();
        co_await timers.sleep(seconds, *task);
    }
    if (task->isCancelled()) co_return nullptr;
    auto self = weak.lock();
    if (!self || self->ended_) co_return nullptr;
    co_return self;
}

void CLIChatClient::leaveRelayConnection() {
    auto transport = std::move(transport_);
    cancelAndClear(receiveTask_);
    disconnectInBackground(std::move(transport));
    scheduleAutoRetry();
}

asio::awaitable<void> CLIChatClient::timerTask(std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task,
                                               TimerKind kind, double seconds) {
    auto self = co_await sleepThenRelock(weak, task, seconds);
    if (!self) co_return;
    if (self->handshakeTimer_ == task) self->handshakeTimerKind_ = TimerKind::none;
    switch (kind) {
        case TimerKind::noPeer: {
            if (self->state_.kind() != State::Kind::waitingForPeer) co_return;
            self->status("timeout — no peer, retrying...");
            self->leaveRelayConnection();
            break;
        }
        case TimerKind::handshake:
            if (self->state_.kind() != State::Kind::handshaking) co_return;
            // An adopted hello that led nowhere (a replay, or one whose session the peer has
            // left) is not adopted again: adopting it at every attempt would never let the
            // relay connection go, and a peer that waits for that would never send a new one.
            if (self->currentHelloAdopted_ && self->currentPeerHello_ && self->latestPeerHello_ &&
                self->latestPeerHello_->fingerprint == *self->currentPeerHello_) {
                self->latestPeerHelloUsedUp_ = true;
            }
            self->noteFailedHandshake();
            co_await self->reconnectForPeer();
            break;
        case TimerKind::grace:
            co_await self->reconnectForPeer();
            break;
        case TimerKind::reconnectNoPeer:
            if (self->state_.kind() != State::Kind::waitingForPeer) co_return;
            self->leaveRelayConnection();
            break;
        case TimerKind::handshakeBackoff:
            if (self->state_.kind() != State::Kind::waitingForPeer) co_return;
            co_await self->reconnectForPeer();
            break;
        case TimerKind::none: break;
    }
}

}  // namespace duoquill::cli
