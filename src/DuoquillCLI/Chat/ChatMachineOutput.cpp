// What the chat machine's sections share: the output they add to, state changes, the line
// traffic's session, the retry delay, and the error lines said once with their count.

#include "DuoquillCLI/Chat/ChatMachine.h"

#include <algorithm>
#include <cmath>

#include "Duoquill/Protocol/TunnelPipeline.h"
#include "Duoquill/Session/PFSChatSession.h"

namespace duoquill::cli {

using namespace chat;

double ChatMachine::retryDelay(std::int64_t retryCount) {
    if (retryCount <= 0) return firstRetryDelaySeconds;
    if (retryCount > 6) return maxRetryDelaySeconds;
    return std::min(std::ldexp(1.0, static_cast<int>(retryCount - 1)), maxRetryDelaySeconds);
}

bool ChatMachine::ended() const noexcept { return std::holds_alternative<Ended>(state_); }

ChatMachine::Link* ChatMachine::link() noexcept {
    return std::visit([](auto& state) { return linkOf(state); }, state_);
}

const ChatMachine::Link* ChatMachine::link() const noexcept { return const_cast<ChatMachine*>(this)->link(); }

PFSChatSession* ChatMachine::currentSession() const noexcept {
    const Link* l = link();
    return l ? l->session.get() : nullptr;
}

void ChatMachine::say(Output output) { out_.emplace_back(std::in_place_type<Output>, std::move(output)); }

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

void ChatMachine::leaveState() {
    // A link handed on to the next state has left its session there.
    if (Link* old = link(); old && old->session) dropSession(*old->session);
}

void ChatMachine::fatal(FatalError::Why why) {
    say(FatalError{why});
    const bool connected = link() != nullptr;
    enter(Ended{Phase::error});
    out_.emplace_back(std::in_place_type<Exit>, Exit{1, false});
    // Only reached where ending the process returns (tests): the connection goes as at an end.
    if (connected) out_.emplace_back(std::in_place_type<CloseConnection>, CloseConnection{true});
}

LineTraffic::Session ChatMachine::lineSession(Link& link, const PeerReady& peer) noexcept {
    LineTraffic::Session session{*link.session, link.generation, peer.lineStream};
    session.peerJoinsParts = peer.joinsParts;
    session.peerSteady = peer.steady;
    return session;
}

ChatMachine::SessionFate ChatMachine::apply(LineTraffic::Step step) {
    for (auto& action : step.actions) out_.push_back(std::move(action));
    return step.restart ? SessionFate::replace : SessionFate::keep;
}

void ChatMachine::sendTunneled(const Link& link, std::string json, SendTag tag) {
    std::string frame = protocol::sealTunnelText(*link.session, json, now_);
    // A ready carries the key confirmation in the clear until it is sealed.
    secureWipe(json.data(), json.size());
    send(std::move(frame), std::move(tag));
}

void ChatMachine::sayRepeats() {
    if (lastError_ && lastError_->repeats > 1 && !lastErrorCountSaid_) say(*lastError_);
    lastError_.reset();
    lastErrorCountSaid_ = false;
}

void ChatMachine::sayError(ErrorLine::What what, std::string detail) {
    if (lastError_ && lastError_->what == what && lastError_->detail == detail) {
        ++lastError_->repeats;
        return;
    }
    sayRepeats();
    lastError_ = ErrorLine{what, std::move(detail)};
    say(*lastError_);
}

void ChatMachine::sayConnectError(ErrorLine::What what, std::string detail) {
    // Each try is a wait of its own for the user: a silent one would look like a connection.
    if (!lastError_ || lastError_->what != what || lastError_->detail != detail) {
        sayError(what, std::move(detail));
        return;
    }
    ++lastError_->repeats;
    say(*lastError_);
    lastErrorCountSaid_ = true;
}

}  // namespace duoquill::cli
