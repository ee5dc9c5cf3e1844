// Teardown: every secret wiped, the handshake back at its start, the epoch file removed.

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Crypto/PFSChatSession.h"

namespace duoquill {

void PFSChatSession::destroy() noexcept {
    // Private keys and symmetric keys go by being released; their storage wipes itself.
    ephemeralPrivateKey_.reset();
    localStaticKey_.reset();
    peerStaticKey_.reset();
    secureZeroData(pskDeniable_);
    mlkemPrivateKey_.reset();

    secureZeroData(txKey_);
    secureZeroData(rxKey_);
    secureZeroData(tunnelTxKey_);
    secureZeroData(tunnelRxKey_);
    secureZeroData(resumeAuthKey_);
    secureZeroData(rootKey_);

    dhRatchetPrivateKey_.reset();
    dhRatchetPublicKey_.reset();
    peerDHRatchetKey_.reset();
    mlkemRatchetPrivateKey_.reset();

    secureZero(mlkemRatchetPublicKeyData_);
    secureZeroData(peerMLKEMRatchetPublicKeyData_);
    secureZeroData(mlkemRatchetCiphertext_);

    mldsaSigningKey_.reset();
    secureZeroData(peerMLDSAPublicKeyData_);
    secureZero(mldsaPublicKeyData_);
    pqAuthVerified_ = false;

    secureZero(txNonceMask_);
    secureZero(rxNonceMask_);

    secureZeroData(sessionID_);
    secureZeroData(localKeyConfirmation_);
    secureZeroData(expectedPeerKeyConfirmation_);

    secureZero(txTranscriptHash_);
    secureZero(rxTranscriptHash_);

    secureZeroData(p256SharedSecret_);
    secureZeroData(mlkemSharedSecretData_);
    secureZeroData(mlkemCiphertextData_);
    secureZeroData(orderedEpkSalt_);
    secureZeroData(peerMLKEMPublicKeyData_);

    handshakePhase_ = HandshakePhase::initial;
    isInitiator_.reset();
    sessionCreatedAt_ = 0;

    epochs_.clearSessionEpoch(roomCode_);
}

}  // namespace duoquill
