// Speed of the OpenSSL-backed primitives and of HPKE as the handshake uses them.

#include <benchmark/benchmark.h>

#include "Duoquill/Primitives/AesGcm.h"
#include "Duoquill/Primitives/Hkdf.h"
#include "Duoquill/Primitives/Hpke.h"
#include "Duoquill/Primitives/P256.h"
#include "Duoquill/Primitives/Random.h"
#include "Duoquill/Keys/SoftwareP256Key.h"

namespace duoquill {
namespace {

void P256KeyGeneration(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(p256::PrivateKey::generate());
}
BENCHMARK(P256KeyGeneration);

void P256Ecdh(benchmark::State& state) {
    const auto own = p256::PrivateKey::generate();
    const auto peer = p256::PrivateKey::generate().publicKey();
    for (auto _ : state) benchmark::DoNotOptimize(own.sharedSecret(peer));
}
BENCHMARK(P256Ecdh);

void P256ImportRaw(benchmark::State& state) {
    const Bytes raw = p256::PrivateKey::generate().publicKey().raw();
    for (auto _ : state) benchmark::DoNotOptimize(p256::PublicKey::fromRaw(raw));
}
BENCHMARK(P256ImportRaw);

void HkdfSha512To32Bytes(benchmark::State& state) {
    const SecureBytes ikm = random::bytes(32);
    const Bytes info(144, 'i');
    for (auto _ : state) benchmark::DoNotOptimize(hkdf::derive(HashFunction::sha512, ikm, {}, info, 32));
}
BENCHMARK(HkdfSha512To32Bytes);

void AesGcmSeal(benchmark::State& state) {
    const SecureBytes key = random::bytes(aesgcm::keySize);
    const Bytes nonce(aesgcm::nonceSize, 1), aad(73, 2);
    const Bytes plaintext(static_cast<std::size_t>(state.range(0)), 3);
    for (auto _ : state) benchmark::DoNotOptimize(aesgcm::seal(key, nonce, plaintext, aad));
    state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations()) * state.range(0));
}
BENCHMARK(AesGcmSeal)->Arg(272)->Arg(1560);

// The deniable-authentication exchange: mode_psk, 144-byte info, 64 bytes sealed.
struct HpkeSetting {
    SoftwareP256Key recipient{p256::PrivateKey::generate()};
    p256::PublicKey recipientPublic = recipient.publicKey();
    Bytes info = Bytes(144, 'i');
    SecureBytes psk = random::bytes(32);
    Bytes pskId = Bytes(23, 'p');
    Bytes message = Bytes(64, 'm');
    hpke::KeySchedule schedule() const { return {hpke::Mode::psk, info, psk, pskId}; }
};

void HpkeSenderSetupAndSeal(benchmark::State& state) {
    const HpkeSetting s;
    for (auto _ : state) {
        auto sender = hpke::SenderContext::setup(s.recipientPublic, s.schedule());
        benchmark::DoNotOptimize(sender.seal({}, s.message));
    }
}
BENCHMARK(HpkeSenderSetupAndSeal);

void HpkeRecipientSetupAndOpen(benchmark::State& state) {
    const HpkeSetting s;
    auto sender = hpke::SenderContext::setup(s.recipientPublic, s.schedule());
    const Bytes sealed = sender.seal({}, s.message);
    for (auto _ : state) {
        auto recipient = hpke::RecipientContext::setup(sender.encapsulatedKey(), s.recipient, s.schedule());
        benchmark::DoNotOptimize(recipient.open({}, sealed));
    }
}
BENCHMARK(HpkeRecipientSetupAndOpen);

}  // namespace
}  // namespace duoquill

BENCHMARK_MAIN();
