// Relay messages: dispatch of every received frame, the hello / kex2 / ready handshake, and
// the sending of plain and tunnelled messages.

#include <boost/json/object.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Platform/Primitives/ConstantTime.h"
#include "Duoquill/Platform/Primitives/Sha2.h"
#include "Duoquill/Utilities/KeyHelpers.h"
#include "DuoquillCLI/CLIChatClient.h"
#include "DuoquillCLI/ChatErrorText.h"

namespace asio = boost::asio;
namespace json = boost::json;

namespace duoquill::cli {

namespace {

// How many recent peer hellos are remembered, to recognise one delivered again.
constexpr std::size_t seenHelloMemory = 64;

struct RelayMessage {
    std::string type;
    json::object object;
};

// A flat JSON object with a string "t", or nothing.
std::optional<RelayMessage> parseRelayMessage(std::string_view text) {
    boost::system::error_code ec;
    json::value value = json::parse(text, ec);
    if (ec || !value.is_object()) return std::nullopt;
    auto& object = value.as_object();
    const auto* type = object.if_contains("t");
    if (type == nullptr || !type->is_string()) return std::nullopt;
    return RelayMessage{std::string(type->as_string()), std::move(object)};
}

const json::string* stringMember(const json::object& object, std::string_view name) {
    const auto* member = object.if_contains(name);
    return member != nullptr && member->is_string() ? &member->as_string() : nullptr;
}

std::optional<Bytes> base64Member(const json::object& object, std::string_view name) {
    const auto* text = stringMember(object, name);
    if (text == nullptr) return std::nullopt;
    return bytesFromBase64String(std::string_view(*text));
}

// Built outside the coroutines: GCC 12 miscompiles braced initialiser lists inside co_await.
std::string kex2Text(BytesView mc) {
    const json::object kex2{{"t", "kex2"}, {"mc", base64String(mc)}};
    return json::serialize(kex2);
}

std::string readyText(BytesView kc) {
    const json::object ready{{"t", "ready"}, {"kc", base64URLString(kc)}};
    return json::serialize(ready);
}

}  // namespace

std::optional<std::string> CLIChatClient::jsonString(const json::object& object) {
    try {
        return json::serialize(object);
    } catch (...) {
        return std::nullopt;
    }
}

std::string CLIChatClient::helloText() const {
    const json::object hello{
        {"t", "hello"},
        {"pkid", base64URLString(sha512(asBytes(localPubKeyCompressed_)))},
        {"ct", base64String(session_->authCiphertext())},
        {"ek", base64String(session_->authEncapKey())},
        {"mlk", base64String(session_->mlkemPublicKeyData())},
    };
    return jsonString(hello).value_or("");
}

std::string CLIChatClient::expectedPeerKeyID() const {
    const auto identity = KeyHelpers::compressedP256(peerPubKeyBase64URL_).value_or(peerPubKeyBase64URL_);
    return base64URLString(sha512(asBytes(identity)));
}

asio::awaitable<void> CLIChatClient::sendTunneled(std::string text) {
    if (!session_) throw SessionError(SessionErrorCode::handshakeNotComplete);
    const Bytes frame = session_->tunnelSeal(asBytes(text));
    auto transport = transport_;
    if (!transport) co_return;
    co_await transport->send(base64String(frame));
}

asio::awaitable<void> CLIChatClient::handleMessage(std::string text) {
    auto self = shared_from_this();
    if (ended_) co_return;

    if (session_ && session_->isTunnelReady()) {
        std::optional<RelayMessage> opened;
        if (const auto frame = bytesFromBase64String(text)) {
            try {
                const SecureBytes payload = session_->tunnelOpen(*frame);
                opened = parseRelayMessage(
                    std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
            } catch (...) {
            }
        }
        if (opened) {
            co_await handleDecryptedFrame(opened->type, opened->object);
            co_return;
        }
    }

    if (text.empty() || text.front() != '{') co_return;
    const auto message = parseRelayMessage(text);
    if (!message) co_return;
    const auto kind = state_.kind();
    if (message->type == "hello") {
        co_await handlePlainHello(message->object);
    } else if (message->type == "peer-disconnected") {
        if (kind == State::Kind::waitingForPeer || kind == State::Kind::handshaking) co_return;
        if (session_ && (session_->isTunnelReady() || session_->isReady())) {
            env_.display.peerEvent("peer reconnecting...");
            armTimer(TimerKind::grace);
            co_return;
        }
        co_await reconnectForPeer();
    } else if (message->type == "bye") {
        if (session_ && session_->isTunnelReady()) co_return;
        if (kind == State::Kind::waitingForPeer || kind == State::Kind::handshaking) co_return;
        co_await reconnectForPeer();
    }
}

asio::awaitable<void> CLIChatClient::handleDecryptedFrame(const std::string& type, const json::object& object) {
    // A frame that opens under this session's tunnel keys proves that the peer's session
    // completed with our hello: its hello is used up and is no use to a later session.
    if (currentPeerHello_ && latestPeerHello_ && latestPeerHello_->fingerprint == *currentPeerHello_) {
        latestPeerHelloUsedUp_ = true;
    }
    if (type == "kex2") {
        co_await handleKex2(object);
    } else if (type == "ready") {
        handleReady(object);
    } else if (type == "msg") {
        co_await handleMsg(object);
    } else if (type == "bye") {
        co_await reconnectForPeer();
    }
}

std::optional<CLIChatClient::PeerHello> CLIChatClient::parsePeerHello(const json::object& object) const {
    const auto* pkid = stringMember(object, "pkid");
    auto ct = base64Member(object, "ct");
    auto ek = base64Member(object, "ek");
    auto mlk = base64Member(object, "mlk");
    if (pkid == nullptr || !ct || !ek || !mlk || mlk->size() != PFSChatSession::mlkemPublicKeySize) return std::nullopt;
    if (std::string_view(*pkid) != expectedPeerKeyID()) return std::nullopt;
    PeerHello hello{std::move(*ct), std::move(*ek), std::move(*mlk), {}};
    hello.fingerprint = sha256(concat(hello.ct, hello.ek, hello.mlk));
    return hello;
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

asio::awaitable<void> CLIChatClient::handlePlainHello(const json::object& object) {
    if (!session_ || !session_->isTunnelReady()) {
        co_await handleHello(object);
        co_return;
    }
    // The session is in use: the peer has started a new one.
    if (!recoveryRules_) {
        if (state_.kind() == State::Kind::active) co_return;
        co_await reconnectForPeer();
        co_return;
    }
    const auto hello = parsePeerHello(object);
    if (hello) {
        // One we have already had (this session's own, or an older one delivered again)
        // announces nothing new.
        if (hasSeenHello(hello->fingerprint)) co_return;
        rememberPeerHello(*hello);
    }
    if (state_.kind() == State::Kind::active) {
        // Keep the working session a moment: the peer's connection may come back as it was.
        if (hello && handshakeTimerKind_ != TimerKind::grace) {
            env_.display.peerEvent("peer reconnecting...");
            armTimer(TimerKind::grace);
        }
        co_return;
    }
    co_await reconnectForPeer();
}

asio::awaitable<void> CLIChatClient::handleHello(const json::object& object) {
    const auto* pkid = stringMember(object, "pkid");
    auto ct = base64Member(object, "ct");
    auto ek = base64Member(object, "ek");
    if (pkid == nullptr || !ct || !ek) co_return;
    // Our own hello sent back by the relay names us, not a wrong peer: the peer never sent it.
    const std::string ownKeyID = base64URLString(sha512(asBytes(localPubKeyCompressed_)));
    if (std::string_view(*pkid) == ownKeyID && ownKeyID != expectedPeerKeyID()) co_return;

    auto mlk = base64Member(object, "mlk");
    if (!mlk || mlk->size() != PFSChatSession::mlkemPublicKeySize) {
        setState(State::error("Post-quantum key exchange required"));
        endProcess(1);
        co_return;
    }
    if (std::string_view(*pkid) != expectedPeerKeyID()) {
        setState(State::error("Peer identity mismatch"));
        endProcess(1);
        co_return;
    }
    PeerHello hello{std::move(*ct), std::move(*ek), std::move(*mlk), {}};
    hello.fingerprint = sha256(concat(hello.ct, hello.ek, hello.mlk));
    if (recoveryRules_) rememberPeerHello(hello);
    co_await acceptHello(std::move(hello), false);
}

asio::awaitable<void> CLIChatClient::acceptHello(PeerHello hello, bool adopted) {
    auto self = shared_from_this();
    std::optional<std::string> failure;
    if (session_) {
        try {
            session_->completeHandshake(hello.ct, hello.ek, hello.mlk);
            currentPeerHello_ = hello.fingerprint;
        } catch (const std::exception& e) {
            failure = errorText(e);
        }
    }
    if (failure) {
        // Never adopt a hello our sessions cannot complete with.
        if (adopted) latestPeerHelloUsedUp_ = true;
        status("[handshake error] " + *failure);
        co_await reconnectForPeer();
        co_return;
    }
    setState(State::Kind::handshaking);
    armTimer(TimerKind::handshake);
    if (!session_ || !session_->isInitiator().value_or(false)) co_return;

    // Initiator: encapsulate to the responder's ML-KEM key, then confirm.
    const auto generation = sessionGeneration_;
    try {
        std::string kex2 = kex2Text(session_->performPQKeyExchange());
        co_await sendTunneled(std::move(kex2));
        // The session this handshake belonged to may have been replaced meanwhile.
        if (recoveryRules_ && (sessionGeneration_ != generation || ended_)) co_return;
        if (!session_) throw SessionError(SessionErrorCode::handshakeNotComplete);
        session_->completePQInitiator();
        localReady_ = true;
        if (const auto& kc = session_->localKeyConfirmation()) {
            std::string ready = readyText(*kc);
            co_await sendTunneled(std::move(ready));
            if (recoveryRules_ && (sessionGeneration_ != generation || ended_)) co_return;
        }
        if (peerReady_) transitionToActive();
    } catch (const std::exception& e) {
        failure = errorText(e);
    }
    if (failure && !ended_) {
        status("[handshake error] " + *failure);
        co_await reconnectForPeer();
    }
}

asio::awaitable<void> CLIChatClient::handleKex2(const json::object& object) {
    const auto mc = base64Member(object, "mc");
    if (!mc) co_return;
    std::optional<std::string> failure;
    if (session_) {
        try {
            session_->completePQKeyExchange(*mc);
        } catch (const std::exception& e) {
            failure = errorText(e);
        }
    }
    if (!failure) {
        localReady_ = true;
        if (session_ && session_->localKeyConfirmation()) {
            const auto generation = sessionGeneration_;
            try {
                std::string ready = readyText(*session_->localKeyConfirmation());
                co_await sendTunneled(std::move(ready));
            } catch (const std::exception& e) {
                failure = errorText(e);
            }
            if (ended_ || (recoveryRules_ && sessionGeneration_ != generation)) co_return;
        }
    }
    if (failure) {
        status("[kex2 error] " + *failure);
        co_await reconnectForPeer();
        co_return;
    }
    if (peerReady_) transitionToActive();
}

void CLIChatClient::handleReady(const json::object& object) {
    std::optional<Bytes> received;
    if (const auto* kc = stringMember(object, "kc")) received = bytesFromBase64URLString(std::string_view(*kc));
    const std::optional<SecureBytes>* expected = session_ ? &session_->expectedPeerKeyConfirmation() : nullptr;
    const bool holds = received && expected != nullptr && expected->has_value() &&
                       received->size() == (*expected)->size() && constantTimeEquals(*received, **expected);
    if (!holds) {
        setState(State::error("Key confirmation failed"));
        endProcess(1);
        return;
    }
    peerReady_ = true;
    if (localReady_) transitionToActive();
}

void CLIChatClient::transitionToActive() {
    cancelAndClear(handshakeTimer_);
    handshakeTimerKind_ = TimerKind::none;
    cancelAndClear(retryTask_);
    retryCount_ = 0;
    if (currentPeerHello_ && latestPeerHello_ && latestPeerHello_->fingerprint == *currentPeerHello_) {
        latestPeerHelloUsedUp_ = true;
    }
    setState(State::Kind::active);
    startTrafficLoop();
}

}  // namespace duoquill::cli
