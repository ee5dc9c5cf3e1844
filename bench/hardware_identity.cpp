// What an identity in hardware costs: keygen, one identity ECDH, and the whole two-sided
// handshake with one side's identity in a TPM (swtpm) or on a token (SoftHSM2), against the
// same with software identities. Both devices are software stand-ins: a hardware TPM or token
// is slower (see the README).

#include <benchmark/benchmark.h>

#include <cstdlib>

#include "Duoquill/Keys/Hardware/Pkcs11KeyStore.h"
#include "Duoquill/Keys/Hardware/TpmKeyStore.h"
#include "Duoquill/Session/PFSChatSession.h"
#include "Duoquill/Session/SessionEnvironment.h"
#include "Kit/HardwareKeyStores.h"

namespace duoquill {
namespace {

// Sessions read no clock: every call is handed this moment.
constexpr Instant benchTime{1'700'000'000.0, 1000.0};

enum class Store { software, tpm, token };

// The store of one benchmark, with its device running for as long as it is used.
class Device {
public:
    explicit Device(Store kind) {
        switch (kind) {
        case Store::software:
            store_ = std::make_unique<SoftwareKeyStore>();
            break;
        case Store::tpm:
            tpm_ = std::make_unique<test::Swtpm>();
            ::setenv("TPM2OPENSSL_TCTI", tpm_->tcti().c_str(), 1);
            store_ = TpmKeyStore::open();
            break;
        case Store::token:
            token_ = std::make_unique<test::SoftHsmToken>("bench", "1234");
            ::setenv("SOFTHSM2_CONF", token_->configuration().c_str(), 1);
            Pkcs11KeyStore::setPinSource([](const std::string&) { return toSecure(asBytes("1234")); });
            store_ = Pkcs11KeyStore::open(test::SoftHsmToken::modulePath());
            break;
        }
    }
    P256KeyStore& store() { return *store_; }

private:
    std::unique_ptr<test::Swtpm> tpm_;
    std::unique_ptr<test::SoftHsmToken> token_;
    std::unique_ptr<P256KeyStore> store_;
};

bool usable(Store kind, benchmark::State& state) {
    const bool ok = kind == Store::software || (kind == Store::tpm ? test::Swtpm::available() : test::SoftHsmToken::available());
    if (!ok) state.SkipWithError("the device's software stand-in is not installed");
    return ok;
}

void Keygen(benchmark::State& state, Store kind) {
    if (!usable(kind, state)) return;
    Device device(kind);
    for (auto _ : state) benchmark::DoNotOptimize(device.store().generateP256()->publicKey().x963());
}

void IdentityEcdh(benchmark::State& state, Store kind) {
    if (!usable(kind, state)) return;
    Device device(kind);
    const auto key = device.store().generateP256();
    const auto peer = SoftwareKeyStore().generateP256()->publicKey();
    for (auto _ : state) benchmark::DoNotOptimize(key->sharedSecret(peer).data());
}

const std::string roomCode(128, 'c');

void TwoSidedHandshake(benchmark::State& state, Store kind) {
    if (!usable(kind, state)) return;
    Device device(kind);
    const SessionEnvironment environmentA{};
    const SessionEnvironment environmentB{};
    const std::shared_ptr<const P256KeyAgreementKey> a = device.store().generateP256();
    const std::shared_ptr<const P256KeyAgreementKey> b = SoftwareKeyStore().generateP256();
    const auto publicA = a->publicKey(), publicB = b->publicKey();
    for (auto _ : state) {
        PFSChatSession sideA(environmentA, a, publicB, roomCode);
        PFSChatSession sideB(environmentB, b, publicA, roomCode);
        sideA.completeHandshake(sideB.authCiphertext(), sideB.authEncapKey(), sideB.mlkemPublicKeyData(), benchTime);
        sideB.completeHandshake(sideA.authCiphertext(), sideA.authEncapKey(), sideA.mlkemPublicKeyData(), benchTime);
        PFSChatSession& initiator = *sideA.isInitiator() ? sideA : sideB;
        PFSChatSession& responder = *sideA.isInitiator() ? sideB : sideA;
        responder.completePQKeyExchange(initiator.performPQKeyExchange(), benchTime);
        initiator.completePQInitiator(benchTime);
        // The two sides agree, or the hardware's ECDH is not the software's.
        if (initiator.localKeyConfirmation() != responder.expectedPeerKeyConfirmation()) state.SkipWithError("sides disagree");
    }
}

BENCHMARK_CAPTURE(Keygen, software, Store::software)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Keygen, tpm, Store::tpm)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(Keygen, token, Store::token)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(IdentityEcdh, software, Store::software)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(IdentityEcdh, tpm, Store::tpm)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(IdentityEcdh, token, Store::token)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(TwoSidedHandshake, software, Store::software)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(TwoSidedHandshake, tpm, Store::tpm)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(TwoSidedHandshake, token, Store::token)->Unit(benchmark::kMicrosecond);

}  // namespace
}  // namespace duoquill

BENCHMARK_MAIN();
