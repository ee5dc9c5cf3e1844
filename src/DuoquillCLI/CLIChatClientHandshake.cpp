// The hello / kex2 / ready handshake, from the peer's hello to the state active, and the
// remembered peer hellos that let recovery converge.

#include <algorithm>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Platform/Primitives/ConstantTime.h"
#include "Duoquill/Platform/Primitives/Random.h"
#include "Duoquill/Platform/Primitives/Sha2.h"
#include "Duoquill/Protocol/RelayMessages.h"
#include "Duoquill/Utilities/KeyHelpers.h"
#include "DuoquillCLI/CLIChatClient.h"
#include "DuoquillCLI/ChatErrorText.h"

namespace asio = boost::asio;

namespace duoquill::cli {

namespace {

// How many recent peer hellos are remembered, to recognise one delivered again.
constexpr std::size_t seenHelloMemory = 64;

// The "pkid" of an identity: its compressed public key text, hashed.
std::string keyID(std::string_view identity) { return base64URLString(sha512(asBytes(identity))); }

// Built outside the coroutines: GCC 12 miscompiles braced initialiser lists inside co_await.
std::string kex2Text(Bytes mc) { return protocol::encode(protocol::Kex2{std::move(mc)}); }

std::string readyText(BytesView kc, const protocol::Announcement& announcement) {
    return protocol::encode(protocol::Ready{kc, announcement});
}

}  // namespace

std::string CLIChatClient::helloText() const {
    return protocol::encode(protocol::Hello{keyID(localPubKeyCompressed_), session_->authCiphertext(),
                                            session_->authEncapKey(), session_->mlkemPublicKeyData()});
}

std::string CLIChatClient::expectedPeerKeyID() const {
    return keyID(KeyHelpers::compressedP256(peerPubKeyBase64URL_).value_or(peerPubKeyBase64URL_));
}

CLIChatClient::PeerHello CLIChatClient::peerHello(protocol::HelloDecoding decoded) {
    PeerHello hello{std::move(decoded.ct), std::move(decoded.ek), std::move(*decoded.mlk), {}};
    hello.fingerprint = sha256(concat(hello.ct, hello.ek, hello.mlk));
    return hello;
}

std::optional<CLIChatClient::PeerHello> CLIChatClient::parsePeerHello(const protocol::RelayMessage& message) const {
    auto decoded = protocol::decodeHello(message);
    if (!decoded || !decoded->mlk || decoded->pkid != expectedPeerKeyID()) return std::nullopt;
    return peerHello(std::move(*decoded));
}

std::optional<std::string_view> CLIChatClient::helloRefusal(const protocol::HelloDecoding& decoded) const {
    // Our own hello sent back by the relay names us, not a wrong peer: the peer never sent it.
    const std::string ownKeyID = keyID(localPubKeyCompressed_);
    if (decoded.pkid == ownKeyID && ownKeyID != expectedPeerKeyID()) return std::nullopt;
    if (!decoded.mlk) return "Post-quantum key exchange required";
    if (decoded.pkid != expectedPeerKeyID()) return "Peer identity mismatch";
    return std::nullopt;
}

void CLIChatClient::showHelloRefusal(std::string_view reason) {
    if (helloRefusalShownFor_ == sessionGeneration_) return;
    helloRefusalShownFor_ = sessionGeneration_;
    env_.display.error(reason);
}

bool CLIChatClient::hasSeenHello(const Bytes& fingerprint) const {
    return std::find(seenHellos_.begin(), seenHellos_.end(), fingerprint) != seenHellos_.end();
}

void CLIChatClient::rememberPeerHello(const PeerHello& hello) {
    latestPeerHello_ = hello;
    latestPeerHelloUsedUp_ = false;
    if (!hasSeenHello(hello.fingerprint)) {
        seenHellos_.push_back(hello.fingerprint);
        if (seenHellos_.size() > seenHelloMemory) seenHellos_.pop_front();
    }
}

asio::awaitable<void> CLIChatClient::handlePlainHello(const protocol::RelayMessage& message) {
    if (!session_ || !session_->isTunnelReady()) {
        co_await handleHello(message);
        co_return;
    }
    // A refused hello proves nothing about the peer: the session stays as it is.
    if (const auto decoded = protocol::decodeHello(message)) {
        if (const auto refusal = helloRefusal(*decoded)) {
            showHelloRefusal(*refusal);
            co_return;
        }
    }
    // The session is in use: the peer has started a new one.
    const auto hello = parsePeerHello(message);
    if (hello) {
        // One we have already had (this session's own, or an older one delivered again)
        // announces nothing new.
        if (hasSeenHello(hello->fingerprint)) co_return;
        rememberPeerHello(*hello);
    }
    // Under way before the peer had our hello: the handshake just begun may still complete.
    if (state_.kind() == State::Kind::handshaking && handshakeYoung_ && hellosMayBeAltered_) co_return;
    if (state_.kind() == State::Kind::active) {
        if (env_.baseProtocolOnly || !hello) co_return;
        // A hello never seen before comes from a new session: the peer is back (within the
        // grace after it left, or before the relay said so). Answer it now.
        if (handshakeTimerKind_ != TimerKind::grace) env_.display.peerEvent("peer reconnecting...");
        co_await reconnectForPeer(true);
        co_return;
    }
    co_await reconnectForPeer();
}

asio::awaitable<void> CLIChatClient::handleHello(const protocol::RelayMessage& message) {
    auto decoded = protocol::decodeHello(message);
    if (!decoded) co_return;
    // Anyone who knows the room can send a hello: a downgrade or a foreign identity is never
    // completed with, but the chat keeps waiting for its peer's good one.
    if (const auto refusal = helloRefusal(*decoded)) {
        showHelloRefusal(*refusal);
        co_return;
    }
    if (decoded->pkid != expectedPeerKeyID()) co_return;  // our own hello, sent back
    PeerHello hello = peerHello(std::move(*decoded));
    rememberPeerHello(hello);
    co_await acceptHello(std::move(hello), false);
}

asio::awaitable<void> CLIChatClient::acceptHello(PeerHello hello, bool adopted) {
    auto self = shared_from_this();
    std::optional<std::string> failure;
    if (session_) {
        try {
            session_->completeHandshake(hello.ct, hello.ek, hello.mlk);
            currentPeerHello_ = hello.fingerprint;
            currentHelloAdopted_ = adopted;
        } catch (const std::exception& e) {
            failure = errorText(e);
        }
    }
    if (failure) {
        // Never adopt a hello our sessions cannot complete with.
        if (adopted) latestPeerHelloUsedUp_ = true;
        handshakeRefused("[handshake error] " + *failure);
        co_return;
    }
    const auto generation = sessionGeneration_;
    setState(State::Kind::handshaking);
    armTimer(TimerKind::handshake);
    handshakeYoung_ = true;
    spawn([generation](std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task) {
        return youngHandshakeBody(std::move(weak), std::move(task), generation);
    });
    // Our hello may have been altered on its way like the ones we refused: the peer gets it
    // again, ahead of anything sealed with this session. A copy it already took is ignored.
    // An adopted hello was answered with ours just now.
    if (hellosMayBeAltered_ && !adopted && session_ && transport_) {
        try {
            co_await sendFrame(helloText());
        } catch (const std::exception&) {
            // The receive loop sees the connection fail.
        }
        if (sessionGeneration_ != generation || ended_) co_return;
    }
    if (!session_ || !session_->isInitiator().value_or(false)) co_return;

    // Initiator: encapsulate to the responder's ML-KEM key, then confirm.
    try {
        std::string kex2 = kex2Text(session_->performPQKeyExchange());
        co_await sendTunneled(std::move(kex2));
        // The session this handshake belonged to may have been replaced meanwhile.
        if (sessionGeneration_ != generation || ended_) co_return;
        if (!session_) throw SessionError(SessionErrorCode::handshakeNotComplete);
        session_->completePQInitiator();
        localReady_ = true;
        if (const auto& kc = session_->localKeyConfirmation()) {
            std::string ready = readyText(*kc, announcement());
            co_await sendTunneled(std::move(ready));
            if (sessionGeneration_ != generation || ended_) co_return;
        }
        if (peerReady_) transitionToActive();
    } catch (const std::exception& e) {
        failure = errorText(e);
    }
    if (failure && !ended_) {
        sayError("[handshake error] " + *failure);
        noteFailedHandshake();
        co_await reconnectForPeer();
    }
}

asio::awaitable<void> CLIChatClient::handleKex2(const protocol::RelayMessage& message) {
    const auto kex2 = protocol::decodeKex2(message);
    if (!kex2) co_return;
    std::optional<std::string> failure;
    if (session_) {
        try {
            session_->completePQKeyExchange(kex2->mc);
        } catch (const std::exception& e) {
            failure = errorText(e);
        }
    }
    if (!failure) {
        localReady_ = true;
        if (session_ && session_->localKeyConfirmation()) {
            const auto generation = sessionGeneration_;
            try {
                std::string ready = readyText(*session_->localKeyConfirmation(), announcement());
                co_await sendTunneled(std::move(ready));
            } catch (const std::exception& e) {
                failure = errorText(e);
            }
            if (ended_ || sessionGeneration_ != generation) co_return;
        }
    }
    if (failure) {
        sayError("[kex2 error] " + *failure);
        noteFailedHandshake();
        co_await reconnectForPeer();
        co_return;
    }
    if (peerReady_) transitionToActive();
}

void CLIChatClient::handleReady(const protocol::RelayMessage& message) {
    const std::optional<SecureBytes> received = protocol::decodeReadyConfirmation(message);
    const std::optional<SecureBytes>* expected = session_ ? &session_->expectedPeerKeyConfirmation() : nullptr;
    const bool holds = received && expected != nullptr && expected->has_value() &&
                       received->size() == (*expected)->size() && constantTimeEquals(*received, **expected);
    if (!holds) {
        setState(State::error("Key confirmation failed"));
        endProcess(1);
        return;
    }
    peerReady_ = true;
    if (!env_.baseProtocolOnly) {
        const auto announced = protocol::decodeReadyAnnouncement(message);
        peerLineStream_ = announced.lineStream;
        peerFollowsLeaderRule_ = announced.followsLeaderRule;
    }
    if (localReady_) transitionToActive();
}

void CLIChatClient::noteFailedHandshake() {
    if (++failedHandshakesInARow_ == 3) {
        status("three handshakes in a row failed; still retrying (something on the way may be altering messages)");
    }
}

void CLIChatClient::handshakeRefused(std::string line) {
    sayError(std::move(line));
    noteFailedHandshake();
    hellosMayBeAltered_ = true;
    if (handshakeTimerKind_ != TimerKind::handshakeBackoff) armTimer(TimerKind::handshakeBackoff);
}

double CLIChatClient::handshakeBackoffDelay() {
    double draw = 0;
    if (env_.backoffJitter) {
        draw = env_.backoffJitter();
    } else {
        draw = static_cast<double>(random::uniform(1u << 30)) / static_cast<double>(1u << 30);
    }
    const double delay = std::min(retryDelay(failedHandshakesInARow_ - 1), maxHandshakeBackoffSeconds);
    return delay * (1.0 - draw / 2);
}

asio::awaitable<void> CLIChatClient::youngHandshakeBody(std::weak_ptr<CLIChatClient> weak,
                                                        std::shared_ptr<TaskHandle> task, std::uint64_t generation) {
    auto self = co_await sleepThenRelock(weak, task, youngHandshakeSeconds);
    if (self && self->sessionGeneration_ == generation) self->handshakeYoung_ = false;
}

void CLIChatClient::sayRepeats() {
    if (lastErrorRepeats_ > 1) status(lastError_ + " (" + std::to_string(lastErrorRepeats_) + " times)");
    lastError_.clear();
    lastErrorRepeats_ = 0;
}

void CLIChatClient::sayError(std::string line) {
    if (line == lastError_) {
        ++lastErrorRepeats_;
        return;
    }
    sayRepeats();
    status(line);
    lastError_ = std::move(line);
    lastErrorRepeats_ = 1;
}

void CLIChatClient::transitionToActive() {
    failedHandshakesInARow_ = 0;
    hellosMayBeAltered_ = false;
    sayRepeats();
    cancelAndClear(handshakeTimer_);
    handshakeTimerKind_ = TimerKind::none;
    cancelAndClear(retryTask_);
    retryCount_ = 0;
    if (currentPeerHello_ && latestPeerHello_ && latestPeerHello_->fingerprint == *currentPeerHello_) {
        latestPeerHelloUsedUp_ = true;
    }
    showPendingLines();
    setState(State::Kind::active);
    startTrafficLoop();
    if (outbox_.nextToSend(sessionGeneration_, peerConfirms())) {
        spawn([](std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle>) -> asio::awaitable<void> {
            if (auto self = weak.lock(); self && !self->ended_) co_await self->sendOutbox();
        });
    }
}

protocol::Announcement CLIChatClient::announcement() const {
    if (env_.baseProtocolOnly) return {};
    return protocol::Announcement{outbox_.streamStart(), true};
}

}  // namespace duoquill::cli
