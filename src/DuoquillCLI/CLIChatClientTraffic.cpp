// Traffic: every received frame from the relay to its handler, the user's lines and the cover
// records out, the peer's records in.

#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Platform/BigEndian.h"
#include "Duoquill/Platform/Primitives/Random.h"
#include "Duoquill/Platform/Utf8.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "DuoquillCLI/CLIChatClient.h"
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
    if (!message) co_return;
    const auto kind = state_.kind();
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
        case protocol::MessageType::bye: co_await reconnectForPeer(); break;
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
    if (!session_ || !session_->isReady() || state_.kind() != State::Kind::active) co_return;
    if (!protocol::chatLineFits(*session_, line.size())) {
        env_.display.error("message too large");
        env_.display.prompt();
        co_return;
    }

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
    if (!content) co_return;
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
            std::string frame = protocol::sealCoverRecord(*session);
            co_await self->sendFrame(std::move(frame));
        } catch (const SessionError& e) {
            expired = e.code() == SessionErrorCode::sessionExpired;
        } catch (...) {
        }
        if (expired && !self->ended_) {
            co_await self->reconnectForPeer();
            co_return;
        }
    }
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
