#pragma once
// What a PFSChatSession draws on besides its arguments: the key store for every private key
// it makes, the clocks, the epoch-file directory, and the randomness that is not a key
// (the HPKE sender's ephemeral key, ML-KEM encapsulation, padding choices and bytes).
//
// The chat client never needs this header: the plain PFSChatSession constructor uses the
// system defaults. Tests and benchmarks include it to pin every input, so that a session
// can reproduce known-answer values or run against a manual clock.

#include <cstdint>
#include <filesystem>
#include <optional>
#include <span>

#include "Duoquill/System/Clock.h"
#include "Duoquill/Primitives/Hpke.h"
#include "Duoquill/Keys/KeyStore.h"
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
    // Wall clock for the epoch file, uptime for the session's age.
    const Clock& clock = Clock::system();
    SessionEntropy& entropy = SessionEntropy::system();
    // Directory of the epoch files; absent: <application support>/com.duoquill.session.
    std::optional<std::filesystem::path> epochDirectory;
};

}  // namespace duoquill
