#include "Kit/ProtocolPeer.h"

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/Primitives/Sha2.h"
#include "Duoquill/Protocol/TunnelPipeline.h"
#include "Duoquill/Utilities/KeyHelpers.h"

namespace duoquill::test {

ProtocolPeer::ProtocolPeer(const p256::PrivateKey& key, const p256::PublicKey& peerPublicKey, const Clock& dayClock,
                           const SessionEnvironment* environment)
    : key_(key),
      peerPublicKey_(peerPublicKey),
      environment_(environment ? *environment : SessionEnvironment{.epochDirectory = epochDirectory_.path()}) {
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

void ProtocolPeer::sendTunneled(std::string_view jsonText) { send(protocol::sealTunnelText(*session_, jsonText)); }

std::optional<boost::json::object> ProtocolPeer::nextOfType(const std::string& type, double seconds, bool tunneled) {
    for (const double until = now() + seconds; now() <= until;) {
        const auto text = next(until - now());
        if (!text) return std::nullopt;
        auto message = !tunneled                    ? protocol::parsePlainFrame(*text)
                       : session_->isTunnelReady() ? protocol::openTunnelText(*session_, *text)
                                                   : std::nullopt;
        if (message && message->typeName == type) return std::move(message->object);
    }
    return std::nullopt;
}

std::optional<boost::json::object> ProtocolPeer::nextPlain(const std::string& type, double seconds) {
    return nextOfType(type, seconds, false);
}

std::optional<boost::json::object> ProtocolPeer::nextTunneled(const std::string& type, double seconds) {
    return nextOfType(type, seconds, true);
}

boost::json::object ProtocolPeer::hello() const {
    const protocol::Hello hello{base64URLString(sha512(asBytes(publicKeyText()))), session_->authCiphertext(),
                                session_->authEncapKey(), session_->mlkemPublicKeyData()};
    return protocol::parseRelayMessage(protocol::encode(hello))->object;
}

bool ProtocolPeer::handshake(const boost::json::object& clientHello, std::optional<std::string> kcOverride) {
    const auto hello = protocol::decodeHello({protocol::MessageType::hello, "hello", clientHello});
    if (!hello || !hello->mlk) throw std::runtime_error("the client's hello does not decode");
    session_->completeHandshake(hello->ct, hello->ek, *hello->mlk);
    if (*session_->isInitiator()) {
        sendTunneled(protocol::encode(protocol::Kex2{session_->performPQKeyExchange()}));
        session_->completePQInitiator();
    } else {
        const auto kex2 = nextTunneled("kex2");
        const auto mc = kex2 ? protocol::decodeKex2({protocol::MessageType::kex2, "kex2", *kex2}) : std::nullopt;
        if (!mc) return false;
        session_->completePQKeyExchange(mc->mc);
    }
    const auto kc = kcOverride ? bytesFromBase64URLString(*kcOverride) : toBytes(*session_->localKeyConfirmation());
    sendTunneled(protocol::encode(protocol::Ready{kc.value(), {}}));
    return true;
}

std::string ProtocolPeer::msgFrame(const std::string& line) { return protocol::sealChatLine(*session_, asBytes(line)); }

}  // namespace duoquill::test
