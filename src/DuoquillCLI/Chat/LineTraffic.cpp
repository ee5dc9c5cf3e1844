#include "DuoquillCLI/Chat/LineTraffic.h"

#include <algorithm>
#include <string>
#include <string_view>
#include <utility>

#include "Duoquill/Base/Utf8.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "DuoquillCLI/Chat/ChatSessionStep.h"

namespace duoquill::cli {

using namespace chat;

namespace {

void say(Actions& out, Output output) { out.emplace_back(std::in_place_type<Output>, std::move(output)); }

void send(Actions& out, std::string text, SendTag tag) {
    out.emplace_back(std::in_place_type<SendText>, SendText{std::move(text), std::move(tag)});
}

void append(Actions& out, Actions more) {
    for (auto& action : more) out.push_back(std::move(action));
}

}  // namespace

LineTraffic::LineTraffic(std::uint64_t lineStreamStart, bool baseProtocolOnly, std::function<double()> coverDraw,
                         bool steady)
    : baseProtocolOnly_(baseProtocolOnly),
      steady_(steady),
      coverDraw_(std::move(coverDraw)),
      outbox_(lineStreamStart) {}

std::size_t LineTraffic::longestLine() {
    static const std::size_t longest = protocol::longestAlwaysAcceptedLine(true);
    return longest;
}

double LineTraffic::nextCoverDelay() {
    return minCoverDelaySeconds +
           (maxCoverDelaySeconds - minCoverDelaySeconds) * coverDraw_();
}

std::optional<protocol::LineNumbers> LineTraffic::lineNumbers(const Session& session, std::uint64_t number) const {
    if (!session.peerLineStream) return std::nullopt;
    return protocol::LineNumbers{number, receivedLines_.highest(*session.peerLineStream)};
}

std::optional<std::uint64_t> LineTraffic::highestShown(std::optional<std::uint64_t> peerStream) const {
    if (!peerStream) return std::nullopt;
    return receivedLines_.highest(*peerStream);
}

Actions LineTraffic::confirm(std::uint64_t number) {
    Actions out;
    auto numbers = outbox_.confirm(number);
    if (!numbers.empty()) out.emplace_back(std::in_place_type<Confirmed>, Confirmed{std::move(numbers)});
    return out;
}

// ---- in ----

LineTraffic::Step LineTraffic::received(const protocol::RelayMessage& message, const Session& session, Instant now) {
    Step step;
    const auto msg = protocol::decodeMsg(message);
    if (!msg) return step;
    std::optional<SecureBytes> content;
    if (auto failure = sessionStep([&] {
            if (msg->rk) session.session.receiveDHRatchetKey(*msg->rk);
            content = session.session.open(msg->d, msg->n, now);
        })) {
        if (failure->code) {
            say(step.actions, Recovering{Recovering::Why::sessionExpired});
        } else {
            say(step.actions, ErrorLine{ErrorLine::What::decrypt, failure->text});
        }
        step.restart = true;
        return step;
    }
    const auto stream = session.peerLineStream;
    if (stream && msg->numbers) append(step.actions, confirm(msg->numbers->a));
    if (!content) return step;
    if (!baseProtocolOnly_) {
        const protocol::PartDecoding part = protocol::decodeMsgPart(message);
        if (part.malformed) {
            incoming_.reset();
            return step;
        }
        if (part.part) {
            content = joinPart(*part.part, *msg, std::move(*content), session.generation);
            if (!content) return step;
        } else {
            // A whole line between two parts: the line in parts is not coming whole.
            incoming_.reset();
        }
    }
    if (msg->numbers && !baseProtocolOnly_) {
        // A numbered line is shown once per number. Before the peer's "ready" has named its
        // stream (that frame may have been lost), it is not shown: unconfirmed, it comes again.
        if (!stream || !receivedLines_.takeNew(*stream, msg->numbers->s)) return step;
    }
    const std::string_view text(reinterpret_cast<const char*>(content->data()), content->size());
    if (!isValidUtf8(text)) return step;
    say(step.actions, LineReceived{SecureText(text)});
    say(step.actions, Prompt{});
    return step;
}

std::optional<SecureBytes> LineTraffic::joinPart(protocol::LinePart part, const protocol::Msg& msg, SecureBytes piece,
                                                 std::uint64_t session) {
    const std::optional<std::uint64_t> number = msg.numbers ? std::optional(msg.numbers->s) : std::nullopt;
    if (part.index == 0) incoming_ = Incoming{session, number, part.count, 0, {}};
    const bool follows = incoming_ && incoming_->session == session && incoming_->number == number &&
                         incoming_->count == part.count && incoming_->next == part.index &&
                         incoming_->bytes.size() + piece.size() <= longestLine();
    if (!follows) {
        incoming_.reset();
        return std::nullopt;
    }
    incoming_->bytes.insert(incoming_->bytes.end(), piece.begin(), piece.end());
    if (++incoming_->next < incoming_->count) return std::nullopt;
    SecureBytes whole = std::move(incoming_->bytes);
    incoming_.reset();
    return whole;
}

// ---- out ----

LineTraffic::Step LineTraffic::lineTyped(SecureText line, const Session* active, Instant now) {
    Step step;
    if (line.empty()) {
        say(step.actions, Prompt{});
        return step;
    }
    if (!active && baseProtocolOnly_) return step;
    // One limit whether or not a session is up: a line that waits must fit whatever session
    // takes it, and one typed now must not depend on whether a ratchet step is due.
    if (line.size() > longestLine()) {
        say(step.actions, LineRefused{LineRefused::Reason::tooLarge});
        say(step.actions, Prompt{});
        return step;
    }
    if (steady_) return queueSteady(std::move(line), active != nullptr);
    // A peer that does not confirm gets a line typed while active as it always did.
    if (baseProtocolOnly_ ||
        (active && !active->peerConfirms() && !outbox_.nextToSend(active->generation, false))) {
        return sendUnnumbered(std::move(line), *active, now);
    }
    const std::optional<std::uint64_t> number = outbox_.push(std::move(line));
    if (!number) {
        say(step.actions, LineRefused{LineRefused::Reason::queueFull});
        if (active) say(step.actions, Prompt{});
        return step;
    }
    step.actions.emplace_back(std::in_place_type<LineTaken>, LineTaken{number});
    if (!active) {
        say(step.actions, LineQueued{SecureText(outbox_.entries().back().line.view())});
        return step;
    }
    Step sent = sendOutbox(*active, now, *number);
    append(step.actions, std::move(sent.actions));
    step.restart = sent.restart;
    return step;
}

LineTraffic::Step LineTraffic::queueSteady(SecureText line, bool active) {
    Step step;
    const std::optional<std::uint64_t> number = outbox_.push(std::move(line));
    if (!number) {
        say(step.actions, LineRefused{LineRefused::Reason::queueFull});
    } else {
        step.actions.emplace_back(std::in_place_type<LineTaken>, LineTaken{number});
        say(step.actions, LineQueued{SecureText(outbox_.entries().back().line.view())});
    }
    if (active) say(step.actions, Prompt{});
    return step;
}

LineTraffic::Step LineTraffic::sendWaiting(const Session& active, Instant now) {
    if (steady_) return {};
    if (!outbox_.nextToSend(active.generation, active.peerConfirms())) return {};
    return sendOutbox(active, now);
}

LineTraffic::Step LineTraffic::sendOutbox(const Session& active, Instant now, std::optional<std::uint64_t> typed) {
    Step step;
    const bool resend = active.peerConfirms();
    bool typedReached = false;
    for (;;) {
        Outbox::Entry* entry = outbox_.nextToSend(active.generation, resend);
        // A line that does not fit beside a pending ratchet header waits for the cover record
        // that carries the header.
        if (entry == nullptr || !protocol::chatLineFits(active.session, entry->line.size(), resend)) break;
        const std::uint64_t number = entry->number;
        const bool isTyped = typed == number;
        typedReached = typedReached || isTyped;
        std::string frame;
        auto failure = sessionStep([&] {
            frame = protocol::sealChatLine(active.session, now, entry->line.bytes(), lineNumbers(active, number));
        });
        if (failure && failure->code) {
            // Nothing went out: the line waits for the next session.
            say(step.actions, Recovering{Recovering::Why::sessionExpired});
            step.restart = true;
            return step;
        }
        SendTag tag{SendTag::Kind::line, active.generation, resend && !failure};
        if (isTyped) tag.shown = SecureText(entry->line.view());
        if (failure || !resend) {
            // A peer that does not confirm gets each line once, as typed.
            outbox_.remove(number);
        } else {
            entry->sentInSession = active.generation;
        }
        if (failure) {
            say(step.actions, LineNotSent{failure->text});
            say(step.actions, Prompt{});
            continue;
        }
        send(step.actions, std::move(frame), std::move(tag));
    }
    if (typed && !typedReached) append(step.actions, heldBack(active, *typed));
    return step;
}

Actions LineTraffic::heldBack(const Session& active, std::uint64_t typed) const {
    Actions out;
    for (const auto& entry : outbox_.entries()) {
        if (entry.number == typed && entry.sentInSession != active.generation) {
            say(out, LineQueued{SecureText(entry.line.view())});
            say(out, Prompt{});
        }
    }
    return out;
}

LineTraffic::Step LineTraffic::sendUnnumbered(SecureText line, const Session& active, Instant now) {
    Step step;
    std::string frame;
    auto failure = sessionStep([&] { frame = protocol::sealChatLine(active.session, now, line.bytes()); });
    if (failure && failure->code) {
        say(step.actions, Recovering{Recovering::Why::sessionExpired});
        step.restart = true;
    } else if (failure) {
        say(step.actions, LineNotSent{failure->text});
        say(step.actions, Prompt{});
    } else {
        step.actions.emplace_back(std::in_place_type<LineTaken>, LineTaken{});
        send(step.actions, std::move(frame), SendTag{SendTag::Kind::unnumberedLine, active.generation, false, std::move(line)});
    }
    return step;
}

LineTraffic::Step LineTraffic::coverTick(const Session& active, Instant now) {
    if (steady_) return steadyTick(active, now);
    Step step = sendCover(active, now);
    if (step.restart) return step;
    // The record carried the pending ratchet header: a long line held back by it fits now.
    if (outbox_.nextToSend(active.generation, active.peerConfirms())) {
        Step sent = sendOutbox(active, now);
        append(step.actions, std::move(sent.actions));
        step.restart = sent.restart;
    }
    return step;
}

LineTraffic::Step LineTraffic::sendCover(const Session& active, Instant now) {
    Step step;
    if (!active.session.isReady()) return step;
    std::string frame;
    auto failure = sessionStep(
        [&] { frame = protocol::sealCoverRecord(active.session, now, lineNumbers(active, outbox_.nextNumber())); });
    if (failure && failure->code == SessionErrorCode::sessionExpired) {
        step.restart = true;
        return step;
    }
    if (!failure) send(step.actions, std::move(frame), SendTag{SendTag::Kind::cover, active.generation});
    return step;
}

std::optional<LineTraffic::Piece> LineTraffic::nextPiece(const Session& active) {
    const bool resend = active.peerConfirms();
    Outbox::Entry* entry = active.session.isReady() ? outbox_.nextToSend(active.generation, resend) : nullptr;
    if (entry == nullptr) return std::nullopt;
    const std::size_t size = entry->line.size();
    const std::size_t parts = active.peerJoinsParts ? protocol::partsOfLine(size) : 1;
    if (!outgoing_ || outgoing_->number != entry->number || outgoing_->session != active.generation ||
        outgoing_->nextPart >= parts) {
        outgoing_ = Outgoing{entry->number, active.generation, 0};
    }
    const std::size_t index = outgoing_->nextPart;
    const std::size_t offset = index * protocol::linePartBytes;
    const BytesView bytes = parts == 1 ? entry->line.bytes()
                                       : entry->line.bytes().subspan(offset, std::min(protocol::linePartBytes,
                                                                                      size - offset));
    // What would not look like this tick's cover record waits for the next tick: this one's
    // cover record carries the ratchet header that stands in its way. A whole line to a peer
    // that does not join parts goes when it fits a frame at all.
    const bool sizeVisible = parts == 1 && size > protocol::linePartBytes;
    if (sizeVisible ? !protocol::chatLineFits(active.session, size, resend)
                    : !protocol::fitsCoverFrame(active.session, bytes.size())) {
        return std::nullopt;
    }
    return Piece{entry, index, parts, bytes, sizeVisible};
}

LineTraffic::Step LineTraffic::steadyTick(const Session& active, Instant now) {
    const std::optional<Piece> piece = nextPiece(active);
    if (!piece) return sendCover(active, now);
    const bool resend = active.peerConfirms();
    const std::uint64_t number = piece->entry->number;
    const auto part = piece->parts == 1 ? std::nullopt : std::optional(protocol::LinePart{piece->index, piece->parts});
    Step step;
    std::string frame;
    auto failure = sessionStep(
        [&] { frame = protocol::sealChatLine(active.session, now, piece->bytes, lineNumbers(active, number), part); });
    const bool last = piece->index + 1 == piece->parts;
    if (failure || last) outgoing_.reset();
    if (failure && failure->code) {
        say(step.actions, Recovering{Recovering::Why::sessionExpired});
        step.restart = true;
        return step;
    }
    if (failure) {
        if (!resend) outbox_.remove(number);
        say(step.actions, LineNotSent{failure->text});
        say(step.actions, Prompt{});
        return step;
    }
    if (!last) {
        ++outgoing_->nextPart;
        send(step.actions, std::move(frame), SendTag{SendTag::Kind::cover, active.generation});
        return step;
    }
    SendTag tag{SendTag::Kind::line, active.generation, resend, SecureText(piece->entry->line.view())};
    tag.shownQueued = true;
    if (piece->sizeVisible) say(step.actions, LineSizeVisible{});
    if (resend) {
        piece->entry->sentInSession = active.generation;
    } else {
        outbox_.remove(number);
    }
    send(step.actions, std::move(frame), std::move(tag));
    return step;
}

// ---- said ----

Actions LineTraffic::steadyNote(const Session& active) const {
    Actions out;
    if (!steady_) return out;
    say(out, SteadyPeer{active.peerSteady});
    return out;
}

Actions LineTraffic::pendingLines(const Session& active) const {
    Actions out;
    const auto pending = outbox_.pending(active.generation, active.peerConfirms());
    if (pending.again > 0 || pending.queued > 0) say(out, PendingLines{pending.again, pending.queued});
    return out;
}

UnconfirmedAtExit LineTraffic::unconfirmedAtExit() const {
    UnconfirmedAtExit unconfirmed;
    for (const auto& entry : outbox_.entries()) unconfirmed.numbers.push_back(entry.number);
    return unconfirmed;
}

Actions LineTraffic::unconfirmedLines() const {
    Actions out;
    if (outbox_.entries().empty()) return out;
    UnconfirmedLines unconfirmed;
    for (const auto& entry : outbox_.entries()) unconfirmed.lines.emplace_back(entry.line.view());
    say(out, std::move(unconfirmed));
    return out;
}

}  // namespace duoquill::cli
