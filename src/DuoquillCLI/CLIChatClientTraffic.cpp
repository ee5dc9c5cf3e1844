// Chat traffic: the user's lines out, the peer's records in, and the cover-traffic loop.

#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/value.hpp>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Crypto/PFSChatSession.h"
#include "DuoquillCLI/CLIChatClient.h"
#include "DuoquillCLI/ChatErrorText.h"
#include "Duoquill/Platform/Utf8.h"

namespace asio = boost::asio;
namespace json = boost::json;

namespace duoquill::cli {

std::string CLIChatClient::msgText(std::uint64_t counter, BytesView record, const std::optional<Bytes>& header) const {
    json::object message{{"t", "msg"}, {"n", counter}, {"d", base64String(record)}};
    if (header) message["rk"] = base64String(*header);
    return jsonString(message).value_or("");
}

asio::awaitable<void> CLIChatClient::sendMessage(std::string line) {
    auto self = shared_from_this();
    if (ended_) co_return;
    if (line.empty()) {
        env_.display.prompt();
        co_return;
    }
    if (!session_ || !session_->isReady() || state_.kind() != State::Kind::active) co_return;
    // Refuse before anything moves: a line whose message could outgrow one tunnel frame
    // would otherwise fail after the record chain has stepped past it.
    if (line.size() > maxLineBytes || largestMsgTextLength(line.size(), session_->isDHRatchetPending()) > maxTunnelPayload) {
        env_.display.error("message too large");
        env_.display.prompt();
        co_return;
    }

    bool sessionFailed = false;
    std::optional<std::string> failure;
    try {
        const auto header = session_->prepareDHRatchetIfNeeded();
        const auto record = session_->seal(asBytes(line));
        co_await sendTunneled(msgText(record.counter, record.data, header));
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
        env_.display.sent(line);
        env_.display.prompt();
    }
}

asio::awaitable<void> CLIChatClient::handleMsg(const json::object& object) {
    const auto* n = object.if_contains("n");
    if (n == nullptr) co_return;
    std::uint64_t counter = 0;
    if (n->is_uint64()) {
        counter = n->as_uint64();
    } else if (n->is_int64() && n->as_int64() >= 0) {
        counter = static_cast<std::uint64_t>(n->as_int64());
    } else {
        co_return;
    }
    const auto* d = object.if_contains("d");
    if (d == nullptr || !d->is_string()) co_return;
    const auto record = bytesFromBase64String(std::string_view(d->as_string()));
    if (!record || !session_) co_return;

    bool sessionFailed = false;
    std::optional<std::string> failure;
    std::optional<SecureBytes> content;
    try {
        if (const auto* rk = object.if_contains("rk"); rk != nullptr && rk->is_string()) {
            if (const auto header = bytesFromBase64String(std::string_view(rk->as_string()))) {
                session_->receiveDHRatchetKey(*header);
            }
        }
        content = session_->open(*record, counter);
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
        {
            auto self = weak.lock();
            if (!self) co_return;
            const double delay = self->nextCoverDelay();
            auto& timers = self->env_.timers;
            self.reset();
            co_await timers.sleep(delay, *task);
        }
        if (task->isCancelled()) co_return;
        auto self = weak.lock();
        if (!self || self->ended_) co_return;
        auto& session = self->session_;
        if (self->state_.kind() != State::Kind::active || !session || !session->isReady()) continue;
        bool expired = false;
        try {
            const auto header = session->prepareDHRatchetIfNeeded();
            const auto record = session->sealDummy();
            co_await self->sendTunneled(self->msgText(record.counter, record.data, header));
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

}  // namespace duoquill::cli
