// The chat client's machine: the events it takes, each handled where the state it is in says.
// Sessions (connection, recovery, handshake) are in ChatMachineSessions.cpp, the output and
// state changes they share in ChatMachineOutput.cpp, line traffic in LineTraffic.

#include "DuoquillCLI/Chat/ChatMachine.h"

#include "Duoquill/Base/CryptoCore.h"
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
