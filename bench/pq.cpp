// Post-quantum primitives: ML-KEM-1024 key generation, encapsulation and decapsulation,
// ML-DSA-87 key generation, and the Keccak permutation under them all.
// Run with --benchmark_repetitions=N --benchmark_report_aggregates_only=true for medians.

#include <benchmark/benchmark.h>

#include "Duoquill/Platform/KeyStore.h"
#include "Duoquill/Platform/PQ/MLDSA87.h"
#include "Duoquill/Platform/PQ/MLKEM1024.h"
#include "Duoquill/Platform/PQ/Sha3.h"
#include "Duoquill/Platform/PQ/Sha3X4.h"

namespace {

using namespace duoquill;

const Bytes seedD(32, 0x11), seedZ(32, 0x22), randomnessM(32, 0x33);

void keccakF1600(benchmark::State& state) {
    std::array<std::uint64_t, 25> lanes{};
    for (auto _ : state) {
        sha3::keccakF1600(lanes);
        benchmark::DoNotOptimize(lanes);
    }
}
BENCHMARK(keccakF1600);

// Four states at once; argument 0 is the portable backend, 1 the AVX2 one.
void keccakF1600X4(benchmark::State& state) {
    const auto backend = state.range(0) == 0 ? sha3::KeccakX4Backend::portable : sha3::KeccakX4Backend::avx2;
    const auto previous = sha3::keccakX4Backend();
    if (!sha3::useKeccakX4Backend(backend)) {
        state.SkipWithError("processor lacks AVX2");
        return;
    }
    sha3::KeccakX4State lanes{};
    for (auto _ : state) {
        sha3::keccakF1600X4(lanes);
        benchmark::DoNotOptimize(lanes);
    }
    sha3::useKeccakX4Backend(previous);
}
BENCHMARK(keccakF1600X4)->Arg(0)->Arg(1);

void mlkemKeyGenerationFromSeeds(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(mlkem1024::generateFromSeeds(seedD, seedZ));
}
BENCHMARK(mlkemKeyGenerationFromSeeds);

void mlkemKeyGeneration(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(mlkem1024::generate());
}
BENCHMARK(mlkemKeyGeneration);

void mlkemEncapsulation(benchmark::State& state) {
    const auto pair = mlkem1024::generateFromSeeds(seedD, seedZ);
    for (auto _ : state) benchmark::DoNotOptimize(mlkem1024::encapsulate(pair.encapsulationKey));
}
BENCHMARK(mlkemEncapsulation);

void mlkemEncapsulationWithRandomness(benchmark::State& state) {
    const auto pair = mlkem1024::generateFromSeeds(seedD, seedZ);
    for (auto _ : state) {
        benchmark::DoNotOptimize(mlkem1024::encapsulateWithRandomness(pair.encapsulationKey, randomnessM));
    }
}
BENCHMARK(mlkemEncapsulationWithRandomness);

void mlkemDecapsulation(benchmark::State& state) {
    const auto pair = mlkem1024::generateFromSeeds(seedD, seedZ);
    const auto sent = mlkem1024::encapsulateWithRandomness(pair.encapsulationKey, randomnessM);
    for (auto _ : state) {
        benchmark::DoNotOptimize(mlkem1024::decapsulate(pair.decapsulationKey, sent.ciphertext));
    }
}
BENCHMARK(mlkemDecapsulation);

void mlkemKeyStoreDecapsulation(benchmark::State& state) {
    const auto key = SoftwareKeyStore::mlkemFromSeed(seedD, seedZ);
    const auto sent = mlkem1024::encapsulateWithRandomness(key->publicKey(), randomnessM);
    for (auto _ : state) benchmark::DoNotOptimize(key->decapsulate(sent.ciphertext));
}
BENCHMARK(mlkemKeyStoreDecapsulation);

void mldsaKeyGenerationFromSeed(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(mldsa87::generateFromSeed(seedD));
}
BENCHMARK(mldsaKeyGenerationFromSeed);

void mldsaKeyGeneration(benchmark::State& state) {
    for (auto _ : state) benchmark::DoNotOptimize(mldsa87::generate());
}
BENCHMARK(mldsaKeyGeneration);

}  // namespace

BENCHMARK_MAIN();
