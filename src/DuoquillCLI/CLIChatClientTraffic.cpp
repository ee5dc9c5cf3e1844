// Traffic: every received frame from the relay to its handler, the user's lines and the cover
// records out, the peer's records in.

#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Platform/BigEndian.h"
#include "Duoquill/Platform/Primitives/Random.h"
#include "Duoquill/Platform/Utf8.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "DuoquillCLI/CLIChatClient.h"
#include "DuoquillCLI/TerminalText.h"
#include "DuoquillCLI/ChatErrorText.h"

namespace asio = boost::asio;

namespace duoquill::cli {

asio::awaitable<void> CLIChatClient::receiveLoop(std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task) {
    std::shared_ptr<ChatTransport> transport;
    if (auto self = weak.lock()) transport = self->transport_;
    if (!transport) co_return;
    while (!task->isCancelled()) {
        std::string text;
        bool failed = false;
        try {
            text = co_await transport->receive();
        } catch (...) {
            failed = true;
        }
        // A loop that was cancelled while waiting belongs to a connection already given up.
        if (task->isCancelled()) co_return;
        auto self = weak.lock();
        if (!self || self->ended_) co_return;
        if (failed) {
            self->handleTransportError();
            co_return;
        }
        co_await self->handleMessage(std::move(text));
    }
}

asio::awaitable<void> CLIChatClient::handleMessage(std::string text) {
    auto self = shared_from_this();
    if (ended_) co_return;

    if (session_ && session_->isTunnelReady()) {
        if (const auto opened = protocol::openTunnelText(*session_, text)) {
            co_await handleDecryptedFrame(*opened);
            co_return;
        }
    }

    const auto message = protocol::parsePlainFrame(text);
    const auto kind = state_.kind();
    if (!message) {
        // Records of a session we have left, still coming while our hello waits: the peer
        // missed the relay's "peer-disconnected" and, not being one that answers a hello
        // while active, would stay in that session. Leaving the connection makes the relay
        // say it again. A peer that announced the leader rule answers our hello instead.
        if (staleWatchArmed_ && peerFollowsLeaderRule_ != true && kind == State::Kind::waitingForPeer &&
            !text.empty() && text.front() != '{' && ++staleFramesWhileWaiting_ == staleFramesBeforeLeaving) {
            leaveRelayConnection();
        }
        co_return;
    }
    if (message->type == protocol::MessageType::hello) {
        co_await handlePlainHello(*message);
    } else if (message->type == protocol::MessageType::peerDisconnected) {
        if (kind == State::Kind::waitingForPeer || kind == State::Kind::handshaking) co_return;
        if (session_ && (session_->isTunnelReady() || session_->isReady())) {
            env_.display.peerEvent("peer reconnecting...");
            armTimer(TimerKind::grace);
            co_return;
        }
        co_await reconnectForPeer();
    } else if (message->type == protocol::MessageType::bye) {
        if (session_ && session_->isTunnelReady()) co_return;
        if (kind == State::Kind::waitingForPeer || kind == State::Kind::handshaking) co_return;
        co_await reconnectForPeer();
    }
}

asio::awaitable<void> CLIChatClient::handleDecryptedFrame(const protocol::RelayMessage& message) {
    // A frame that opens under this session's tunnel keys proves that the peer's session
    // completed with our hello: its hello is used up and is no use to a later session.
    if (currentPeerHello_ && latestPeerHello_ && latestPeerHello_->fingerprint == *currentPeerHello_) {
        latestPeerHelloUsedUp_ = true;
    }
    switch (message.type) {
        case protocol::MessageType::kex2: co_await handleKex2(message); break;
        case protocol::MessageType::ready: handleReady(message); break;
        case protocol::MessageType::msg: co_await handleMsg(message); break;
        case protocol::MessageType::bye:
            if (const auto confirmed = protocol::decodeByeConfirmation(message); confirmed && peerConfirms()) {
                outbox_.confirm(*confirmed);
            }
            co_await reconnectForPeer();
            break;
        default: break;
    }
}

asio::awaitable<void> CLIChatClient::sendTunneled(std::string json) {
    if (!session_) throw SessionError(SessionErrorCode::handshakeNotComplete);
    std::string frame = protocol::sealTunnelText(*session_, json);
    // A ready carries the key confirmation in the clear until it is sealed.
    secureWipe(json.data(), json.size());
    co_await sendFrame(std::move(frame));
}

asio::awaitable<void> CLIChatClient::sendFrame(std::string frame) {
    auto transport = transport_;
    if (!transport) co_return;
    co_await transport->send(std::move(frame));
}

asio::awaitable<void> CLIChatClient::sendMessage(SecureText line) {
    auto self = shared_from_this();
    if (ended_) co_return;
    if (line.empty()) {
        env_.display.prompt();
        co_return;
    }
    const bool active = session_ && session_->isReady() && state_.kind() == State::Kind::active;
    if (!active && env_.baseProtocolOnly) co_return;
    // A line that waits must fit whatever session takes it.
    const bool fits = active ? protocol::chatLineFits(*session_, line.size(), peerConfirms())
                             : line.size() <= protocol::longestAlwaysAcceptedLine(true);
    if (!fits) {
        env_.display.error("message too large");
        env_.display.prompt();
        co_return;
    }
    // A peer that does not confirm gets a line typed while active as it always did.
    if (env_.baseProtocolOnly || (active && !peerConfirms() && !outbox_.nextToSend(sessionGeneration_, false))) {
        co_await sendUnnumbered(std::move(line));
        co_return;
    }
    const std::optional<std::uint64_t> number = outbox_.push(std::move(line));
    if (!number) {
        env_.display.error("line not sent: the queue of lines waiting for the peer is full");
        if (active) env_.display.prompt();
        co_return;
    }
    if (!active) {
        env_.display.queued(outbox_.entries().back().line.view());
        co_return;
    }
    co_await sendOutbox(*number);
}

asio::awaitable<void> CLIChatClient::sendOutbox(std::optional<std::uint64_t> typed) {
    auto self = shared_from_this();
    const auto generation = sessionGeneration_;
    const bool resend = peerConfirms();
    bool typedSent = false;
    for (;;) {
        if (ended_ || sessionGeneration_ != generation || !session_ || !session_->isReady() ||
            state_.kind() != State::Kind::active) {
            break;
        }
        Outbox::Entry* entry = outbox_.nextToSend(generation, resend);
        // A line that does not fit beside a pending ratchet header waits for the cover
        // record that carries the header.
        if (entry == nullptr || !protocol::chatLineFits(*session_, entry->line.size(), resend)) break;
        const std::uint64_t number = entry->number;
        const bool isTyped = typed == number;
        std::string frame;
        bool sessionFailed = false;
        std::optional<std::string> failure;
        try {
            frame = protocol::sealChatLine(*session_, entry->line.bytes(), lineNumbers(number));
        } catch (const SessionError&) {
            sessionFailed = true;
        } catch (const std::exception& e) {
            failure = errorText(e);
        }
        if (sessionFailed) {
            // Nothing went out: the line waits for the next session.
            env_.display.error("session expired — restarting...");
            co_await reconnectForPeer();
            co_return;
        }
        SecureText shown;
        if (isTyped) shown = SecureText(entry->line.view());
        const bool sealFailed = failure.has_value();
        if (failure || !resend) {
            // A peer that does not confirm gets each line once, as typed.
            outbox_.remove(number);
        } else {
            entry->sentInSession = generation;
        }
        if (!failure) {
            try {
                co_await sendFrame(std::move(frame));
            } catch (const std::exception& e) {
                failure = errorText(e);
            }
        }
        if (ended_) co_return;
        if (failure) {
            // A line kept for a confirming peer goes out again with the next session.
            const bool kept = resend && !sealFailed;
            env_.display.error((kept ? "not sent yet: " : "send failed: ") + *failure +
                               (kept ? "; the line will be sent again in the next session" : ""));
            env_.display.prompt();
        } else if (isTyped) {
            typedSent = true;
            env_.display.sent(shown.view());
            env_.display.prompt();
        }
    }
    if (typed && !typedSent) {
        for (const auto& entry : outbox_.entries()) {
            if (entry.number == *typed && entry.sentInSession != generation) {
                env_.display.queued(entry.line.view());
                env_.display.prompt();
            }
        }
    }
}

asio::awaitable<void> CLIChatClient::sendUnnumbered(SecureText line) {
    auto self = shared_from_this();
    bool sessionFailed = false;
    std::optional<std::string> failure;
    try {
        std::string frame = protocol::sealChatLine(*session_, line.bytes());
        co_await sendFrame(std::move(frame));
    } catch (const SessionError&) {
        sessionFailed = true;
    } catch (const std::exception& e) {
        failure = errorText(e);
    }
    if (ended_) co_return;
    if (sessionFailed) {
        env_.display.error("session expired — restarting...");
        co_await reconnectForPeer();
    } else if (failure) {
        env_.display.error("send failed: " + *failure);
        env_.display.prompt();
    } else {
        env_.display.sent(line.view());
        env_.display.prompt();
    }
}

asio::awaitable<void> CLIChatClient::handleMsg(const protocol::RelayMessage& message) {
    const auto msg = protocol::decodeMsg(message);
    if (!msg || !session_) co_return;

    bool sessionFailed = false;
    std::optional<std::string> failure;
    std::optional<SecureBytes> content;
    try {
        if (msg->rk) session_->receiveDHRatchetKey(*msg->rk);
        content = session_->open(msg->d, msg->n);
    } catch (const SessionError&) {
        sessionFailed = true;
    } catch (const std::exception& e) {
        failure = errorText(e);
    }
    if (sessionFailed || failure) {
        env_.display.error(sessionFailed ? std::string("session expired — restarting...") : "decrypt failed: " + *failure);
        co_await reconnectForPeer();
        co_return;
    }
    if (peerConfirms() && msg->numbers) outbox_.confirm(msg->numbers->a);
    if (!content) co_return;
    if (msg->numbers && !env_.baseProtocolOnly) {
        // A numbered line is shown once per number. Before the peer's "ready" has named its
        // stream (that frame may have been lost), it is not shown: unconfirmed, it comes again.
        if (!peerConfirms() || !receivedLines_.takeNew(*peerLineStream_, msg->numbers->s)) co_return;
    }
    const std::string_view text(reinterpret_cast<const char*>(content->data()), content->size());
    if (!isValidUtf8(text)) co_return;
    env_.display.received(text);
    env_.display.prompt();
}

void CLIChatClient::startTrafficLoop() {
    if (dummyTask_) dummyTask_->cancel();
    dummyTask_ = spawn(&CLIChatClient::coverLoop);
}

asio::awaitable<void> CLIChatClient::coverLoop(std::weak_ptr<CLIChatClient> weak, std::shared_ptr<TaskHandle> task) {
    while (!task->isCancelled()) {
        double delay = 0;
        {
            auto self = weak.lock();
            if (!self) co_return;
            delay = self->nextCoverDelay();
        }
        auto self = co_await sleepThenRelock(weak, task, delay);
        if (!self) co_return;
        auto& session = self->session_;
        if (self->state_.kind() != State::Kind::active || !session || !session->isReady()) continue;
        bool expired = false;
        try {
            std::string frame = protocol::sealCoverRecord(*session, self->lineNumbers(self->outbox_.nextNumber()));
            co_await self->sendFrame(std::move(frame));
        } catch (const SessionError& e) {
            expired = e.code() == SessionErrorCode::sessionExpired;
        } catch (...) {
        }
        if (expired && !self->ended_) {
            co_await self->reconnectForPeer();
            co_return;
        }
        // The record carried the pending ratchet header: a long line held back by it fits now.
        if (!self->ended_ && self->outbox_.nextToSend(self->sessionGeneration_, self->peerConfirms())) {
            co_await self->sendOutbox();
        }
    }
}

std::optional<protocol::LineNumbers> CLIChatClient::lineNumbers(std::uint64_t number) const {
    if (!peerLineStream_) return std::nullopt;
    return protocol::LineNumbers{number, receivedLines_.highest(*peerLineStream_)};
}

void CLIChatClient::showPendingLines() {
    const auto pending = outbox_.pending(sessionGeneration_, peerConfirms());
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

void CLIChatClient::showUnconfirmedLines() {
    const auto& entries = outbox_.entries();
    if (entries.empty()) return;
    constexpr std::size_t listed = 5;
    const std::size_t n = entries.size();
    env_.display.error(std::to_string(n) + (n == 1 ? " line was" : " lines were") + " not confirmed by the peer:");
    for (std::size_t i = 0; i < n && i < listed; ++i) {
        // A status line steers nothing, whatever was typed.
        SecureText text("  ");
        text += TerminalText::neutralised<SecureText>(shortenedLine(entries[i].line.view()).view()).view();
        status(text.view());
    }
    if (n > listed) status("  … and " + std::to_string(n - listed) + " more");
}

double CLIChatClient::nextCoverDelay() {
    if (env_.coverDelay) return env_.coverDelay();
    // 53 random bits, uniform over the closed interval [0, 2^53].
    constexpr std::uint64_t top = std::uint64_t{1} << 53;
    std::uint64_t draw = 0;
    do {
        std::uint8_t bytes[8];
        random::fill(bytes);
        draw = bigendian::read(bytes) & ((top << 1) - 1);
    } while (draw > top);
    return minCoverDelaySeconds +
           (maxCoverDelaySeconds - minCoverDelaySeconds) * (static_cast<double>(draw) / static_cast<double>(top));
}

}  // namespace duoquill::cli
