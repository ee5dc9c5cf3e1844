// The chat client's traffic: every received frame to its handler, the user's lines and the
// cover records out, the peer's records in, and the lines kept for the peer.

#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Platform/Utf8.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "DuoquillCLI/ChatMachine.h"
#include "DuoquillCLI/ChatSessionStep.h"
#include "DuoquillCLI/TerminalText.h"

namespace duoquill::cli {

using namespace chat;

std::optional<std::uint64_t> ChatMachine::peerLineStream() const noexcept {
    if (const auto* h = std::get_if<Handshaking>(&state_)) return h->peerLineStream;
    if (const auto* a = std::get_if<Active>(&state_)) return a->peerLineStream;
    return std::nullopt;
}

std::optional<protocol::LineNumbers> ChatMachine::lineNumbers(std::uint64_t number) const {
    const auto stream = peerLineStream();
    if (!stream) return std::nullopt;
    return protocol::LineNumbers{number, receivedLines_.highest(*stream)};
}

void ChatMachine::sendTunneled(std::string json, SendTag tag) {
    PFSChatSession& session = *link()->session;
    std::string frame = protocol::sealTunnelText(session, json);
    // A ready carries the key confirmation in the clear until it is sealed.
    secureWipe(json.data(), json.size());
    send(std::move(frame), std::move(tag));
}

// ---- in ----

void ChatMachine::textReceived(std::string text) {
    Link* l = link();
    if (!l) return;
    if (l->session && l->session->isTunnelReady()) {
        if (const auto opened = protocol::openTunnelText(*l->session, text)) {
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
        if (w && w->staleWatchArmed && peerFollowsLeaderRule_ != true && !text.empty() && text.front() != '{' &&
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
                a->graceArmed = true;
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
    markLatestHelloUsedIfTaken();
    switch (message.type) {
        case protocol::MessageType::kex2: kex2(message); break;
        case protocol::MessageType::ready: ready(message); break;
        case protocol::MessageType::msg: msg(message); break;
        case protocol::MessageType::bye:
            if (const auto confirmed = protocol::decodeByeConfirmation(message); confirmed && peerConfirms()) {
                confirm(*confirmed);
            }
            reconnectForPeer();
            break;
        default: break;
    }
}

void ChatMachine::msg(const protocol::RelayMessage& message) {
    const auto msg = protocol::decodeMsg(message);
    Link* l = link();
    if (!msg || !l || !l->session) return;
    PFSChatSession& session = *l->session;
    std::optional<SecureBytes> content;
    if (auto failure = sessionStep([&] {
            if (msg->rk) session.receiveDHRatchetKey(*msg->rk);
            content = session.open(msg->d, msg->n);
        })) {
        show(Show::Kind::error, failure->code ? std::string("session expired — restarting...") : "decrypt failed: " + failure->text);
        reconnectForPeer();
        return;
    }
    const auto stream = peerLineStream();
    if (stream && msg->numbers) confirm(msg->numbers->a);
    if (!content) return;
    if (msg->numbers && !config_.baseProtocolOnly) {
        // A numbered line is shown once per number. Before the peer's "ready" has named its
        // stream (that frame may have been lost), it is not shown: unconfirmed, it comes again.
        if (!stream || !receivedLines_.takeNew(*stream, msg->numbers->s)) return;
    }
    const std::string_view text(reinterpret_cast<const char*>(content->data()), content->size());
    if (!isValidUtf8(text)) return;
    show(Show::Kind::received, text);
    show(Show::Kind::prompt);
}

// ---- out ----

void ChatMachine::lineTyped(SecureText line) {
    if (line.empty()) {
        show(Show::Kind::prompt);
        return;
    }
    auto* active = std::get_if<Active>(&state_);
    if (active && !active->link.session->isReady()) active = nullptr;
    if (!active && config_.baseProtocolOnly) return;
    // A line that waits must fit whatever session takes it.
    const bool fits = active ? protocol::chatLineFits(*active->link.session, line.size(), peerConfirms())
                             : line.size() <= protocol::longestAlwaysAcceptedLine(true);
    if (!fits) {
        show(Show::Kind::error, "message too large");
        show(Show::Kind::prompt);
        return;
    }
    // A peer that does not confirm gets a line typed while active as it always did.
    if (config_.baseProtocolOnly ||
        (active && !peerConfirms() && !outbox_.nextToSend(active->link.generation, false))) {
        sendUnnumbered(std::move(line));
        return;
    }
    const std::optional<std::uint64_t> number = outbox_.push(std::move(line));
    if (!number) {
        show(Show::Kind::error, "line not sent: the queue of lines waiting for the peer is full");
        if (active) show(Show::Kind::prompt);
        return;
    }
    out_.emplace_back(std::in_place_type<LineTaken>, LineTaken{number});
    if (!active) {
        show(Show::Kind::queued, outbox_.entries().back().line.view());
        return;
    }
    sendOutbox(*number);
}

void ChatMachine::sendOutbox(std::optional<std::uint64_t> typed) {
    const bool resend = peerConfirms();
    bool typedReached = false;
    while (auto* active = std::get_if<Active>(&state_)) {
        PFSChatSession& session = *active->link.session;
        const std::uint64_t generation = active->link.generation;
        Outbox::Entry* entry = outbox_.nextToSend(generation, resend);
        // A line that does not fit beside a pending ratchet header waits for the cover record
        // that carries the header.
        if (entry == nullptr || !protocol::chatLineFits(session, entry->line.size(), resend)) break;
        const std::uint64_t number = entry->number;
        const bool isTyped = typed == number;
        typedReached = typedReached || isTyped;
        std::string frame;
        auto failure = sessionStep([&] { frame = protocol::sealChatLine(session, entry->line.bytes(), lineNumbers(number)); });
        if (failure && failure->code) {
            // Nothing went out: the line waits for the next session.
            show(Show::Kind::error, "session expired — restarting...");
            reconnectForPeer();
            return;
        }
        SendTag tag{SendTag::Kind::line, generation, resend && !failure};
        if (isTyped) tag.shown = SecureText(entry->line.view());
        if (failure || !resend) {
            // A peer that does not confirm gets each line once, as typed.
            outbox_.remove(number);
        } else {
            entry->sentInSession = generation;
        }
        if (failure) {
            show(Show::Kind::error, "send failed: " + failure->text);
            show(Show::Kind::prompt);
            continue;
        }
        send(std::move(frame), std::move(tag));
    }
    if (!typed || typedReached) return;
    const Link* l = link();
    for (const auto& entry : outbox_.entries()) {
        if (entry.number == *typed && (!l || entry.sentInSession != l->generation)) {
            show(Show::Kind::queued, entry.line.view());
            show(Show::Kind::prompt);
        }
    }
}

void ChatMachine::sendUnnumbered(SecureText line) {
    auto& active = std::get<Active>(state_);
    std::string frame;
    auto failure = sessionStep([&] { frame = protocol::sealChatLine(*active.link.session, line.bytes()); });
    if (failure && failure->code) {
        show(Show::Kind::error, "session expired — restarting...");
        reconnectForPeer();
    } else if (failure) {
        show(Show::Kind::error, "send failed: " + failure->text);
        show(Show::Kind::prompt);
    } else {
        out_.emplace_back(std::in_place_type<LineTaken>, LineTaken{});
        send(std::move(frame), SendTag{SendTag::Kind::unnumberedLine, active.link.generation, false, std::move(line)});
    }
}

void ChatMachine::coverDue() {
    auto& active = std::get<Active>(state_);
    PFSChatSession& session = *active.link.session;
    const std::uint64_t generation = active.link.generation;
    if (session.isReady()) {
        std::string frame;
        auto failure = sessionStep([&] { frame = protocol::sealCoverRecord(session, lineNumbers(outbox_.nextNumber())); });
        if (failure && failure->code == SessionErrorCode::sessionExpired) {
            reconnectForPeer();
            return;
        }
        if (!failure) send(std::move(frame), SendTag{SendTag::Kind::cover, generation});
        // The record carried the pending ratchet header: a long line held back by it fits now.
        if (outbox_.nextToSend(generation, peerConfirms())) sendOutbox();
    }
    if (std::holds_alternative<Active>(state_)) arm(Timer::cover, nextCoverDelay());
}

double ChatMachine::nextCoverDelay() {
    return minCoverDelaySeconds + (maxCoverDelaySeconds - minCoverDelaySeconds) * config_.coverDraw();
}

void ChatMachine::showPendingLines() {
    const Link* l = link();
    const auto pending = outbox_.pending(l ? l->generation : 0, peerConfirms());
    const auto lines = [](std::size_t n) { return std::to_string(n) + (n == 1 ? " line" : " lines"); };
    if (pending.again > 0 && pending.queued > 0) {
        status("sending " + lines(pending.again) + " not confirmed by the peer again, and " + lines(pending.queued) +
               " queued");
    } else if (pending.again > 0) {
        status("sending " + lines(pending.again) + " not confirmed by the peer again");
    } else if (pending.queued > 0) {
        status("sending " + lines(pending.queued) + " queued");
    }
}

void ChatMachine::showUnconfirmedLines() {
    const auto& entries = outbox_.entries();
    if (entries.empty()) return;
    constexpr std::size_t listed = 5;
    const std::size_t n = entries.size();
    show(Show::Kind::error, std::to_string(n) + (n == 1 ? " line was" : " lines were") + " not confirmed by the peer:");
    for (std::size_t i = 0; i < n && i < listed; ++i) {
        // A status line steers nothing, whatever was typed.
        SecureText text("  ");
        text += TerminalText::neutralised<SecureText>(shortenedLine(entries[i].line.view()).view()).view();
        out_.emplace_back(std::in_place_type<Show>, Show{Show::Kind::status, std::move(text), std::nullopt, false, true});
    }
    if (n > listed) status("  … and " + std::to_string(n - listed) + " more");
}

}  // namespace duoquill::cli
