// The chat client's states and transitions: connection, handshake, recovery, and the traffic
// of an active session (lines out, records in, the lines kept for the peer).

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

template <class... F>
struct Overloaded : F... {
    using F::operator()...;
};
// clang 14 deduces no aggregate's template arguments by itself.
template <class... F>
Overloaded(F...) -> Overloaded<F...>;

}  // namespace

ChatMachine::ChatMachine(ChatMachineConfig config)
    : config_(std::move(config)),
      roomEpoch_(config_.roomEpoch),
      hellos_(config_.leads, config_.baseProtocolOnly),
      traffic_(config_.lineStreamStart, config_.baseProtocolOnly, config_.coverDraw) {}

ChatMachine::~ChatMachine() = default;

Actions ChatMachine::handle(Event event, Instant now) {
    out_.clear();
    now_ = now;
    if (ended()) return {};
    std::visit(Overloaded{
                   [&](Started&) {
                       connect();
                       if (!ended()) out_.emplace_back(std::in_place_type<StartInput>, StartInput{});
                   },
                   [&](TextReceived& e) { textReceived(std::move(e.text)); },
                   [&](SendDone& e) { sendDone(e.tag); },
                   [&](SendFailed& e) { sendFailed(e.tag, e.reason); },
                   [&](ConnectionLost&) { connectionLost(); },
                   [&](LineTyped& e) {
                       // Lines go out only in an active session that is ready; others wait or are dropped.
                       auto* active = std::get_if<Active>(&state_);
                       const bool ready = active && active->link.session->isReady();
                       const auto session = ready ? lineSession() : std::nullopt;
                       apply(traffic_.lineTyped(std::move(e.line), session ? &*session : nullptr, now_));
                   },
                   [&](TimerFired& e) {
                       if (e.stamp == stateStamp_) timerFired(e.timer);
                   },
                   [&](QuitRequested&) { quit(); },
               },
               event);
    return std::move(out_);
}

// ---- observation ----

Phase ChatMachine::phase() const noexcept {
    return std::visit(Overloaded{
                          [](const Idle&) { return Phase::idle; },
                          [](const Reconnecting&) { return Phase::reconnecting; },
                          [](const Waiting& w) { return w.connectionOpen ? Phase::waitingForPeer : Phase::connecting; },
                          [](const Handshaking&) { return Phase::handshaking; },
                          [](const Active&) { return Phase::active; },
                          [](const Ended& e) { return e.shown; },
                      },
                      state_);
}

bool ChatMachine::ended() const noexcept { return std::holds_alternative<Ended>(state_); }

ChatMachine::Link* ChatMachine::link() noexcept {
    if (auto* w = std::get_if<Waiting>(&state_)) return &w->link;
    if (auto* h = std::get_if<Handshaking>(&state_)) return &h->link;
    if (auto* a = std::get_if<Active>(&state_)) return &a->link;
    return nullptr;
}

const ChatMachine::Link* ChatMachine::link() const noexcept { return const_cast<ChatMachine*>(this)->link(); }

PFSChatSession* ChatMachine::currentSession() const noexcept {
    const Link* l = link();
    return l ? l->session.get() : nullptr;
}

// ---- output ----

void ChatMachine::show(Show::Kind kind, std::string_view text) {
    out_.emplace_back(std::in_place_type<Show>, Show{kind, SecureText(text)});
}

void ChatMachine::announce(Phase phase) {
    Show line{Show::Kind::status, {}};
    switch (phase) {
        case Phase::connecting: line.text = SecureText("connecting..."); break;
        case Phase::waitingForPeer: line.text = SecureText("waiting for peer..."); break;
        case Phase::handshaking: line.text = SecureText("handshaking..."); break;
        case Phase::reconnecting: line.text = SecureText("reconnecting..."); break;
        case Phase::active: line.kind = Show::Kind::connected; break;
        default: return;
    }
    line.announces = phase;
    out_.emplace_back(std::in_place_type<Show>, std::move(line));
}

void ChatMachine::arm(Timer timer, double seconds) {
    out_.emplace_back(std::in_place_type<ArmTimer>, ArmTimer{timer, seconds, stateStamp_});
}

void ChatMachine::send(std::string text, SendTag tag) {
    out_.emplace_back(std::in_place_type<SendText>, SendText{std::move(text), std::move(tag)});
}

void ChatMachine::dropSession(PFSChatSession& session) {
    // The room's epoch file belongs to the session in use: it goes with it.
    session.destroy();
    roomEpoch_.reset();
    out_.emplace_back(std::in_place_type<ClearSessionEpoch>, ClearSessionEpoch{});
}

void ChatMachine::keysMade() {
    roomEpoch_ = now_.wallSeconds;
    out_.emplace_back(std::in_place_type<WriteSessionEpoch>, WriteSessionEpoch{now_.wallSeconds});
}

void ChatMachine::enter(State next) {
    // A link handed on to the next state has left its session there.
    if (Link* old = link(); old && old->session) dropSession(*old->session);
    state_ = std::move(next);
    ++stateStamp_;
}

// ---- connection and recovery ----

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

void ChatMachine::quit() {
    out_.emplace_back(std::in_place_type<UnconfirmedAtExit>, traffic_.unconfirmedAtExit());
    if (Link* l = link(); l && l->session->isTunnelReady()) {
        // A confirming peer learns which of its lines we showed, so it does not report them as
        // unconfirmed when it quits.
        const std::optional<std::uint64_t> confirmed = traffic_.highestShown(peerLineStream());
        const std::uint64_t generation = l->generation;
        sessionStep([&] { sendTunneled(protocol::encodeBye(confirmed), SendTag{SendTag::Kind::bye, generation}); });
    }
    if (link()) out_.emplace_back(std::in_place_type<CloseConnection>, CloseConnection{true});
    enter(Ended{Phase::disconnected});
    show(Show::Kind::peerEvent, "disconnected: quit");
    for (auto& action : traffic_.unconfirmedLines()) out_.push_back(std::move(action));
    out_.emplace_back(std::in_place_type<Exit>, Exit{0, true});
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

void ChatMachine::timerFired(Timer timer) {
    std::visit([&](auto& state) { onTimer(state, timer); }, state_);
}

void ChatMachine::onTimer(Reconnecting&, Timer timer) {
    if (timer == Timer::retry) connect();
}

void ChatMachine::onTimer(Waiting& waiting, Timer timer) {
    if (timer == Timer::staleWatch) {
        waiting.staleWatchArmed = true;
        return;
    }
    if (timer != Timer::connection) return;
    switch (std::exchange(waiting.timer, Waiting::Timer::none)) {
        case Waiting::Timer::noPeer:
            status("timeout — no peer, retrying...");
            leaveRelayConnection();
            break;
        case Waiting::Timer::reconnectNoPeer: leaveRelayConnection(); break;
        case Waiting::Timer::backoff: reconnectForPeer(); break;
        case Waiting::Timer::none: break;
    }
}

void ChatMachine::onTimer(Handshaking& handshaking, Timer timer) {
    if (timer == Timer::youngHandshake) {
        handshaking.young = false;
        return;
    }
    if (timer != Timer::connection) return;
    // An adopted hello that led nowhere (a replay, or one whose session the peer has left) is
    // not adopted again: adopting it at every attempt would never let the relay connection
    // go, and a peer that waits for that would never send one.
    if (handshaking.hello.adopted) hellos_.usedUp(handshaking.hello.fingerprint);
    noteFailedHandshake();
    reconnectForPeer();
}

void ChatMachine::onTimer(Active&, Timer timer) {
    if (timer == Timer::cover) {
        const auto session = lineSession();
        LineTraffic::Step step = traffic_.coverTick(*session, now_);
        const bool restart = step.restart;
        apply(std::move(step));
        if (!restart) arm(Timer::cover, traffic_.nextCoverDelay());
    } else if (timer == Timer::connection) {
        // The grace after the relay said the peer left has passed.
        show(Show::Kind::peerEvent, "peer left");
        reconnectForPeer();
    }
}

void ChatMachine::sendDone(const SendTag& tag) {
    switch (tag.kind) {
        case SendTag::Kind::connectHello:
            // The connection carried our hello: from now on it is read, and the peer awaited.
            if (auto* w = std::get_if<Waiting>(&state_); w && w->link.generation == tag.session) {
                w->connectionOpen = true;
                announce(Phase::waitingForPeer);
                out_.emplace_back(std::in_place_type<StartReceiving>, StartReceiving{});
                w->timer = Waiting::Timer::noPeer;
                arm(Timer::connection, noPeerTimeoutSeconds);
                if (!config_.baseProtocolOnly) arm(Timer::staleWatch, staleWatchDelaySeconds);
            }
            break;
        case SendTag::Kind::line:
        case SendTag::Kind::unnumberedLine:
            if (tag.shown) {
                show(Show::Kind::sent, tag.shown->view());
                show(Show::Kind::prompt);
            }
            break;
        default: break;
    }
}

void ChatMachine::sendFailed(const SendTag& tag, const std::string& reason) {
    const Link* l = link();
    const bool sameSession = l && l->generation == tag.session;
    switch (tag.kind) {
        case SendTag::Kind::connectHello:
            if (!sameSession) break;
            sayConnectError("[connect error] " + reason);
            scheduleAutoRetry();
            break;
        case SendTag::Kind::reconnectHello:
            if (!sameSession) break;
            sayConnectError("[reconnect error] " + reason);
            scheduleAutoRetry();
            break;
        case SendTag::Kind::kex2:
        case SendTag::Kind::initiatorReady:
        case SendTag::Kind::responderReady:
            if (!sameSession) break;
            // A send fails only when the connection has: a fresh session on it would fail too.
            sayError((tag.kind == SendTag::Kind::responderReady ? "[kex2 error] " : "[handshake error] ") + reason);
            noteFailedHandshake();
            scheduleAutoRetry();
            break;
        case SendTag::Kind::line:
            // A line kept for a confirming peer goes out again with the next session.
            show(Show::Kind::error, tag.kept ? "not sent yet: " + reason +
                                                   "; the line will be sent again in the next session"
                                             : "send failed: " + reason);
            show(Show::Kind::prompt);
            break;
        case SendTag::Kind::unnumberedLine:
            show(Show::Kind::error, "send failed: " + reason);
            show(Show::Kind::prompt);
            break;
        case SendTag::Kind::extraHello:
        case SendTag::Kind::cover:
        case SendTag::Kind::bye:
            // The connection's failure shows in its receiving.
            break;
    }
}

// ---- handshake ----

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
    std::optional<std::uint64_t> stream;
    if (!config_.baseProtocolOnly) {
        const auto announced = protocol::decodeReadyAnnouncement(message);
        stream = announced.lineStream;
        hellos_.peerAnnounced(announced.followsLeaderRule);
    }
    if (auto* h = std::get_if<Handshaking>(&state_)) {
        h->peerReady = true;
        h->peerLineStream = stream;
        maybeActive();
    } else if (auto* a = std::get_if<Active>(&state_)) {
        a->peerLineStream = stream;
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
    enter(Active{std::move(h->link), std::move(h->hello), h->peerLineStream});
    const auto session = lineSession();
    for (auto& action : traffic_.pendingLines(*session)) out_.push_back(std::move(action));
    announce(Phase::active);
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

void ChatMachine::sayRepeats() {
    if (lastErrorRepeats_ > 1 && !lastErrorCountSaid_) {
        status(lastError_ + " (" + std::to_string(lastErrorRepeats_) + " times)");
        std::get<Show>(out_.back()).failure = true;
    }
    lastError_.clear();
    lastErrorRepeats_ = 0;
    lastErrorCountSaid_ = false;
}

void ChatMachine::sayError(std::string line) {
    if (line == lastError_) {
        ++lastErrorRepeats_;
        return;
    }
    sayRepeats();
    status(line);
    std::get<Show>(out_.back()).failure = true;
    lastError_ = std::move(line);
    lastErrorRepeats_ = 1;
}

void ChatMachine::sayConnectError(std::string line) {
    // Each try is a wait of its own for the user: a silent one would look like a connection.
    if (line != lastError_) {
        sayError(std::move(line));
        return;
    }
    status(lastError_ + " (" + std::to_string(++lastErrorRepeats_) + " times)");
    std::get<Show>(out_.back()).failure = true;
    lastErrorCountSaid_ = true;
}

protocol::Announcement ChatMachine::announcement() const {
    if (config_.baseProtocolOnly) return {};
    return protocol::Announcement{traffic_.streamStart(), true};
}

// ---- traffic ----

std::optional<std::uint64_t> ChatMachine::peerLineStream() const noexcept {
    if (const auto* h = std::get_if<Handshaking>(&state_)) return h->peerLineStream;
    if (const auto* a = std::get_if<Active>(&state_)) return a->peerLineStream;
    return std::nullopt;
}

std::optional<LineTraffic::Session> ChatMachine::lineSession() noexcept {
    Link* l = link();
    if (!l) return std::nullopt;
    return LineTraffic::Session{*l->session, l->generation, peerLineStream()};
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

// ---- in ----

void ChatMachine::textReceived(std::string text) {
    Link* l = link();
    if (!l) return;
    if (l->session->isTunnelReady()) {
        if (const auto opened = protocol::openTunnelText(*l->session, text, now_)) {
            tunnelFrame(*opened);
            return;
        }
    }
    const auto message = protocol::parsePlainFrame(text);
    if (!message) {
        // Records of a session we have left, still coming while our hello waits: the peer
        // missed the relay's "peer-disconnected" and, not being one that answers a hello while
        // active, would stay in that session. Leaving the connection makes the relay say it
        // again. A peer that announced the leader rule answers our hello instead.
        auto* w = std::get_if<Waiting>(&state_);
        if (w && w->staleWatchArmed && hellos_.peerFollowsRule() != true && !text.empty() && text.front() != '{' &&
            ++w->staleFrames == staleFramesBeforeLeaving) {
            leaveRelayConnection();
        }
        return;
    }
    switch (message->type) {
        case protocol::MessageType::hello: plainHello(*message); break;
        case protocol::MessageType::peerDisconnected:
            // Only an active session has a peer that can leave it; a waiting or handshaking one
            // goes on waiting for the peer's hello.
            if (auto* a = std::get_if<Active>(&state_)) {
                show(Show::Kind::peerEvent, "peer reconnecting...");
                a->peerLeft = true;
                arm(Timer::connection, peerReconnectGraceSeconds);
            }
            break;
        default:
            // A plain "bye" proves nothing: the peer's own comes through the tunnel.
            break;
    }
}

void ChatMachine::tunnelFrame(const protocol::RelayMessage& message) {
    // A frame that opens under this session's tunnel keys proves that the peer's session
    // completed with our hello: its hello is used up and is no use to a later session.
    if (const auto* h = std::get_if<Handshaking>(&state_)) hellos_.usedUp(h->hello.fingerprint);
    if (const auto* a = std::get_if<Active>(&state_)) hellos_.usedUp(a->hello.fingerprint);
    switch (message.type) {
        case protocol::MessageType::kex2: kex2(message); break;
        case protocol::MessageType::ready: ready(message); break;
        case protocol::MessageType::msg: apply(traffic_.received(message, *lineSession(), now_)); break;
        case protocol::MessageType::bye:
            if (const auto confirmed = protocol::decodeByeConfirmation(message); confirmed && peerConfirms()) {
                confirm(*confirmed);
            }
            show(Show::Kind::peerEvent, "peer left");
            reconnectForPeer();
            break;
        default: break;
    }
}

}  // namespace duoquill::cli
