#include "ScriptedPeer.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/Sha2.h"
#include "Duoquill/Utilities/KeyHelpers.h"

namespace asio = boost::asio;
namespace json = boost::json;

namespace duoquill::test {

ScriptedPeer::ScriptedPeer(cli::ManualTimeline& timeline, SimulatedRelay& relay, int owner,
                           const p256::PrivateKey& key, const p256::PublicKey& peerPublicKey)
    : timeline_(timeline), relay_(relay), owner_(owner), key_(key), peerPublicKey_(peerPublicKey) {
    const SecureBytes roomKeyData = key_.sharedSecret(peerPublicKey_);
    const ManualClock sameDay;  // the clients of these tests read the same manual wall clock
    roomToken_ = KeyHelpers::deriveRoomToken(roomKeyData, sameDay);
    environment_.reset(new SessionEnvironment{.epochDirectory = epochDirectory_.path()});
    session_ = std::make_unique<PFSChatSession>(*environment_, SoftwareKeyStore::wrap(key_), peerPublicKey_,
                                                KeyHelpers::deriveRoomCode(roomKeyData));
    io_ = std::make_unique<asio::io_context>();
    timeline_.attach([io = io_.get()] {
        const auto n = io->poll();
        if (io->stopped()) io->restart();
        return n;
    });
    pollerKey_ = timeline_.lastPollerKey();
}

ScriptedPeer::~ScriptedPeer() {
    relay_.processDied(owner_);
    transport_.reset();
    io_.reset();
    timeline_.detach(pollerKey_);
}

void ScriptedPeer::connect() {
    transport_ = relay_.makeTransport(io_->get_executor(), owner_);
    transport_->connect("wss://relay.test/" + roomToken_);
    asio::co_spawn(
        *io_,
        [transport = transport_, this]() -> asio::awaitable<void> {
            for (;;) {
                std::string text;
                try {
                    text = co_await transport->receive();
                } catch (...) {
                    co_return;
                }
                inbox_.push_back(std::move(text));
            }
        },
        asio::detached);
}

void ScriptedPeer::send(std::string text) {
    asio::co_spawn(
        *io_, [transport = transport_, text = std::move(text)]() -> asio::awaitable<void> { co_await transport->send(text); },
        asio::detached);
    timeline_.pollAll();
}

void ScriptedPeer::sendTunneled(const json::object& message) {
    const std::string text = json::serialize(message);
    send(base64String(session_->tunnelSeal(asBytes(text))));
}

std::optional<std::string> ScriptedPeer::next(double seconds) {
    timeline_.runFor(seconds, [&] { return !inbox_.empty(); });
    if (inbox_.empty()) return std::nullopt;
    std::string text = std::move(inbox_.front());
    inbox_.pop_front();
    return text;
}

std::optional<json::object> ScriptedPeer::nextPlain(const std::string& type, double seconds) {
    const double until = timeline_.now() + seconds;
    while (timeline_.now() <= until) {
        const auto text = next(until - timeline_.now());
        if (!text) return std::nullopt;
        if (text->empty() || text->front() != '{') continue;
        auto value = json::parse(*text);
        if (value.is_object() && value.as_object()["t"] == type.c_str()) return value.as_object();
    }
    return std::nullopt;
}

std::optional<json::object> ScriptedPeer::nextTunneled(const std::string& type, double seconds) {
    const double until = timeline_.now() + seconds;
    while (timeline_.now() <= until) {
        const auto text = next(until - timeline_.now());
        if (!text) return std::nullopt;
        const auto frame = bytesFromBase64String(*text);
        if (!frame) continue;
        try {
            const SecureBytes payload = session_->tunnelOpen(*frame);
            auto value = json::parse(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
            if (value.is_object() && value.as_object()["t"] == type.c_str()) return value.as_object();
        } catch (...) {
        }
    }
    return std::nullopt;
}

json::object ScriptedPeer::hello() const {
    const std::string identity = base64URLString(key_.publicKey().compressed());
    return json::object{
        {"t", "hello"},
        {"pkid", base64URLString(sha512(asBytes(identity)))},
        {"ct", base64String(session_->authCiphertext())},
        {"ek", base64String(session_->authEncapKey())},
        {"mlk", base64String(session_->mlkemPublicKeyData())},
    };
}

bool ScriptedPeer::handshake(const json::object& clientHello, std::optional<std::string> kcOverride) {
    const auto decode = [&](const char* name) { return *bytesFromBase64String(std::string_view(clientHello.at(name).as_string())); };
    session_->completeHandshake(decode("ct"), decode("ek"), decode("mlk"));
    const auto ready = [&] {
        sendTunneled({{"t", "ready"}, {"kc", kcOverride.value_or(base64URLString(*session_->localKeyConfirmation()))}});
    };
    if (*session_->isInitiator()) {
        sendTunneled({{"t", "kex2"}, {"mc", base64String(session_->performPQKeyExchange())}});
        session_->completePQInitiator();
        ready();
    } else {
        const auto kex2 = nextTunneled("kex2");
        if (!kex2) return false;
        session_->completePQKeyExchange(*bytesFromBase64String(std::string_view(kex2->at("mc").as_string())));
        ready();
    }
    return true;
}

std::string ScriptedPeer::msgFrame(const std::string& line) {
    const auto header = session_->prepareDHRatchetIfNeeded();
    const auto record = session_->seal(asBytes(line));
    json::object message{{"t", "msg"}, {"n", record.counter}, {"d", base64String(record.data)}};
    if (header) message["rk"] = base64String(*header);
    return base64String(session_->tunnelSeal(asBytes(json::serialize(message))));
}

}  // namespace duoquill::test
