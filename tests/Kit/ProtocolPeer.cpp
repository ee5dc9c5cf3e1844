#include "Kit/ProtocolPeer.h"

#include <boost/json/parse.hpp>
#include <boost/json/serialize.hpp>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/Primitives/Sha2.h"
#include "Duoquill/Utilities/KeyHelpers.h"

namespace json = boost::json;

namespace duoquill::test {

namespace {

std::optional<json::object> objectOfType(std::string_view text, const std::string& type) {
    boost::system::error_code failed;
    auto value = json::parse(text, failed);
    if (failed || !value.is_object()) return std::nullopt;
    const auto* t = value.as_object().if_contains("t");
    if (t == nullptr || !t->is_string() || t->as_string() != type) return std::nullopt;
    return std::move(value.as_object());
}

Bytes decoded(const json::object& message, const char* member) {
    const auto bytes = bytesFromBase64String(std::string_view(message.at(member).as_string()));
    if (!bytes) throw std::runtime_error(std::string("undecodable \"") + member + "\"");
    return *bytes;
}

}  // namespace

ProtocolPeer::ProtocolPeer(const p256::PrivateKey& key, const p256::PublicKey& peerPublicKey, const Clock& dayClock)
    : key_(key), peerPublicKey_(peerPublicKey), environment_{.epochDirectory = epochDirectory_.path()} {
    const SecureBytes roomKeyData = key_.sharedSecret(peerPublicKey_);
    roomCode_ = KeyHelpers::deriveRoomCode(roomKeyData);
    roomToken_ = KeyHelpers::deriveRoomToken(roomKeyData, dayClock);
    renewSession();
}

ProtocolPeer::~ProtocolPeer() = default;

void ProtocolPeer::renewSession() {
    session_.reset();
    session_ = std::make_unique<PFSChatSession>(environment_, SoftwareKeyStore::wrap(key_), peerPublicKey_, roomCode_);
}

std::string ProtocolPeer::publicKeyText() const { return base64URLString(key_.publicKey().compressed()); }

void ProtocolPeer::sendTunneled(const json::object& message) {
    const std::string text = json::serialize(message);
    send(base64String(session_->tunnelSeal(asBytes(text))));
}

std::optional<json::object> ProtocolPeer::nextPlain(const std::string& type, double seconds) {
    const double until = now() + seconds;
    while (now() <= until) {
        const auto text = next(until - now());
        if (!text) return std::nullopt;
        if (text->empty() || text->front() != '{') continue;
        if (auto message = objectOfType(*text, type)) return message;
    }
    return std::nullopt;
}

std::optional<json::object> ProtocolPeer::nextTunneled(const std::string& type, double seconds) {
    const double until = now() + seconds;
    while (now() <= until) {
        const auto text = next(until - now());
        if (!text) return std::nullopt;
        const auto frame = bytesFromBase64String(*text);
        if (!frame || !session_->isTunnelReady()) continue;
        SecureBytes payload;
        try {
            payload = session_->tunnelOpen(*frame);
        } catch (const std::exception&) {
            continue;  // not for this session's tunnel
        }
        const std::string_view json(reinterpret_cast<const char*>(payload.data()), payload.size());
        if (auto message = objectOfType(json, type)) return message;
    }
    return std::nullopt;
}

json::object ProtocolPeer::hello() const {
    return json::object{
        {"t", "hello"},
        {"pkid", base64URLString(sha512(asBytes(publicKeyText())))},
        {"ct", base64String(session_->authCiphertext())},
        {"ek", base64String(session_->authEncapKey())},
        {"mlk", base64String(session_->mlkemPublicKeyData())},
    };
}

bool ProtocolPeer::handshake(const json::object& clientHello, std::optional<std::string> kcOverride) {
    session_->completeHandshake(decoded(clientHello, "ct"), decoded(clientHello, "ek"), decoded(clientHello, "mlk"));
    if (*session_->isInitiator()) {
        sendTunneled({{"t", "kex2"}, {"mc", base64String(session_->performPQKeyExchange())}});
        session_->completePQInitiator();
    } else {
        const auto kex2 = nextTunneled("kex2");
        if (!kex2) return false;
        session_->completePQKeyExchange(decoded(*kex2, "mc"));
    }
    sendTunneled({{"t", "ready"}, {"kc", kcOverride.value_or(base64URLString(*session_->localKeyConfirmation()))}});
    return true;
}

std::string ProtocolPeer::msgFrame(const std::string& line) {
    const auto header = session_->prepareDHRatchetIfNeeded();
    const auto record = session_->seal(asBytes(line));
    json::object message{{"t", "msg"}, {"n", record.counter}, {"d", base64String(record.data)}};
    if (header) message["rk"] = base64String(*header);
    return base64String(session_->tunnelSeal(asBytes(json::serialize(message))));
}

}  // namespace duoquill::test
