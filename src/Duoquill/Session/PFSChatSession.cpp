// Creation, the two handshake stages and the key schedule.

#include "Duoquill/Session/PFSChatSession.h"

#include <algorithm>

#include "Duoquill/Session/SessionEnvironment.h"
#include "Duoquill/Primitives/Hkdf.h"
#include "Duoquill/Primitives/Hpke.h"
#include "Duoquill/Base/PlatformError.h"
#include "Duoquill/Primitives/Sha2.h"

namespace duoquill {
namespace {

constexpr std::size_t keySize = 32;
constexpr std::size_t sessionIDSize = 64;
constexpr std::size_t nonceMaskSize = 12;

SecureBytes derive(BytesView ikm, BytesView salt, BytesView info, std::size_t length) {
    return hkdf::derive(HashFunction::sha512, ikm, salt, info, length);
}

SecureBytes derive(BytesView ikm, BytesView info, std::size_t length) { return derive(ikm, {}, info, length); }

[[noreturn]] void fail(SessionErrorCode code) { throw SessionError(code); }

}  // namespace

Bytes PFSChatSession::info(std::string_view prefix) const { return concat(asBytes(prefix), asBytes(roomCode_)); }

PFSChatSession::PFSChatSession(std::shared_ptr<const P256KeyAgreementKey> localStaticKey,
                               const p256::PublicKey& peerStaticKey, std::string roomCode,
                               std::optional<double> roomEpoch, std::optional<Bytes> peerMLDSAPublicKey)
    : PFSChatSession(SessionEnvironment{}, std::move(localStaticKey), peerStaticKey, std::move(roomCode), roomEpoch,
                     std::move(peerMLDSAPublicKey)) {}

PFSChatSession::PFSChatSession(const SessionEnvironment& environment,
                               std::shared_ptr<const P256KeyAgreementKey> localStaticKey,
                               const p256::PublicKey& peerStaticKey, std::string roomCode,
                               std::optional<double> roomEpoch, std::optional<Bytes> peerMLDSAPublicKey)
    : env_{&environment.keyStore, &environment.entropy},
      ephemeralPrivateKey_(env_.keyStore->generateP256()),
      ephemeralPublicKey_(ephemeralPrivateKey_->publicKey()),
      roomCode_(std::move(roomCode)),
      localStaticKey_(std::move(localStaticKey)),
      peerStaticKey_(peerStaticKey),
      infoKex_(info("morvane-pfs:kex:")),
      infoTemp_(info("morvane-pfs:temp:")),
      infoTunnelA_(info("morvane-pfs:tunnel-a:")),
      infoTunnelB_(info("morvane-pfs:tunnel-b:")),
      infoP256Extract_(info("morvane-pfs:p256-extract:")),
      infoMasterPQ_(info("morvane-pfs:master-pq:")),
      infoA_(info("morvane-pfs:a:")),
      infoB_(info("morvane-pfs:b:")),
      infoSid_(info("morvane-pfs:sid:")),
      infoResumeAuth_(info("morvane-pfs:resume-auth:")),
      infoConfirmA_(info("morvane-pfs:confirm-a:")),
      infoConfirmB_(info("morvane-pfs:confirm-b:")),
      infoTranscriptA_(info("morvane-pfs:transcript-a:")),
      infoTranscriptB_(info("morvane-pfs:transcript-b:")),
      infoDeniableAuth_(info("morvane-pfs:deniable-auth:")) {
    epoch_ = roomEpoch;
    create(std::move(peerMLDSAPublicKey));
}

void PFSChatSession::create(std::optional<Bytes> peerMLDSAPublicKey) {
    if (!localStaticKey_) throw CryptoError("the local identity key is missing");

    mlkemPrivateKey_ = env_.keyStore->generateMLKEM1024();
    mlkemPublicKeyData_ = mlkemPrivateKey_->publicKey();
    mldsaSigningKey_ = env_.keyStore->generateMLDSA87();
    mldsaPublicKeyData_ = mldsaSigningKey_->publicKey();
    peerMLDSAPublicKeyData_ = std::move(peerMLDSAPublicKey);

    // Deniable authentication: only the holder of the peer's identity key can open this, and
    // the psk ties it to this pair of identities; nothing is signed.
    pskDeniable_ = deniablePSK();
    const hpke::KeySchedule schedule{hpke::Mode::psk, infoKex_, *pskDeniable_, asBytes(deniablePSKIdentifier)};
    hpke::SenderContext sender = env_.entropy->hpkeSender(*peerStaticKey_, schedule);
    authCiphertext_ = sender.seal({}, ephemeralPublicKey_.raw());
    authEncapKey_ = sender.encapsulatedKey();
}

PFSChatSession::~PFSChatSession() { destroy(); }

SecureBytes PFSChatSession::deniablePSK() const {
    const SecureBytes staticSecret = localStaticKey_->longTermSharedSecret(*peerStaticKey_);
    return derive(staticSecret, infoDeniableAuth_, keySize);
}

void PFSChatSession::completeHandshake(BytesView peerAuthCiphertext, BytesView peerAuthEncapKey,
                                       BytesView peerMLKEMPublicKeyData, Instant now) {
    if (!localStaticKey_ || !peerStaticKey_ || !ephemeralPrivateKey_ || !pskDeniable_) {
        fail(SessionErrorCode::handshakeNotComplete);
    }
    if (peerMLKEMPublicKeyData.size() != mlkemPublicKeySize) fail(SessionErrorCode::pqRequired);
    if (!mlkemPrivateKey_) fail(SessionErrorCode::pqRequired);

    // Everything that can fail comes before the first write.
    const hpke::KeySchedule schedule{hpke::Mode::psk, infoKex_, *pskDeniable_, asBytes(deniablePSKIdentifier)};
    hpke::RecipientContext recipient = hpke::RecipientContext::setup(peerAuthEncapKey, *localStaticKey_, schedule);
    const SecureBytes opened = recipient.open({}, peerAuthCiphertext);
    const p256::PublicKey peerEphemeral = p256::PublicKey::fromRaw(opened);
    const SecureBytes ephSecret = ephemeralPrivateKey_->sharedSecret(peerEphemeral);

    const Bytes mine = ephemeralPublicKey_.raw();
    const Bytes theirs = peerEphemeral.raw();
    const bool initiator = std::lexicographical_compare(mine.begin(), mine.end(), theirs.begin(), theirs.end());
    Bytes orderedEpk = initiator ? concat(mine, theirs) : concat(theirs, mine);
    const SecureBytes tempKey = derive(ephSecret, orderedEpk, infoTemp_, keySize);
    SecureBytes tunnelA = derive(tempKey, infoTunnelA_, keySize);
    SecureBytes tunnelB = derive(tempKey, infoTunnelB_, keySize);
    SecureBytes p256Shared = derive(ephSecret, infoP256Extract_, keySize);
    Bytes peerMLKEM(peerMLKEMPublicKeyData.begin(), peerMLKEMPublicKeyData.end());

    ephemeralPrivateKey_.reset();
    localStaticKey_.reset();
    peerStaticKey_.reset();
    secureZeroData(pskDeniable_);
    isInitiator_ = initiator;
    tunnelTxKey_ = std::move(initiator ? tunnelA : tunnelB);
    tunnelRxKey_ = std::move(initiator ? tunnelB : tunnelA);
    tunnelTxCounter_ = 0;
    tunnelRxCounter_ = 0;
    p256SharedSecret_ = std::move(p256Shared);
    peerMLKEMPublicKeyData_ = std::move(peerMLKEM);
    orderedEpkSalt_ = std::move(orderedEpk);
    sessionCreatedAt_ = now.uptimeSeconds;
    handshakePhase_ = HandshakePhase::p256Complete;
}

Bytes PFSChatSession::performPQKeyExchange() {
    if (handshakePhase_ != HandshakePhase::p256Complete || isInitiator_ != true) {
        fail(SessionErrorCode::pqExchangeNotReady);
    }
    if (!peerMLKEMPublicKeyData_) fail(SessionErrorCode::pqRequired);
    mlkem1024::Encapsulation encapsulation = env_.entropy->encapsulate(*peerMLKEMPublicKeyData_);
    mlkemSharedSecretData_ = std::move(encapsulation.sharedSecret);
    mlkemCiphertextData_ = encapsulation.ciphertext;
    return std::move(encapsulation.ciphertext);
}

void PFSChatSession::completePQInitiator(Instant now) {
    if (handshakePhase_ != HandshakePhase::p256Complete || isInitiator_ != true || !mlkemSharedSecretData_ ||
        !mlkemCiphertextData_) {
        fail(SessionErrorCode::pqExchangeNotReady);
    }
    deriveHybridKeys(now);
}

void PFSChatSession::completePQKeyExchange(BytesView ciphertext, Instant now) {
    if (handshakePhase_ != HandshakePhase::p256Complete || isInitiator_ != false) {
        fail(SessionErrorCode::pqExchangeNotReady);
    }
    if (!mlkemPrivateKey_) fail(SessionErrorCode::pqRequired);
    SecureBytes shared;
    try {
        shared = mlkemPrivateKey_->decapsulate(ciphertext);
    } catch (const std::exception&) {
        fail(SessionErrorCode::pqDecapsulationFailed);
    }
    mlkemSharedSecretData_ = std::move(shared);
    mlkemCiphertextData_ = Bytes(ciphertext.begin(), ciphertext.end());
    deriveHybridKeys(now);
}

void PFSChatSession::deriveHybridKeys(Instant now) {
    if (!p256SharedSecret_ || !mlkemSharedSecretData_ || !mlkemCiphertextData_ || !orderedEpkSalt_ || !isInitiator_) {
        fail(SessionErrorCode::pqExchangeNotReady);
    }
    SecureBytes ikm = concat<SecureBytes>(*p256SharedSecret_, *mlkemSharedSecretData_);
    const Bytes bound = concat(*orderedEpkSalt_, *mlkemCiphertextData_);
    const Bytes hybridSalt = concat(bound, sha512(bound));
    const SecureBytes masterKey = derive(ikm, hybridSalt, infoMasterPQ_, keySize);
    secureWipe(ikm.data(), ikm.size());

    secureZeroData(p256SharedSecret_);
    secureZeroData(mlkemSharedSecretData_);
    secureZeroData(mlkemCiphertextData_);
    secureZeroData(orderedEpkSalt_);
    secureZeroData(peerMLKEMPublicKeyData_);
    mlkemPrivateKey_.reset();

    deriveAllKeysFromMasterKey(masterKey, *isInitiator_, now);
    tunnelTxCounter_ = 0;
    tunnelRxCounter_ = 0;
    handshakePhase_ = HandshakePhase::pqComplete;
}

void PFSChatSession::deriveAllKeysFromMasterKey(const SecureBytes& masterKey, bool isInitiator, Instant now) {
    // The initiator's sending values are the responder's receiving values, so the table
    // runs once with the A/B halves swapped on the responder.
    auto crossed = [isInitiator](std::optional<SecureBytes>& a, std::optional<SecureBytes>& b)
        -> std::pair<std::optional<SecureBytes>&, std::optional<SecureBytes>&> {
        if (isInitiator) return {a, b};
        return {b, a};
    };
    {
        auto [a, b] = crossed(txKey_, rxKey_);
        a = derive(masterKey, infoA_, keySize);
        b = derive(masterKey, infoB_, keySize);
    }
    txDirection_ = isInitiator ? 0 : 1;
    rxDirection_ = isInitiator ? 1 : 0;
    sessionID_ = derive(masterKey, infoSid_, sessionIDSize);
    resumeAuthKey_ = derive(masterKey, infoResumeAuth_, keySize);
    {
        auto [a, b] = crossed(tunnelTxKey_, tunnelRxKey_);
        a = derive(masterKey, infoTunnelA_, keySize);
        b = derive(masterKey, infoTunnelB_, keySize);
    }
    {
        auto [a, b] = crossed(localKeyConfirmation_, expectedPeerKeyConfirmation_);
        a = derive(masterKey, infoConfirmA_, keySize);
        b = derive(masterKey, infoConfirmB_, keySize);
    }
    {
        SecureBytes maskA = derive(masterKey, asBytes(nonceMaskAInfo), nonceMaskSize);
        SecureBytes maskB = derive(masterKey, asBytes(nonceMaskBInfo), nonceMaskSize);
        txNonceMask_ = std::move(isInitiator ? maskA : maskB);
        rxNonceMask_ = std::move(isInitiator ? maskB : maskA);
    }
    {
        Bytes transcriptA = sha512(infoTranscriptA_);
        Bytes transcriptB = sha512(infoTranscriptB_);
        txTranscriptHash_ = std::move(isInitiator ? transcriptA : transcriptB);
        rxTranscriptHash_ = std::move(isInitiator ? transcriptB : transcriptA);
    }
    rootKey_ = derive(masterKey, asBytes(rootChainInfo), keySize);
    // Only the initiator opens the ratchet; the responder's first header answers it. Were
    // both to start with a step due, two records sent before either header arrived would
    // make two root steps from the same root key, and the sides would never agree again.
    dhRatchetPending_ = isInitiator;
    sessionCreatedAt_ = now.uptimeSeconds;
    epoch_ = now.wallSeconds;
}

}  // namespace duoquill
