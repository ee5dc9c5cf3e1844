// The chat machine's handshake, from a peer hello taken to an active session. Each step says
// what went wrong itself and returns what the session should become; whether a fresh one is
// made is for its caller (ChatMachine.cpp, ChatMachineRecovery.cpp) to act on.

#include "DuoquillCLI/Chat/ChatMachine.h"

#include <algorithm>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Identity/KeyHelpers.h"
#include "Duoquill/Primitives/ConstantTime.h"
#include "Duoquill/Primitives/Sha2.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "DuoquillCLI/Chat/ChatSessionStep.h"

namespace duoquill::cli {

using namespace chat;

namespace {

// The "pkid" of an identity: its compressed public key text, hashed.
std::string keyID(std::string_view identity) { return base64URLString(sha512(asBytes(identity))); }

}  // namespace

std::string ChatMachine::helloText(const PFSChatSession& session) const {
    return protocol::encode(protocol::Hello{keyID(config_.localPubKeyCompressed), session.authCiphertext(),
                                            session.authEncapKey(), session.mlkemPublicKeyData()});
}

std::string ChatMachine::expectedPeerKeyID() const {
    return keyID(KeyHelpers::compressedP256(config_.peerPubKeyBase64URL).value_or(config_.peerPubKeyBase64URL));
}

std::optional<HelloRefused> ChatMachine::helloRefusal(const protocol::HelloDecoding& decoded) const {
    // Our own hello sent back by the relay names us, not a wrong peer: the peer never sent it.
    const std::string ownKeyID = keyID(config_.localPubKeyCompressed);
    if (decoded.pkid == ownKeyID && ownKeyID != expectedPeerKeyID()) return std::nullopt;
    if (!decoded.mlk) return HelloRefused{HelloRefused::Why::noPostQuantumKey};
    if (decoded.pkid != expectedPeerKeyID()) return HelloRefused{HelloRefused::Why::otherIdentity};
    return std::nullopt;
}

void ChatMachine::showHelloRefusal(Link& link, HelloRefused refusal) {
    if (std::exchange(link.refusalShown, true)) return;
    say(refusal);
}

std::optional<ChatMachine::PeerHello> ChatMachine::usableHello(Link& link, const protocol::RelayMessage& message) {
    auto decoded = protocol::decodeHello(message);
    // Anyone who knows the room can send a hello: a downgrade or a foreign identity is never
    // completed with, and proves nothing about the peer, so the session stays as it is.
    if (decoded) {
        if (const auto refusal = helloRefusal(*decoded)) {
            showHelloRefusal(link, *refusal);
            return std::nullopt;
        }
    }
    // A hello that does not decode, or our own sent back by the relay, says nothing of the peer.
    if (!decoded || !decoded->mlk || decoded->pkid != expectedPeerKeyID()) return std::nullopt;
    PeerHello hello{std::move(decoded->ct), std::move(decoded->ek), std::move(*decoded->mlk), {}};
    hello.fingerprint = sha256(concat(hello.ct, hello.ek, hello.mlk));
    return hello;
}

bool ChatMachine::newPeerHello(const PeerHello& hello) {
    // One we have already had (this session's own, or an older one delivered again) announces
    // nothing new.
    if (hellos_.seen(hello.fingerprint)) return false;
    hellos_.remember(hello);
    return true;
}

ChatMachine::SessionFate ChatMachine::acceptHello(Waiting& waiting, PeerHello hello, bool adopted) {
    PFSChatSession& session = *waiting.link.session;
    if (auto failure = sessionStep([&] { session.completeHandshake(hello.ct, hello.ek, hello.mlk, now_); })) {
        // Never adopt a hello our sessions cannot complete with.
        if (adopted) hellos_.latestUsedUp();
        handshakeRefused(waiting, failure->text);
        return SessionFate::keep;
    }
    const std::uint64_t generation = waiting.link.generation;
    Handshaking next;
    next.link = std::move(waiting.link);
    next.hello = TakenHello{std::move(hello.fingerprint), adopted};
    Handshaking& handshaking = enter(std::move(next));
    announce(Phase::handshaking);
    arm(Timer::connection, handshakeTimeoutSeconds);
    arm(Timer::youngHandshake, youngHandshakeSeconds);
    // Our hello may have been altered on its way like the ones we refused: the peer gets it
    // again, ahead of anything sealed with this session. A copy it already took is ignored.
    // An adopted hello was answered with ours just now.
    if (hellosMayBeAltered_ && !adopted) send(helloText(session), SendTag{SendTag::Kind::extraHello, generation});
    if (!session.isInitiator().value_or(false)) return SessionFate::keep;

    // Initiator: encapsulate to the responder's ML-KEM key, then confirm.
    auto failure = sessionStep([&] {
        sendTunneled(handshaking.link, protocol::encode(protocol::Kex2{session.performPQKeyExchange()}),
                     SendTag{SendTag::Kind::kex2, generation});
        session.completePQInitiator(now_);
        keysMade();
        handshaking.localReady = true;
        sendReady(handshaking.link, SendTag::Kind::initiatorReady);
    });
    if (failure) {
        // A hello whose key we cannot encapsulate to is no use to a later session either.
        if (adopted) hellos_.usedUp(handshaking.hello.fingerprint);
        return handshakeStepFailed(ErrorLine::What::handshake, *failure);
    }
    return maybeActive(handshaking);
}

ChatMachine::SessionFate ChatMachine::answerKex2(Link& link, const protocol::Kex2& kex2) {
    PFSChatSession& session = *link.session;
    auto failure = sessionStep([&] {
        session.completePQKeyExchange(kex2.mc, now_);
        keysMade();
        sendReady(link, SendTag::Kind::responderReady);
    });
    if (failure) return handshakeStepFailed(ErrorLine::What::kex2, *failure);
    return SessionFate::keep;
}

void ChatMachine::sendReady(const Link& link, SendTag::Kind kind) {
    if (const auto& kc = link.session->localKeyConfirmation()) {
        sendTunneled(link, protocol::encode(protocol::Ready{*kc, announcement()}), SendTag{kind, link.generation});
    }
}

ChatMachine::SessionFate ChatMachine::handshakeStepFailed(ErrorLine::What what, const SessionStepFailure& failure) {
    sayError(what, failure.text);
    noteFailedHandshake();
    return SessionFate::replace;
}

bool ChatMachine::peerConfirmsKeys(const Link& link, const protocol::RelayMessage& message) {
    const std::optional<SecureBytes> received = protocol::decodeReadyConfirmation(message);
    const std::optional<SecureBytes>& expected = link.session->expectedPeerKeyConfirmation();
    const bool holds = received && expected.has_value() && received->size() == expected->size() &&
                       constantTimeEquals(*received, *expected);
    if (!holds) fatal(FatalError::Why::keyConfirmationFailed);
    return holds;
}

ChatMachine::PeerReady ChatMachine::peerAnnouncement(const protocol::RelayMessage& message) {
    if (config_.baseProtocolOnly) return {};
    const auto announced = protocol::decodeReadyAnnouncement(message);
    hellos_.peerAnnounced(announced.followsLeaderRule);
    return PeerReady{announced.lineStream, announced.joinsParts, announced.steady};
}

ChatMachine::SessionFate ChatMachine::maybeActive(Handshaking& handshaking) {
    if (!handshaking.localReady || !handshaking.peerReady) return SessionFate::keep;
    failedHandshakesInARow_ = 0;
    hellosMayBeAltered_ = false;
    sayRepeats();
    retryCount_ = 0;
    hellos_.usedUp(handshaking.hello.fingerprint);
    Active& active =
        enter(Active{std::move(handshaking.link), std::move(handshaking.hello), handshaking.peer});
    const LineTraffic::Session session = lineSession(active.link, active.peer);
    for (auto& action : traffic_.pendingLines(session)) out_.push_back(std::move(action));
    announce(Phase::active);
    for (auto& action : traffic_.steadyNote(session)) out_.push_back(std::move(action));
    say(Prompt{});
    arm(Timer::cover, traffic_.nextCoverDelay());
    return apply(traffic_.sendWaiting(session, now_));
}

void ChatMachine::noteFailedHandshake() {
    if (++failedHandshakesInARow_ == 3) {
        say(Recovering{Recovering::Why::handshakesFailing});
    }
}

void ChatMachine::handshakeRefused(Waiting& waiting, std::string detail) {
    sayError(ErrorLine::What::handshake, std::move(detail));
    noteFailedHandshake();
    hellosMayBeAltered_ = true;
    // The session stays and still takes a good hello; the next hello of a fresh one waits.
    if (waiting.timer == Waiting::Timer::backoff) return;
    const double draw = config_.jitterDraw();
    const double delay = std::min(retryDelay(failedHandshakesInARow_ - 1), maxHandshakeBackoffSeconds);
    waiting.timer = Waiting::Timer::backoff;
    arm(Timer::connection, delay * (1.0 - draw / 2));
}

protocol::Announcement ChatMachine::announcement() const {
    if (config_.baseProtocolOnly) return {};
    return protocol::Announcement{traffic_.streamStart(), true, true, config_.steady};
}

}  // namespace duoquill::cli
