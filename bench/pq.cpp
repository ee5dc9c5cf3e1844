// Post-quantum primitives: ML-KEM-1024 key generation, encapsulation and decapsulation,
// ML-DSA-87 key generation, and the Keccak permutations under them.
// The argument of each benchmark selects the vector backend: 0 portable, 1 AVX2, 2 AVX-512.
// Run with --benchmark_repetitions=N --benchmark_report_aggregates_only=true for medians.

#include <benchmark/benchmark.h>

#include "Duoquill/Keys/KeyStore.h"
#include "Duoquill/Primitives/PQ/MLDSA87.h"
#include "Duoquill/Primitives/PQ/MLKEM1024.h"
#include "Duoquill/Primitives/PQ/Sha3.h"
#include "Duoquill/Primitives/PQ/Sha3X4.h"
#include "Duoquill/Primitives/PQ/VectorBackend.h"

namespace {

using namespace duoquill;

const Bytes seedD(32, 0x11), seedZ(32, 0x22), randomnessM(32, 0x33);

// Selects the backend named by the benchmark's argument for its lifetime.
class BackendScope {
public:
    explicit BackendScope(benchmark::State& state) : previous_(pq::vectorBackend()) {
        const auto backend = static_cast<pq::VectorBackend>(state.range(0));
        available_ = pq::useVectorBackend(backend);
        if (!available_) state.SkipWithError("processor lacks the instructions of this backend");
    }
    ~BackendScope() { pq::useVectorBackend(previous_); }
    bool available() const { return available_; }

private:
    pq::VectorBackend previous_;
    bool available_ = false;
};

void keccakF1600(benchmark::State& state) {
    std::array<std::uint64_t, 25> lanes{};
    for (auto _ : state) {
        sha3::keccakF1600(lanes);
        benchmark::DoNotOptimize(lanes);
    }
}
BENCHMARK(keccakF1600);

void keccakF1600X4(benchmark::State& state) {
    const BackendScope scope(state);
    if (!scope.available()) return;
    sha3::KeccakX4State lanes{};
    for (auto _ : state) {
        sha3::keccakF1600X4(lanes);
        benchmark::DoNotOptimize(lanes);
    }
}
BENCHMARK(keccakF1600X4)->DenseRange(0, 2);

void mlkemKeyGeneration(benchmark::State& state) {
    const BackendScope scope(state);
    if (!scope.available()) return;
    for (auto _ : state) benchmark::DoNotOptimize(mlkem1024::generate());
}
BENCHMARK(mlkemKeyGeneration)->DenseRange(0, 2);

void mlkemEncapsulation(benchmark::State& state) {
    const BackendScope scope(state);
    if (!scope.available()) return;
    const auto pair = mlkem1024::generateFromSeeds(seedD, seedZ);
    for (auto _ : state) benchmark::DoNotOptimize(mlkem1024::encapsulate(pair.encapsulationKey));
}
BENCHMARK(mlkemEncapsulation)->DenseRange(0, 2);

// Includes the hash check of the decapsulation key.
void mlkemDecapsulation(benchmark::State& state) {
    const BackendScope scope(state);
    if (!scope.available()) return;
    const auto pair = mlkem1024::generateFromSeeds(seedD, seedZ);
    const auto sent = mlkem1024::encapsulateWithRandomness(pair.encapsulationKey, randomnessM);
    for (auto _ : state) {
        benchmark::DoNotOptimize(mlkem1024::decapsulate(pair.decapsulationKey, sent.ciphertext));
    }
}
BENCHMARK(mlkemDecapsulation)->DenseRange(0, 2);

void mlkemKeyStoreDecapsulation(benchmark::State& state) {
    const BackendScope scope(state);
    if (!scope.available()) return;
    const auto key = SoftwareKeyStore::mlkemFromSeed(seedD, seedZ);
    const auto sent = mlkem1024::encapsulateWithRandomness(key->publicKey(), randomnessM);
    for (auto _ : state) benchmark::DoNotOptimize(key->decapsulate(sent.ciphertext));
}
BENCHMARK(mlkemKeyStoreDecapsulation)->DenseRange(0, 2);

void mldsaKeyGeneration(benchmark::State& state) {
    const BackendScope scope(state);
    if (!scope.available()) return;
    for (auto _ : state) benchmark::DoNotOptimize(mldsa87::generate());
}
BENCHMARK(mldsaKeyGeneration)->DenseRange(0, 2);

}  // namespace

BENCHMARK_MAIN();
