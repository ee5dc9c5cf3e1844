// The root ratchet: each turn of the conversation mixes a fresh ECDH and a fresh ML-KEM
// secret into the root key and starts a new chain for the side that sends.
//
// Both steps compute everything first and store it only at the end, so a platform failure
// part-way leaves the session exactly as it was (and a due step still due).

#include "Duoquill/Crypto/PFSChatSession.h"
#include "Duoquill/Crypto/SessionEnvironment.h"
#include "Duoquill/Platform/Primitives/Hkdf.h"

namespace duoquill {
namespace {

constexpr std::size_t keySize = 32;
constexpr std::size_t dhKeyOffset = 0;
constexpr std::size_t mlkemKeyOffset = p256::rawSize;
constexpr std::size_t ciphertextOffset = mlkemKeyOffset + PFSChatSession::mlkemPublicKeySize;

[[noreturn]] void fail(SessionErrorCode code) { throw SessionError(code); }

struct RootStepResult {
    SecureBytes rootKey;
    SecureBytes chainKey;
};

// ECDH, then the ECDH secret through HKDF with the DH-ratchet label: the first part of the
// root step's input key material.
SecureBytes dhPart(const P256KeyAgreementKey& own, const p256::PublicKey& other, std::string_view label) {
    SecureBytes s = own.sharedSecret(other);
    return hkdf::derive(HashFunction::sha512, s, {}, asBytes(label), keySize);
}

// The post-quantum label is used whether or not an ML-KEM secret is part of ikm. Wipes ikm.
RootStepResult rootStep(SecureBytes& ikm, BytesView rootKey, std::string_view label) {
    SecureBytes out = hkdf::derive(HashFunction::sha512, ikm, rootKey, asBytes(label), 2 * keySize);
    secureWipe(ikm.data(), ikm.size());
    return {SecureBytes(out.begin(), out.begin() + keySize), SecureBytes(out.begin() + keySize, out.end())};
}

}  // namespace

std::optional<Bytes> PFSChatSession::prepareDHRatchetIfNeeded() {
    if (!dhRatchetPending_) return std::nullopt;
    performDHRatchetSend();
    Bytes header = dhRatchetPublicKey_->raw();
    header.insert(header.end(), mlkemRatchetPublicKeyData_.begin(), mlkemRatchetPublicKeyData_.end());
    if (mlkemRatchetCiphertext_) {
        header.insert(header.end(), mlkemRatchetCiphertext_->begin(), mlkemRatchetCiphertext_->end());
    }
    return header;
}

void PFSChatSession::performDHRatchetSend() {
    if (!rootKey_) fail(SessionErrorCode::handshakeNotComplete);

    std::unique_ptr<P256KeyAgreementKey> dhKey = env_.keyStore->generateP256();
    p256::PublicKey dhPublic = dhKey->publicKey();
    std::unique_ptr<MLKEM1024Key> mlkemKey = env_.keyStore->generateMLKEM1024();

    std::optional<Bytes> ciphertext;
    std::optional<RootStepResult> step;
    // Until a header of the peer has come there is nothing to agree with: the first header
    // only publishes keys.
    if (peerDHRatchetKey_) {
        SecureBytes ikm = dhPart(*dhKey, *peerDHRatchetKey_, dhRatchetInfo);
        if (peerMLKEMRatchetPublicKeyData_ && peerMLKEMRatchetPublicKeyData_->size() == mlkemPublicKeySize) {
            mlkem1024::Encapsulation encapsulation = env_.entropy->encapsulate(*peerMLKEMRatchetPublicKeyData_);
            ikm.insert(ikm.end(), encapsulation.sharedSecret.begin(), encapsulation.sharedSecret.end());
            ciphertext = std::move(encapsulation.ciphertext);
        }
        step = rootStep(ikm, *rootKey_, dhRatchetPQInfo);
    }

    dhRatchetPrivateKey_ = std::move(dhKey);
    dhRatchetPublicKey_ = dhPublic;
    mlkemRatchetPrivateKey_ = std::move(mlkemKey);
    mlkemRatchetPublicKeyData_ = mlkemRatchetPrivateKey_->publicKey();
    secureZeroData(mlkemRatchetCiphertext_);
    mlkemRatchetCiphertext_ = std::move(ciphertext);
    if (step) {
        rootKey_ = std::move(step->rootKey);
        txKey_ = std::move(step->chainKey);
        txCounter_ = 0;
    }
    dhRatchetPending_ = false;
}

void PFSChatSession::receiveDHRatchetKey(BytesView header) {
    if (header.size() < mlkemKeyOffset) fail(SessionErrorCode::openFailed);
    const p256::PublicKey peerKey = p256::PublicKey::fromRaw(header.subspan(dhKeyOffset, p256::rawSize));

    std::optional<Bytes> peerMLKEM;
    if (header.size() >= ciphertextOffset) {
        const BytesView key = header.subspan(mlkemKeyOffset, mlkemPublicKeySize);
        peerMLKEM.emplace(key.begin(), key.end());
    }
    std::optional<RootStepResult> step;
    if (header.size() >= ratchetHeaderWithCiphertextSize && dhRatchetPrivateKey_ && rootKey_) {
        SecureBytes ikm = dhPart(*dhRatchetPrivateKey_, peerKey, dhRatchetInfo);
        if (mlkemRatchetPrivateKey_) {
            const SecureBytes shared =
                mlkemRatchetPrivateKey_->decapsulate(header.subspan(ciphertextOffset, mlkemCiphertextSize));
            ikm.insert(ikm.end(), shared.begin(), shared.end());
        }
        step = rootStep(ikm, *rootKey_, dhRatchetPQInfo);
    }

    peerDHRatchetKey_ = peerKey;
    if (peerMLKEM) peerMLKEMRatchetPublicKeyData_ = std::move(peerMLKEM);
    if (step) {
        rootKey_ = std::move(step->rootKey);
        rxKey_ = std::move(step->chainKey);
        rxCounter_ = 0;
    }
    dhRatchetPending_ = true;
}

}  // namespace duoquill
