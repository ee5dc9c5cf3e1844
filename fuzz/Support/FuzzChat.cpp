#include "FuzzChat.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <boost/asio/redirect_error.hpp>
#include <boost/asio/use_awaitable.hpp>
#include <boost/json.hpp>

#include <chrono>
#include <stdexcept>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/Primitives/Sha2.h"

namespace duoquill::fuzz {

namespace asio = boost::asio;
namespace json = boost::json;

FuzzTransport::FuzzTransport(asio::any_io_executor executor) : wake_(std::move(executor)) {}

void FuzzTransport::connect(const std::string&) {}

asio::awaitable<void> FuzzTransport::send(std::string text) {
    if (failed_) throw std::runtime_error("connection lost");
    sent_.push_back(std::move(text));
    co_return;
}

asio::awaitable<std::string> FuzzTransport::receive() {
    while (inbox_.empty() && !failed_) {
        wake_.expires_at(asio::steady_timer::time_point::max());
        boost::system::error_code ignored;
        co_await wake_.async_wait(asio::redirect_error(asio::use_awaitable, ignored));
    }
    if (failed_) throw std::runtime_error("connection lost");
    std::string text = std::move(inbox_.front());
    inbox_.pop_front();
    if (taken) taken->push_back(text);
    co_return text;
}

asio::awaitable<void> FuzzTransport::disconnect() {
    closed_ = true;
    fail();
    co_return;
}

void FuzzTransport::push(std::string text) {
    inbox_.push_back(std::move(text));
    wake_.cancel();
}

void FuzzTransport::fail() {
    failed_ = true;
    wake_.cancel();
}

std::vector<std::string> FuzzTransport::takeSent() { return std::exchange(sent_, {}); }

namespace {

std::optional<Bytes> base64Member(const json::object& object, std::string_view name) {
    const auto* value = object.if_contains(name);
    if (!value || !value->is_string()) return std::nullopt;
    return bytesFromBase64String(std::string_view(value->as_string()));
}

std::optional<json::object> parseObject(std::string_view text) {
    boost::system::error_code ec;
    json::value value = json::parse(text, ec);
    if (ec || !value.is_object()) return std::nullopt;
    return std::move(value.as_object());
}

std::string typeOf(const json::object& object) {
    const auto* t = object.if_contains("t");
    return t && t->is_string() ? std::string(t->as_string()) : std::string();
}

}  // namespace

ChatRig::ChatRig(std::uint64_t clientSeed)
    : identity_(FuzzWorld::identityKey(0)), clientWorld_(clientSeed), peerWorld_(clientSeed ^ 0x7065657200000000ULL) {
    clientWorld_.keyStore.standInSigningKeys = true;
    peerWorld_.keyStore.standInSigningKeys = true;
    timers_ = std::make_unique<cli::ManualChatTimers>(timeline_, io_.get_executor());
    timeline_.attach([this] {
        const std::size_t n = io_.poll();
        if (io_.stopped()) io_.restart();
        return n;
    });

    cli::ChatEnvironment environment{
        .executor = io_.get_executor(),
        .timers = *timers_,
        .display = display,
        .identity = identity_,
        .makeTransport =
            [this] {
                transport_ = std::make_shared<FuzzTransport>(io_.get_executor());
                transport_->taken = taken_;
                return transport_;
            },
        .makeSession =
            [this](std::shared_ptr<const P256KeyAgreementKey> local, const p256::PublicKey& peer,
                   const std::string& roomCode) {
                return std::make_unique<PFSChatSession>(clientWorld_.environment(), std::move(local), peer, roomCode);
            },
        .clock = wallClock_,
        .coverDelay = [this] { return 2.0 + static_cast<double>(clientWorld_.stream.next() % 3001) / 1000.0; },
        .exitProcess = [this](int status) { exitStatus = status; },
        .startInputReader = {},
    };
    const std::string peerKey = base64URLString(FuzzWorld::identityKey(1).publicKey().compressed());
    client_ = cli::CLIChatClient::create(std::move(environment), peerKey, "wss://relay.fuzz");
    if (client_) asio::co_spawn(io_, client_->run(), asio::detached);
    run();
}

ChatRig::~ChatRig() {
    client_.reset();
    timers_.reset();  // drops the coroutines still asleep
    io_.stop();
}

void ChatRig::run(double seconds) {
    timeline_.runFor(seconds);
    // What the client sent may make the peer answer, and the answer may make the client send.
    for (int round = 0; round < 8 && transport_; ++round) {
        auto sent = transport_->takeSent();
        if (sent.empty()) break;
        for (const auto& text : sent) consumeClientFrame(text);
        timeline_.runFor(0);
    }
}

void ChatRig::settle() { timeline_.runFor(0); }

void ChatRig::deliver(std::string text) {
    if (transport_ && !transport_->closed()) transport_->push(std::move(text));
}

void ChatRig::dropConnection() {
    if (transport_) transport_->fail();
}

void ChatRig::type(std::string line) {
    if (client_) asio::co_spawn(io_, client_->sendMessage(std::move(line)), asio::detached);
}

std::string ChatRig::peerHelloText() const {
    const std::string peerKey = base64URLString(FuzzWorld::identityKey(1).publicKey().compressed());
    const json::object hello{
        {"t", "hello"},
        {"pkid", base64URLString(sha512(asBytes(peerKey)))},
        {"ct", base64String(peer_->authCiphertext())},
        {"ek", base64String(peer_->authEncapKey())},
        {"mlk", base64String(peer_->mlkemPublicKeyData())},
    };
    return json::serialize(hello);
}

void ChatRig::sendPeerTunneled(const json::object& message) {
    const std::string text = json::serialize(message);
    deliver(base64String(peer_->tunnelSeal(asBytes(text))));
}

void ChatRig::peerHandshake(bool complete) {
    if (!client_) return;
    peer_ = std::make_unique<PFSChatSession>(peerWorld_.environment(), peerWorld_.identityKeys[1],
                                             peerWorld_.identityPublicKeys[0], client_->roomCode());
    ++peerSessions_;
    answerKex2_ = complete;
    if (clientHello_) {
        try {
            const auto ct = base64Member(*clientHello_, "ct"), ek = base64Member(*clientHello_, "ek"),
                       mlk = base64Member(*clientHello_, "mlk");
            if (ct && ek && mlk) peer_->completeHandshake(*ct, *ek, *mlk);
        } catch (const std::exception&) {
        }
    }
    deliver(peerHelloText());
    if (!complete || !peer_->isInitiator().value_or(false)) return;
    const Bytes mc = peer_->performPQKeyExchange();
    sendPeerTunneled({{"t", "kex2"}, {"mc", base64String(mc)}});
    peer_->completePQInitiator();
    sendPeerTunneled({{"t", "ready"}, {"kc", base64URLString(*peer_->localKeyConfirmation())}});
}

void ChatRig::peerSays(std::string_view line) {
    if (!peer_ || !peer_->isReady()) return;
    const auto header = peer_->prepareDHRatchetIfNeeded();
    const auto record = peer_->seal(asBytes(line));
    json::object message{{"t", "msg"}, {"n", record.counter}, {"d", base64String(record.data)}};
    if (header) message["rk"] = base64String(*header);
    sendPeerTunneled(message);
    peerLines.insert(std::string(line));
}

void ChatRig::peerTunnels(BytesView payload) {
    if (!peer_ || !peer_->isTunnelReady()) return;
    deliver(base64String(peer_->tunnelSeal(payload)));
}

// The peer's side of the protocol, for what the client sends; anything it cannot use it drops.
void ChatRig::consumeClientFrame(const std::string& text) {
    if (!text.empty() && text.front() == '{') {
        auto object = parseObject(text);
        if (object && typeOf(*object) == "hello") clientHello_ = std::move(*object);
        return;
    }
    if (!peer_ || !peer_->isTunnelReady()) return;
    try {
        const auto frame = bytesFromBase64String(text);
        if (!frame) return;
        const SecureBytes payload = peer_->tunnelOpen(*frame);
        auto object = parseObject(std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));
        if (!object) return;
        const std::string type = typeOf(*object);
        if (type == "kex2" && answerKex2_ && peer_->isInitiator() == false && !peer_->isReady()) {
            if (const auto mc = base64Member(*object, "mc")) {
                peer_->completePQKeyExchange(*mc);
                sendPeerTunneled({{"t", "ready"}, {"kc", base64URLString(*peer_->localKeyConfirmation())}});
            }
        } else if (type == "msg") {
            const auto d = base64Member(*object, "d");
            const auto* n = object->if_contains("n");
            if (!d || !n || !n->is_int64()) return;
            if (const auto rk = base64Member(*object, "rk")) peer_->receiveDHRatchetKey(*rk);
            peer_->open(*d, static_cast<std::uint64_t>(n->as_int64()));
        }
    } catch (const std::exception&) {
    }
}

}  // namespace duoquill::fuzz
