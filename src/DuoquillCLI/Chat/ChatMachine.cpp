// The chat client's machine: each event is handled by the state it arrives in. Recovery is in
// ChatMachineRecovery.cpp, the handshake in ChatMachineHandshake.cpp, what they share in
// ChatMachineOutput.cpp, line traffic in LineTraffic.

#include "DuoquillCLI/Chat/ChatMachine.h"

#include "Duoquill/Protocol/TunnelPipeline.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "DuoquillCLI/Chat/ChatSessionStep.h"

namespace duoquill::cli {

using namespace chat;

namespace {

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
      traffic_(config_.lineStreamStart, config_.baseProtocolOnly, config_.coverDraw, config_.steady) {}

ChatMachine::~ChatMachine() = default;

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

// ---- events every state takes alike ----

template <class S>
void ChatMachine::on(S&, SendDone& event) {
    lineSendDone(event.tag);
}

template <class S>
void ChatMachine::on(S& state, SendFailed& event) {
    if (const Link* link = linkOf(state); link && link->generation == event.tag.session) {
        sessionSendFailed(event.tag, event.reason);
    }
    lineSendFailed(event.tag, event.reason);
}

template <class S>
void ChatMachine::on(S& state, ConnectionLost&) {
    // Idle and Reconnecting have no connection to lose.
    if (linkOf(state)) connectionLost();
}

template <class S>
void ChatMachine::on(S&, LineTyped& event) {
    lineTyped(std::move(event.line), nullptr);
}

template <class S>
void ChatMachine::on(S& state, TimerFired& event) {
    if (event.stamp == stateStamp_) onTimer(state, event.timer);
}

template <class S>
void ChatMachine::on(S& state, QuitRequested&) {
    quit(linkOf(state), peerLineStreamOf(state));
}

Actions ChatMachine::handle(Event event, Instant now) {
    out_.clear();
    now_ = now;
    if (ended()) return {};
    std::visit([&](auto& state, auto& e) { on(state, e); }, state_, event);
    return std::move(out_);
}

// ---- Idle ----

void ChatMachine::on(Idle&, Started&) {
    connect();
    if (!ended()) out_.emplace_back(std::in_place_type<StartInput>, StartInput{});
}

// ---- Reconnecting ----

void ChatMachine::onTimer(Reconnecting&, Timer timer) {
    if (timer == Timer::retry) connect();
}

// ---- Waiting ----

void ChatMachine::on(Waiting& waiting, TextReceived& event) {
    // No tunnel yet: only plain frames mean anything here.
    const auto message = protocol::parsePlainFrame(event.text);
    if (!message) {
        // Records of a session we have left, still coming while our hello waits: the peer
        // missed the relay's "peer-disconnected" and, not being one that answers a hello while
        // active, would stay in that session. Leaving the connection makes the relay say it
        // again. A peer that announced the leader rule answers our hello instead.
        if (waiting.staleWatchArmed && hellos_.peerFollowsRule() != true && !event.text.empty() &&
            event.text.front() != '{' && ++waiting.staleFrames == staleFramesBeforeLeaving) {
            leaveRelayConnection();
        }
        return;
    }
    // A waiting session goes on waiting for the peer's hello whatever else the relay says.
    if (message->type != protocol::MessageType::hello) return;
    auto hello = usableHello(waiting.link, *message);
    if (!hello) return;
    hellos_.remember(*hello);
    if (acceptHello(waiting, std::move(*hello), false) == SessionFate::replace) reconnectForPeer();
}

void ChatMachine::on(Waiting& waiting, SendDone& event) {
    // The connection carried our hello: from now on it is read, and the peer awaited.
    if (event.tag.kind == SendTag::Kind::connectHello && waiting.link.generation == event.tag.session) {
        waiting.connectionOpen = true;
        announce(Phase::waitingForPeer);
        out_.emplace_back(std::in_place_type<StartReceiving>, StartReceiving{});
        waiting.timer = Waiting::Timer::noPeer;
        arm(Timer::connection, noPeerTimeoutSeconds);
        if (!config_.baseProtocolOnly) arm(Timer::staleWatch, staleWatchDelaySeconds);
    }
    lineSendDone(event.tag);
}

void ChatMachine::onTimer(Waiting& waiting, Timer timer) {
    if (timer == Timer::staleWatch) {
        waiting.staleWatchArmed = true;
        return;
    }
    if (timer != Timer::connection) return;
    switch (std::exchange(waiting.timer, Waiting::Timer::none)) {
        case Waiting::Timer::noPeer:
            say(Recovering{Recovering::Why::noPeer});
            leaveRelayConnection();
            break;
        case Waiting::Timer::reconnectNoPeer: leaveRelayConnection(); break;
        case Waiting::Timer::backoff: reconnectForPeer(); break;
        case Waiting::Timer::none: break;
    }
}

// ---- Handshaking ----

void ChatMachine::on(Handshaking& handshaking, TextReceived& event) {
    if (const auto opened = protocol::openTunnelText(*handshaking.link.session, event.text, now_)) {
        if (tunnelFrame(handshaking, *opened) == SessionFate::replace) reconnectForPeer();
        return;
    }
    // A "peer-disconnected" leaves the handshake waiting for the peer's hello.
    const auto message = protocol::parsePlainFrame(event.text);
    if (!message || message->type != protocol::MessageType::hello) return;
    const auto hello = usableHello(handshaking.link, *message);
    if (!hello || !newPeerHello(*hello)) return;
    // Under way before the peer had our hello: the handshake just begun may still complete.
    if (handshaking.young && hellosMayBeAltered_) return;
    reconnectForPeer();
}

ChatMachine::SessionFate ChatMachine::tunnelFrame(Handshaking& handshaking, const protocol::RelayMessage& message) {
    // A frame that opens under this session's tunnel keys proves that the peer's session
    // completed with our hello: its hello is used up and is no use to a later session.
    hellos_.usedUp(handshaking.hello.fingerprint);
    switch (message.type) {
        case protocol::MessageType::kex2: {
            const auto kex2 = protocol::decodeKex2(message);
            if (!kex2) return SessionFate::keep;
            if (answerKex2(handshaking.link, *kex2) == SessionFate::replace) return SessionFate::replace;
            handshaking.localReady = true;
            return maybeActive(handshaking);
        }
        case protocol::MessageType::ready:
            if (!peerConfirmsKeys(handshaking.link, message)) return SessionFate::keep;
            handshaking.peer = peerAnnouncement(message);
            handshaking.peerReady = true;
            return maybeActive(handshaking);
        default: return lineFrame(handshaking.link, handshaking.peer, message);
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

// ---- Active ----

void ChatMachine::on(Active& active, TextReceived& event) {
    if (const auto opened = protocol::openTunnelText(*active.link.session, event.text, now_)) {
        if (tunnelFrame(active, *opened) == SessionFate::replace) reconnectForPeer();
        return;
    }
    const auto message = protocol::parsePlainFrame(event.text);
    if (!message) return;
    switch (message->type) {
        case protocol::MessageType::hello: {
            // The peer has started a new session.
            const auto hello = usableHello(active.link, *message);
            if (!hello || !newPeerHello(*hello) || config_.baseProtocolOnly) return;
            // A hello never seen before comes from a new session: the peer is back (within the
            // grace after it left, or before the relay said so). Answer it now.
            if (!active.peerLeft) say(PeerEvent{PeerEvent::Kind::reconnecting});
            reconnectForPeer(true);
            break;
        }
        case protocol::MessageType::peerDisconnected:
            say(PeerEvent{PeerEvent::Kind::reconnecting});
            active.peerLeft = true;
            arm(Timer::connection, peerReconnectGraceSeconds);
            break;
        default:
            // A plain "bye" proves nothing: the peer's own comes through the tunnel.
            break;
    }
}

ChatMachine::SessionFate ChatMachine::tunnelFrame(Active& active, const protocol::RelayMessage& message) {
    hellos_.usedUp(active.hello.fingerprint);
    switch (message.type) {
        case protocol::MessageType::kex2: {
            // The session's keys are made: a kex2 now fails, as any step out of turn does.
            const auto kex2 = protocol::decodeKex2(message);
            return kex2 ? answerKex2(active.link, *kex2) : SessionFate::keep;
        }
        case protocol::MessageType::ready:
            if (peerConfirmsKeys(active.link, message)) active.peer = peerAnnouncement(message);
            return SessionFate::keep;
        default: return lineFrame(active.link, active.peer, message);
    }
}

void ChatMachine::on(Active& active, LineTyped& event) {
    // Lines go out only in an active session that is ready; others wait or are dropped.
    const LineTraffic::Session session = lineSession(active.link, active.peer);
    lineTyped(std::move(event.line), active.link.session->isReady() ? &session : nullptr);
}

void ChatMachine::onTimer(Active& active, Timer timer) {
    if (timer == Timer::cover) {
        const LineTraffic::Session session = lineSession(active.link, active.peer);
        if (apply(traffic_.coverTick(session, now_)) == SessionFate::replace) {
            reconnectForPeer();
        } else {
            arm(Timer::cover, traffic_.nextCoverDelay());
        }
    } else if (timer == Timer::connection) {
        // The grace after the relay said the peer left has passed.
        say(PeerEvent{PeerEvent::Kind::left});
        reconnectForPeer();
    }
}

// ---- what several states share ----

ChatMachine::SessionFate ChatMachine::lineFrame(Link& link, const PeerReady& peer,
                                                const protocol::RelayMessage& message) {
    switch (message.type) {
        case protocol::MessageType::msg: return apply(traffic_.received(message, lineSession(link, peer), now_));
        case protocol::MessageType::bye:
            if (const auto confirmed = protocol::decodeByeConfirmation(message); confirmed && peer.lineStream) {
                confirm(*confirmed);
            }
            say(PeerEvent{PeerEvent::Kind::left});
            return SessionFate::replace;
        default: return SessionFate::keep;
    }
}

void ChatMachine::lineSendDone(const SendTag& tag) {
    if (tag.kind != SendTag::Kind::line && tag.kind != SendTag::Kind::unnumberedLine) return;
    if (tag.shown) {
        say(LineSent{*tag.shown, tag.shownQueued});
        say(Prompt{});
    }
}

void ChatMachine::sessionSendFailed(const SendTag& tag, const std::string& reason) {
    switch (tag.kind) {
        case SendTag::Kind::connectHello:
            sayConnectError(ErrorLine::What::connect, reason);
            scheduleAutoRetry();
            break;
        case SendTag::Kind::reconnectHello:
            sayConnectError(ErrorLine::What::reconnect, reason);
            scheduleAutoRetry();
            break;
        case SendTag::Kind::kex2:
        case SendTag::Kind::initiatorReady:
        case SendTag::Kind::responderReady:
            // A send fails only when the connection has: a fresh session on it would fail too.
            sayError(tag.kind == SendTag::Kind::responderReady ? ErrorLine::What::kex2 : ErrorLine::What::handshake, reason);
            noteFailedHandshake();
            scheduleAutoRetry();
            break;
        default:
            // An extra hello, cover or bye: the connection's failure shows in its receiving.
            break;
    }
}

void ChatMachine::lineSendFailed(const SendTag& tag, const std::string& reason) {
    if (tag.kind == SendTag::Kind::line) {
        // A line kept for a confirming peer goes out again with the next session.
        say(LineNotSent{reason, tag.kept});
        say(Prompt{});
    } else if (tag.kind == SendTag::Kind::unnumberedLine) {
        say(LineNotSent{reason});
        say(Prompt{});
    }
}

void ChatMachine::lineTyped(SecureText line, const LineTraffic::Session* active) {
    if (apply(traffic_.lineTyped(std::move(line), active, now_)) == SessionFate::replace) reconnectForPeer();
}

void ChatMachine::quit(Link* link, std::optional<std::uint64_t> peerLineStream) {
    out_.emplace_back(std::in_place_type<UnconfirmedAtExit>, traffic_.unconfirmedAtExit());
    if (link && link->session->isTunnelReady()) {
        // A confirming peer learns which of its lines we showed, so it does not report them as
        // unconfirmed when it quits.
        const std::optional<std::uint64_t> confirmed = traffic_.highestShown(peerLineStream);
        const std::uint64_t generation = link->generation;
        sessionStep([&] { sendTunneled(*link, protocol::encodeBye(confirmed), SendTag{SendTag::Kind::bye, generation}); });
    }
    if (link) out_.emplace_back(std::in_place_type<CloseConnection>, CloseConnection{true});
    enter(Ended{Phase::disconnected});
    say(PeerEvent{PeerEvent::Kind::quit});
    for (auto& action : traffic_.unconfirmedLines()) out_.push_back(std::move(action));
    out_.emplace_back(std::in_place_type<Exit>, Exit{0, true});
}

void ChatMachine::confirm(std::uint64_t number) {
    for (auto& action : traffic_.confirm(number)) out_.push_back(std::move(action));
}

}  // namespace duoquill::cli
