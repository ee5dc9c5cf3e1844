#pragma once
// What a PFSChatSession draws on besides its arguments: the key store for every private key
// it makes, and the randomness that is not a key
// (the HPKE sender's ephemeral key, ML-KEM encapsulation, padding choices and bytes).
//
// The chat client never needs this header: the plain PFSChatSession constructor uses the
// system defaults. Tests and benchmarks include it to pin every input, so that a session
// can reproduce known-answer values.

#include <cstdint>
#include <span>

#include "Duoquill/Keys/KeyStore.h"
#include "Duoquill/Primitives/Hpke.h"
#include "Duoquill/Primitives/PQ/MLKEM1024.h"

namespace duoquill {

// Randomness a session uses outside the key store. Every default draws fresh secure
// randomness; overriding one fixes that input.
class SessionEntropy {
public:
    virtual ~SessionEntropy() = default;

    // The HPKE sender context that seals the ephemeral key (it draws its own ephemeral key).
    virtual hpke::SenderContext hpkeSender(const p256::PublicKey& recipient, const hpke::KeySchedule& schedule);
    // ML-KEM-1024 encapsulation to a peer's public key; throws CryptoError on a bad key.
    virtual mlkem1024::Encapsulation encapsulate(BytesView encapsulationKey);
    // Uniform in [0, upperBound) without modulo bias: the number of extra padding buckets.
    virtual std::uint32_t uniform(std::uint32_t upperBound);
    // Padding bytes.
    virtual void fill(std::span<std::uint8_t> out);

    static SessionEntropy& system();
};

struct SessionEnvironment {
    KeyStore& keyStore = KeyStore::system();
    SessionEntropy& entropy = SessionEntropy::system();
};

}  // namespace duoquill
