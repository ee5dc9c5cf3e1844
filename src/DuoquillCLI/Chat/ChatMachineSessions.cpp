// The chat machine's sessions: the relay connection, recovery after a loss or a fresh peer
// hello, and the handshake up to an active session.

#include "DuoquillCLI/Chat/ChatMachine.h"

#include <algorithm>
#include <boost/url/parse.hpp>
#include <cmath>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Identity/KeyHelpers.h"
#include "Duoquill/Primitives/ConstantTime.h"
#include "Duoquill/Primitives/Sha2.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/System/Clock.h"
#include "DuoquillCLI/Chat/ChatSessionStep.h"

namespace duoquill::cli {

using namespace chat;

namespace {

// The "pkid" of an identity: its compressed public key text, hashed.
std::string keyID(std::string_view identity) { return base64URLString(sha512(asBytes(identity))); }

// The time of the event, as the room token's clock.
class EventClock final : public Clock {
public:
    explicit EventClock(double wallSeconds) : wall_(wallSeconds) {}
    double wallSeconds() const override { return wall_; }
    double uptimeSeconds() const override { return 0; }

private:
    double wall_;
};

}  // namespace

double ChatMachine::retryDelay(std::int64_t retryCount) {
    if (retryCount <= 0) return firstRetryDelaySeconds;
    if (retryCount > 6) return maxRetryDelaySeconds;
    return std::min(std::ldexp(1.0, static_cast<int>(retryCount - 1)), maxRetryDelaySeconds);
}

std::optional<ChatMachine::Link> ChatMachine::startSession(std::string_view errorPrefix,
                                                           std::optional<double> roomEpoch) {
    std::unique_ptr<PFSChatSession> session;
    if (auto failure = sessionStep([&] { session = config_.makeSession(roomEpoch); })) {
        sayConnectError(std::string(errorPrefix) + failure->text);
        scheduleAutoRetry();
        return std::nullopt;
    }
    return Link{std::move(session), ++generation_, false};
}

void ChatMachine::connect() {
    announce(Phase::connecting);
    // A new relay connection: whatever the peer announced before belongs to the old one.
    hellos_.forgetLatest();
    // The token follows the UTC day of each new connection, so two users who started on
    // different days still meet; the room code the session uses never changes.
    std::string url =
        config_.relayBaseURL + "/" + KeyHelpers::deriveRoomToken(config_.roomKeyData, EventClock(now_.wallSeconds));
    // Checked before a session is made: no retry makes it usable.
    if (!isUsableRelayURL(url)) {
        fatal("Invalid relay URL");
        return;
    }
    auto fresh = startSession("[connect error] ", roomEpoch_);
    if (!fresh) return;
    out_.emplace_back(std::in_place_type<OpenConnection>, OpenConnection{std::move(url)});
    std::string hello = helloText(*fresh->session);
    const std::uint64_t generation = fresh->generation;
    // "waiting for peer..." once the hello is out: before, nothing says the relay is there.
    enter(Waiting{.link = std::move(*fresh), .connectionOpen = false});
    send(std::move(hello), SendTag{SendTag::Kind::connectHello, generation});
}

std::size_t ChatMachine::longestLine() { return LineTraffic::longestLine(); }

bool ChatMachine::isUsableRelayURL(std::string_view url) {
    const auto parsed = boost::urls::parse_uri(url);
    if (!parsed || !parsed->has_authority() || parsed->encoded_host().empty()) return false;
    if (parsed->has_query() || parsed->has_fragment()) return false;
    // The parser reads "host:80x/..." as port "80" and a path "x/...": a path that does not
    // start at a "/" means the port was not a number.
    if (!std::string(parsed->encoded_path()).starts_with('/')) return false;
    if (const std::string port(parsed->port()); !port.empty()) {
        if (port.size() > 5 || !std::all_of(port.begin(), port.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            return false;
        }
        const int number = std::stoi(port);
        if (number < 1 || number > 65535) return false;
    }
    return true;
}

void ChatMachine::scheduleAutoRetry() {
    if (ended()) return;
    if (link()) out_.emplace_back(std::in_place_type<CloseConnection>, CloseConnection{true});
    retryLater();
}

void ChatMachine::retryLater() {
    const double delay = retryDelay(retryCount_);
    ++retryCount_;
    enter(Reconnecting{});
    announce(Phase::reconnecting);
    arm(Timer::retry, delay);
}

void ChatMachine::leaveRelayConnection() { scheduleAutoRetry(); }

void ChatMachine::connectionLost() {
    if (!link()) return;
    // The connection has failed: it is dropped, not closed.
    out_.emplace_back(std::in_place_type<CloseConnection>, CloseConnection{false});
    retryLater();
}

void ChatMachine::fatal(std::string_view message) {
    show(Show::Kind::error, message);
    const bool connected = link() != nullptr;
    enter(Ended{Phase::error});
    out_.emplace_back(std::in_place_type<Exit>, Exit{1, false});
    // Only reached where ending the process returns (tests): the connection goes as at an end.
    if (connected) out_.emplace_back(std::in_place_type<CloseConnection>, CloseConnection{true});
}

void ChatMachine::reconnectForPeer(bool adoptLatest) {
    if (!link()) return;
    retryCount_ = 0;
    // The old session goes as the fresh one takes its place, and the room's epoch file with it,
    // so the fresh one is made with none; the connection stays.
    auto fresh = startSession("[reconnect error] ", std::nullopt);
    if (!fresh) return;
    enter(Waiting{.link = std::move(*fresh)});
    announce(Phase::waitingForPeer);
    auto& waiting = std::get<Waiting>(state_);
    send(helloText(*waiting.link.session), SendTag{SendTag::Kind::reconnectHello, waiting.link.generation});
    waiting.timer = Waiting::Timer::reconnectNoPeer;
    arm(Timer::connection, reconnectNoPeerTimeoutSeconds);

    // The leading side answers the peer's latest hello with this session at once; the other
    // side's fresh session waits for a hello made for it.
    if (const PeerHello* latest = hellos_.toAdopt(adoptLatest)) acceptHello(*latest, true);
}

std::string ChatMachine::helloText(const PFSChatSession& session) const {
    return protocol::encode(protocol::Hello{keyID(config_.localPubKeyCompressed), session.authCiphertext(),
                                            session.authEncapKey(), session.mlkemPublicKeyData()});
}

std::string ChatMachine::expectedPeerKeyID() const {
    return keyID(KeyHelpers::compressedP256(config_.peerPubKeyBase64URL).value_or(config_.peerPubKeyBase64URL));
}

std::optional<std::string_view> ChatMachine::helloRefusal(const protocol::HelloDecoding& decoded) const {
    // Our own hello sent back by the relay names us, not a wrong peer: the peer never sent it.
    const std::string ownKeyID = keyID(config_.localPubKeyCompressed);
    if (decoded.pkid == ownKeyID && ownKeyID != expectedPeerKeyID()) return std::nullopt;
    if (!decoded.mlk) return "Post-quantum key exchange required";
    if (decoded.pkid != expectedPeerKeyID()) return "Peer identity mismatch";
    return std::nullopt;
}

void ChatMachine::showHelloRefusal(Link& link, std::string_view reason) {
    if (std::exchange(link.refusalShown, true)) return;
    show(Show::Kind::error, reason);
}

void ChatMachine::plainHello(const protocol::RelayMessage& message) {
    Link* l = link();
    if (!l) return;
    auto decoded = protocol::decodeHello(message);
    // Anyone who knows the room can send a hello: a downgrade or a foreign identity is never
    // completed with, and proves nothing about the peer, so the session stays as it is.
    if (decoded) {
        if (const auto refusal = helloRefusal(*decoded)) {
            showHelloRefusal(*l, *refusal);
            return;
        }
    }
    // A hello that does not decode, or our own sent back by the relay, says nothing of the peer.
    if (!decoded || !decoded->mlk || decoded->pkid != expectedPeerKeyID()) return;
    PeerHello hello{std::move(decoded->ct), std::move(decoded->ek), std::move(*decoded->mlk), {}};
    hello.fingerprint = sha256(concat(hello.ct, hello.ek, hello.mlk));
    if (!l->session->isTunnelReady()) {
        // Waiting: a usable hello is answered.
        hellos_.remember(hello);
        acceptHello(std::move(hello), false);
        return;
    }
    // The session is in use: the peer has started a new one. One we have already had (this
    // session's own, or an older one delivered again) announces nothing new.
    if (hellos_.seen(hello.fingerprint)) return;
    hellos_.remember(hello);
    // Under way before the peer had our hello: the handshake just begun may still complete.
    if (auto* h = std::get_if<Handshaking>(&state_); h && h->young && hellosMayBeAltered_) return;
    if (auto* a = std::get_if<Active>(&state_)) {
        if (config_.baseProtocolOnly) return;
        // A hello never seen before comes from a new session: the peer is back (within the
        // grace after it left, or before the relay said so). Answer it now.
        if (!a->peerLeft) show(Show::Kind::peerEvent, "peer reconnecting...");
        reconnectForPeer(true);
        return;
    }
    reconnectForPeer();
}

void ChatMachine::acceptHello(PeerHello hello, bool adopted) {
    auto* waiting = std::get_if<Waiting>(&state_);
    if (!waiting) return;
    PFSChatSession& session = *waiting->link.session;
    if (auto failure = sessionStep([&] { session.completeHandshake(hello.ct, hello.ek, hello.mlk, now_); })) {
        // Never adopt a hello our sessions cannot complete with.
        if (adopted) hellos_.latestUsedUp();
        handshakeRefused("[handshake error] " + failure->text);
        return;
    }
    const std::uint64_t generation = waiting->link.generation;
    Handshaking next;
    next.link = std::move(waiting->link);
    next.hello = TakenHello{std::move(hello.fingerprint), adopted};
    enter(std::move(next));
    announce(Phase::handshaking);
    arm(Timer::connection, handshakeTimeoutSeconds);
    arm(Timer::youngHandshake, youngHandshakeSeconds);
    auto& handshaking = std::get<Handshaking>(state_);
    // Our hello may have been altered on its way like the ones we refused: the peer gets it
    // again, ahead of anything sealed with this session. A copy it already took is ignored.
    // An adopted hello was answered with ours just now.
    if (hellosMayBeAltered_ && !adopted) send(helloText(session), SendTag{SendTag::Kind::extraHello, generation});
    if (!session.isInitiator().value_or(false)) return;

    // Initiator: encapsulate to the responder's ML-KEM key, then confirm.
    auto failure = sessionStep([&] {
        sendTunneled(protocol::encode(protocol::Kex2{session.performPQKeyExchange()}),
                     SendTag{SendTag::Kind::kex2, generation});
        session.completePQInitiator(now_);
        keysMade();
        handshaking.localReady = true;
        sendReady(SendTag::Kind::initiatorReady);
    });
    if (failure) {
        handshakeStepFailed("[handshake error] ", *failure);
        return;
    }
    maybeActive();
}

void ChatMachine::kex2(const protocol::RelayMessage& message) {
    const auto kex2 = protocol::decodeKex2(message);
    Link* l = link();
    if (!kex2 || !l) return;
    PFSChatSession& session = *l->session;
    auto* handshaking = std::get_if<Handshaking>(&state_);
    auto failure = sessionStep([&] {
        session.completePQKeyExchange(kex2->mc, now_);
        keysMade();
        if (handshaking) handshaking->localReady = true;
        sendReady(SendTag::Kind::responderReady);
    });
    if (failure) {
        handshakeStepFailed("[kex2 error] ", *failure);
        return;
    }
    maybeActive();
}

void ChatMachine::sendReady(SendTag::Kind kind) {
    const Link& l = *link();
    if (const auto& kc = l.session->localKeyConfirmation()) {
        sendTunneled(protocol::encode(protocol::Ready{*kc, announcement()}), SendTag{kind, l.generation});
    }
}

void ChatMachine::handshakeStepFailed(std::string_view prefix, const SessionStepFailure& failure) {
    sayError(std::string(prefix) + failure.text);
    noteFailedHandshake();
    reconnectForPeer();
}

void ChatMachine::ready(const protocol::RelayMessage& message) {
    const std::optional<SecureBytes> received = protocol::decodeReadyConfirmation(message);
    const Link* l = link();
    const std::optional<SecureBytes>* expected = l ? &l->session->expectedPeerKeyConfirmation() : nullptr;
    const bool holds = received && expected != nullptr && expected->has_value() &&
                       received->size() == (*expected)->size() && constantTimeEquals(*received, **expected);
    if (!holds) {
        fatal("Key confirmation failed");
        return;
    }
    protocol::Announcement announced;
    if (!config_.baseProtocolOnly) {
        announced = protocol::decodeReadyAnnouncement(message);
        hellos_.peerAnnounced(announced.followsLeaderRule);
    }
    if (auto* h = std::get_if<Handshaking>(&state_)) {
        h->peerReady = true;
        h->peerLineStream = announced.lineStream;
        h->peerJoinsParts = announced.joinsParts;
        h->peerSteady = announced.steady;
        maybeActive();
    } else if (auto* a = std::get_if<Active>(&state_)) {
        a->peerLineStream = announced.lineStream;
        a->peerJoinsParts = announced.joinsParts;
        a->peerSteady = announced.steady;
    }
}

void ChatMachine::maybeActive() {
    auto* h = std::get_if<Handshaking>(&state_);
    if (!h || !h->localReady || !h->peerReady) return;
    failedHandshakesInARow_ = 0;
    hellosMayBeAltered_ = false;
    sayRepeats();
    retryCount_ = 0;
    hellos_.usedUp(h->hello.fingerprint);
    enter(Active{std::move(h->link), std::move(h->hello), h->peerLineStream, h->peerJoinsParts, h->peerSteady});
    const auto session = lineSession();
    for (auto& action : traffic_.pendingLines(*session)) out_.push_back(std::move(action));
    announce(Phase::active);
    for (auto& action : traffic_.steadyNote(*session)) out_.push_back(std::move(action));
    show(Show::Kind::prompt);
    arm(Timer::cover, traffic_.nextCoverDelay());
    apply(traffic_.sendWaiting(*session, now_));
}

void ChatMachine::noteFailedHandshake() {
    if (++failedHandshakesInARow_ == 3) {
        status("three handshakes in a row failed; still retrying (something on the way may be altering messages)");
    }
}

void ChatMachine::handshakeRefused(std::string line) {
    sayError(std::move(line));
    noteFailedHandshake();
    hellosMayBeAltered_ = true;
    // The session stays and still takes a good hello; the next hello of a fresh one waits.
    auto* w = std::get_if<Waiting>(&state_);
    if (!w || w->timer == Waiting::Timer::backoff) return;
    const double draw = config_.jitterDraw();
    const double delay = std::min(retryDelay(failedHandshakesInARow_ - 1), maxHandshakeBackoffSeconds);
    w->timer = Waiting::Timer::backoff;
    arm(Timer::connection, delay * (1.0 - draw / 2));
}

protocol::Announcement ChatMachine::announcement() const {
    if (config_.baseProtocolOnly) return {};
    return protocol::Announcement{traffic_.streamStart(), true, true, config_.steady};
}

std::optional<std::uint64_t> ChatMachine::peerLineStream() const noexcept {
    if (const auto* h = std::get_if<Handshaking>(&state_)) return h->peerLineStream;
    if (const auto* a = std::get_if<Active>(&state_)) return a->peerLineStream;
    return std::nullopt;
}

std::optional<LineTraffic::Session> ChatMachine::lineSession() noexcept {
    Link* l = link();
    if (!l) return std::nullopt;
    LineTraffic::Session session{*l->session, l->generation, peerLineStream()};
    if (const auto* a = std::get_if<Active>(&state_)) {
        session.peerJoinsParts = a->peerJoinsParts;
        session.peerSteady = a->peerSteady;
    }
    return session;
}

void ChatMachine::apply(LineTraffic::Step step) {
    for (auto& action : step.actions) out_.push_back(std::move(action));
    if (step.restart) reconnectForPeer();
}

void ChatMachine::confirm(std::uint64_t number) {
    for (auto& action : traffic_.confirm(number)) out_.push_back(std::move(action));
}

void ChatMachine::sendTunneled(std::string json, SendTag tag) {
    PFSChatSession& session = *link()->session;
    std::string frame = protocol::sealTunnelText(session, json, now_);
    // A ready carries the key confirmation in the clear until it is sealed.
    secureWipe(json.data(), json.size());
    send(std::move(frame), std::move(tag));
}

}  // namespace duoquill::cli
