// Cost of making a session and of the whole two-sided handshake (both creations, both P-256
// stages, the ML-KEM exchange and both key schedules), with the system key store and
// randomness.

#include <benchmark/benchmark.h>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/Session/SessionEnvironment.h"

namespace duoquill {
namespace {

// Sessions read no clock: every call is handed this moment.
constexpr Instant benchTime{1'700'000'000.0, 1000.0};

struct Identities {
    std::shared_ptr<const P256KeyAgreementKey> a = KeyStore::system().generateP256();
    std::shared_ptr<const P256KeyAgreementKey> b = KeyStore::system().generateP256();
};

const std::string roomCode(128, 'c');

void SessionCreation(benchmark::State& state) {
    const SessionEnvironment environment{};
    const Identities ids;
    const auto peer = ids.b->publicKey();
    for (auto _ : state) {
        PFSChatSession session(environment, ids.a, peer, roomCode);
        benchmark::DoNotOptimize(session.authCiphertext().data());
    }
}
BENCHMARK(SessionCreation)->Unit(benchmark::kMicrosecond);

// The first session with a peer: a fresh identity key each time, which has not kept the
// long-term key agreement yet.
void SessionCreationFirstWithPeer(benchmark::State& state) {
    const SessionEnvironment environment{};
    const auto peer = KeyStore::system().generateP256()->publicKey();
    for (auto _ : state) {
        state.PauseTiming();
        const std::shared_ptr<const P256KeyAgreementKey> a = KeyStore::system().generateP256();
        state.ResumeTiming();
        PFSChatSession session(environment, a, peer, roomCode);
        benchmark::DoNotOptimize(session.authCiphertext().data());
    }
}
BENCHMARK(SessionCreationFirstWithPeer)->Unit(benchmark::kMicrosecond);

void TwoSidedHandshake(benchmark::State& state) {
    // Each side keeps its epoch file in its own directory, as two machines would.
    const SessionEnvironment environmentA{};
    const SessionEnvironment environmentB{};
    const Identities ids;
    const auto publicA = ids.a->publicKey(), publicB = ids.b->publicKey();
    for (auto _ : state) {
        PFSChatSession a(environmentA, ids.a, publicB, roomCode);
        PFSChatSession b(environmentB, ids.b, publicA, roomCode);
        a.completeHandshake(b.authCiphertext(), b.authEncapKey(), b.mlkemPublicKeyData(), benchTime);
        b.completeHandshake(a.authCiphertext(), a.authEncapKey(), a.mlkemPublicKeyData(), benchTime);
        PFSChatSession& initiator = *a.isInitiator() ? a : b;
        PFSChatSession& responder = *a.isInitiator() ? b : a;
        const Bytes ciphertext = initiator.performPQKeyExchange();
        responder.completePQKeyExchange(ciphertext, benchTime);
        initiator.completePQInitiator(benchTime);
        benchmark::DoNotOptimize(initiator.localKeyConfirmation()->data());
    }
}
BENCHMARK(TwoSidedHandshake)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace duoquill

BENCHMARK_MAIN();
