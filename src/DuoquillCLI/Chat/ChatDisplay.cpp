#include "DuoquillCLI/Chat/ChatDisplay.h"

#include <type_traits>

#include "DuoquillCLI/Chat/LineDelivery.h"

namespace duoquill::cli {

namespace chat {

namespace {

std::string count(std::size_t n, std::string_view one, std::string_view many) {
    return std::to_string(n) + std::string(n == 1 ? one : many);
}

}  // namespace

std::string words(Phase phase) {
    switch (phase) {
        case Phase::connecting: return "connecting...";
        case Phase::waitingForPeer: return "waiting for peer...";
        case Phase::handshaking: return "handshaking...";
        case Phase::reconnecting: return "reconnecting...";
        default: return {};
    }
}

std::string words(const LineRefused& refused) {
    switch (refused.reason) {
        case LineRefused::Reason::tooLarge: return "message too large";
        case LineRefused::Reason::queueFull: return "line not sent: the queue of lines waiting for the peer is full";
    }
    return {};
}

std::string words(const LineNotSent& notSent) {
    if (notSent.willBeSentAgain) {
        return "not sent yet: " + notSent.reason + "; the line will be sent again in the next session";
    }
    return "send failed: " + notSent.reason;
}

std::string words(const PendingLines& pending) {
    const auto lines = [](std::size_t n) { return count(n, " line", " lines"); };
    if (pending.again > 0 && pending.queued > 0) {
        return "sending " + lines(pending.again) + " not confirmed by the peer again, and " + lines(pending.queued) +
               " queued";
    }
    if (pending.again > 0) return "sending " + lines(pending.again) + " not confirmed by the peer again";
    return "sending " + lines(pending.queued) + " queued";
}

std::string words(const PeerEvent& event) {
    switch (event.kind) {
        case PeerEvent::Kind::reconnecting: return "peer reconnecting...";
        case PeerEvent::Kind::left: return "peer left";
        case PeerEvent::Kind::quit: return "disconnected: quit";
    }
    return {};
}

std::string words(const Recovering& recovering) {
    switch (recovering.why) {
        case Recovering::Why::noPeer: return "timeout — no peer, retrying...";
        case Recovering::Why::sessionExpired: return "session expired — restarting...";
        case Recovering::Why::handshakesFailing:
            return "three handshakes in a row failed; still retrying (something on the way may be altering messages)";
    }
    return {};
}

std::string words(const ErrorLine& error) {
    std::string line;
    switch (error.what) {
        case ErrorLine::What::connect: line = "[connect error] "; break;
        case ErrorLine::What::reconnect: line = "[reconnect error] "; break;
        case ErrorLine::What::handshake: line = "[handshake error] "; break;
        case ErrorLine::What::kex2: line = "[kex2 error] "; break;
        case ErrorLine::What::decrypt: line = "decrypt failed: "; break;
    }
    line += error.detail;
    if (error.repeats > 1) line += " (" + std::to_string(error.repeats) + " times)";
    return line;
}

std::string words(const HelloRefused& refused) {
    switch (refused.why) {
        case HelloRefused::Why::noPostQuantumKey: return "Post-quantum key exchange required";
        case HelloRefused::Why::otherIdentity: return "Peer identity mismatch";
    }
    return {};
}

std::string words(const FatalError& fatal) {
    switch (fatal.why) {
        case FatalError::Why::invalidRelayURL: return "Invalid relay URL";
        case FatalError::Why::keyConfirmationFailed: return "Key confirmation failed";
    }
    return {};
}

std::string words(const SteadyPeer& peer) {
    return peer.steady ? "steady: both sides" : "the peer sends when it types: its timing is visible";
}

std::string words(const LineSizeVisible&) { return "sent whole: this line's size was visible to the relay"; }

std::string unconfirmedHeading(std::size_t n) {
    return count(n, " line was", " lines were") + " not confirmed by the peer:";
}

}  // namespace chat

using namespace chat;

void ChatDisplay::show(const Output& output) {
    std::visit(
        [this](const auto& o) {
            using O = std::decay_t<decltype(o)>;
            if constexpr (std::is_same_v<O, PhaseChanged>) {
                o.phase == Phase::active ? connected() : status(words(o.phase));
            } else if constexpr (std::is_same_v<O, LineSent>) {
                o.afterQueued ? sentLater(o.line.view()) : sent(o.line.view());
            } else if constexpr (std::is_same_v<O, LineQueued>) {
                queued(o.line.view());
            } else if constexpr (std::is_same_v<O, LineReceived>) {
                received(o.line.view());
            } else if constexpr (std::is_same_v<O, PendingLines> || std::is_same_v<O, SteadyPeer> ||
                                 std::is_same_v<O, LineSizeVisible>) {
                status(words(o));
            } else if constexpr (std::is_same_v<O, ErrorLine>) {
                // A record that did not open is the chat's trouble; the rest, the way to the peer's.
                o.what == ErrorLine::What::decrypt ? error(words(o)) : status(words(o));
            } else if constexpr (std::is_same_v<O, PeerEvent>) {
                peerEvent(words(o));
            } else if constexpr (std::is_same_v<O, Recovering>) {
                // Only a session's end is worth the red: the rest is the chat waiting its turn.
                o.why == Recovering::Why::sessionExpired ? error(words(o)) : status(words(o));
            } else if constexpr (std::is_same_v<O, UnconfirmedLines>) {
                if (o.lines.empty()) return;
                constexpr std::size_t listed = 5;
                const std::size_t n = o.lines.size();
                error(unconfirmedHeading(n));
                for (std::size_t i = 0; i < n && i < listed; ++i) {
                    SecureText text("  ");
                    text += shortenedLine(o.lines[i].view()).view();
                    quoted(text.view());
                }
                if (n > listed) status("  … and " + std::to_string(n - listed) + " more");
            } else if constexpr (std::is_same_v<O, Prompt>) {
                prompt();
            } else {
                // LineRefused, LineNotSent, HelloRefused, FatalError
                error(words(o));
            }
        },
        output);
}

}  // namespace duoquill::cli
