// What the chat machine's sections share: the output they add to, state changes, and the
// error lines said once with their count.

#include "DuoquillCLI/Chat/ChatMachine.h"

#include "Duoquill/Session/PFSChatSession.h"

namespace duoquill::cli {

using namespace chat;

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

void ChatMachine::enter(State next) {
    // A link handed on to the next state has left its session there.
    if (Link* old = link(); old && old->session) dropSession(*old->session);
    state_ = std::move(next);
    ++stateStamp_;
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
