#pragma once
// This program's view of a session's private state: the secrets it holds and the storage it
// owns, for the hygiene tests.

#include <string>
#include <utility>
#include <vector>

#include "Duoquill/Crypto/PFSChatSession.h"

namespace duoquill {

// This program's view of a session's private state.
struct PFSChatSessionTestAccess {
    using S = PFSChatSession;

    // Every secret the session holds right now, named.
    static std::vector<std::pair<std::string, BytesView>> secrets(const S& s) {
        std::vector<std::pair<std::string, BytesView>> out;
        auto add = [&](const char* name, const auto& value) {
            if (value) out.emplace_back(name, BytesView(*value));
        };
        add("pskDeniable", s.pskDeniable_);
        add("p256SharedSecret", s.p256SharedSecret_);
        add("mlkemSharedSecret", s.mlkemSharedSecretData_);
        add("txKey", s.txKey_);
        add("rxKey", s.rxKey_);
        add("sessionID", s.sessionID_);
        add("resumeAuthKey", s.resumeAuthKey_);
        add("rootKey", s.rootKey_);
        add("tunnelTxKey", s.tunnelTxKey_);
        add("tunnelRxKey", s.tunnelRxKey_);
        add("localKeyConfirmation", s.localKeyConfirmation_);
        add("expectedPeerKeyConfirmation", s.expectedPeerKeyConfirmation_);
        out.emplace_back("txNonceMask", s.txNonceMask_);
        out.emplace_back("rxNonceMask", s.rxNonceMask_);
        return out;
    }

    // The session object itself and every buffer it still owns.
    static std::vector<BytesView> storage(const S& s) {
        std::vector<BytesView> out{BytesView(reinterpret_cast<const std::uint8_t*>(&s), sizeof s)};
        auto add = [&](const auto& value) { out.emplace_back(value); };
        auto addOptional = [&](const auto& value) {
            if (value) out.emplace_back(*value);
        };
        add(s.mlkemPublicKeyData_);
        add(s.authCiphertext_);
        add(s.authEncapKey_);
        add(s.txNonceMask_);
        add(s.rxNonceMask_);
        add(s.mlkemRatchetPublicKeyData_);
        add(s.txTranscriptHash_);
        add(s.rxTranscriptHash_);
        add(s.mldsaPublicKeyData_);
        addOptional(s.peerMLKEMPublicKeyData_);
        addOptional(s.orderedEpkSalt_);
        addOptional(s.mlkemCiphertextData_);
        addOptional(s.peerMLKEMRatchetPublicKeyData_);
        addOptional(s.mlkemRatchetCiphertext_);
        addOptional(s.peerMLDSAPublicKeyData_);
        for (const auto* key : {&s.pskDeniable_, &s.p256SharedSecret_, &s.mlkemSharedSecretData_, &s.txKey_, &s.rxKey_,
                                &s.sessionID_, &s.resumeAuthKey_, &s.rootKey_, &s.tunnelTxKey_, &s.tunnelRxKey_,
                                &s.localKeyConfirmation_, &s.expectedPeerKeyConfirmation_}) {
            addOptional(*key);
        }
        return out;
    }
};

}  // namespace duoquill
