#include "Duoquill/Primitives/PQ/Sha3X4.h"

#include <bit>
#include <cstring>
#include <stdexcept>

// Vectors pass between inlined helpers only, never across a call, so the note that 32-byte
// vectors are passed differently with and without AVX does not apply.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
#if defined(__x86_64__) && defined(__GNUC__)
#include <immintrin.h>
#endif
#include "Duoquill/Primitives/PQ/KeccakRound.h"
#include "Duoquill/Primitives/PQ/VectorBackend.h"

namespace duoquill::sha3 {
namespace {

constexpr std::uint8_t shakeSuffix = 0x1F;

// Four 64-bit lanes in one vector: two SSE2 registers on the x86-64 baseline, one AVX2
// register when compiled for it. A vector may alias its element type.
typedef std::uint64_t Lanes4 __attribute__((vector_size(32)));
typedef std::uint8_t Bytes32 __attribute__((vector_size(32)));
static_assert(sizeof(KeccakX4State) == 25 * sizeof(Lanes4) && alignof(KeccakX4State) >= alignof(Lanes4));

// With AVX2 a rotation by a whole number of bytes is one byte shuffle rather than two
// shifts and an or.
struct ByteShuffleRotation {
    template <int n>
    [[gnu::always_inline]] static inline Lanes4 left(Lanes4 x) noexcept {
#if defined(__clang__)
        // Clang lacks GCC's generic shuffle; its builds (the fuzzers) keep the shifts.
        return keccak::ShiftRotation::left<n>(x);
#else
        if constexpr (n == 8 || n == 56) {
            constexpr int s = n == 8 ? 7 : 1;   // byte b of each lane comes from byte b - n / 8
            constexpr Bytes32 from = {
                (0 + s) % 8,      (1 + s) % 8,      (2 + s) % 8,      (3 + s) % 8,      (4 + s) % 8,
                (5 + s) % 8,      (6 + s) % 8,      (7 + s) % 8,      8 + (0 + s) % 8,  8 + (1 + s) % 8,
                8 + (2 + s) % 8,  8 + (3 + s) % 8,  8 + (4 + s) % 8,  8 + (5 + s) % 8,  8 + (6 + s) % 8,
                8 + (7 + s) % 8,  16 + (0 + s) % 8, 16 + (1 + s) % 8, 16 + (2 + s) % 8, 16 + (3 + s) % 8,
                16 + (4 + s) % 8, 16 + (5 + s) % 8, 16 + (6 + s) % 8, 16 + (7 + s) % 8, 24 + (0 + s) % 8,
                24 + (1 + s) % 8, 24 + (2 + s) % 8, 24 + (3 + s) % 8, 24 + (4 + s) % 8, 24 + (5 + s) % 8,
                24 + (6 + s) % 8, 24 + (7 + s) % 8};
            return reinterpret_cast<Lanes4>(__builtin_shuffle(reinterpret_cast<Bytes32>(x), from));
        } else {
            return keccak::ShiftRotation::left<n>(x);
        }
#endif
    }
};

// In place, so that no copy of the states is left on the stack beyond the round in flight.
void permutePortable(KeccakX4State& state) noexcept {
    keccak::permute(reinterpret_cast<Lanes4*>(state.lanes));
}

// Block b of state s to out[s] + b * rate: lane i of state s is state.lanes[i][s].
void extractPortable(const KeccakX4State& state, const std::array<std::uint8_t*, 4>& out, std::size_t offset,
                     std::size_t lanes) noexcept {
    for (std::size_t s = 0; s < 4; ++s) {
        std::uint8_t* o = out[s] + offset;
        for (std::size_t lane = 0; lane < lanes; ++lane) {
            std::uint64_t v = state.lanes[lane][s];
            if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
            std::memcpy(o + 8 * lane, &v, 8);
        }
    }
}

// Two shifts and an or, which the compiler turns into one rotation where AVX-512 has it.
struct PlainRotation {
    template <int n>
    [[gnu::always_inline]] static inline Lanes4 left(Lanes4 x) noexcept {
        if constexpr (n == 0) {
            return x;
        } else {
            return (x << n) | (x >> (64 - n));
        }
    }
};

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void permuteAvx2(KeccakX4State& state) noexcept {
    keccak::permute<ByteShuffleRotation>(reinterpret_cast<Lanes4*>(state.lanes));
}

// The same rounds: rotations become vprolq and chi's a ^ (~b & c) one vpternlogq.
[[gnu::target("avx2,avx512f,avx512vl")]] void permuteAvx512(KeccakX4State& state) noexcept {
    keccak::permute<PlainRotation>(reinterpret_cast<Lanes4*>(state.lanes));
}

// One state in the first of four lanes: with vprolq and vpternlogq that beats the scalar
// rounds by a fifth, and all 25 lanes fit the 32 vector registers.
[[gnu::target("avx2,avx512f,avx512vl")]] void permuteOneAvx512(std::array<std::uint64_t, 25>& state) noexcept {
    Lanes4 lanes[25];
    for (std::size_t i = 0; i < 25; ++i) lanes[i] = Lanes4{state[i], 0, 0, 0};
    keccak::permute<PlainRotation>(lanes);
    for (std::size_t i = 0; i < 25; ++i) state[i] = lanes[i][0];
    secureWipe(lanes, sizeof lanes);
}

// Four lanes of the four states at a time, transposed in registers.
[[gnu::target("avx2")]] void extractAvx2(const KeccakX4State& state, const std::array<std::uint8_t*, 4>& out,
                                         std::size_t offset, std::size_t lanes) noexcept {
    std::size_t lane = 0;
    for (; lane + 4 <= lanes; lane += 4) {
        const auto* in = reinterpret_cast<const __m256i*>(state.lanes[lane]);
        const __m256i l0 = _mm256_load_si256(in), l1 = _mm256_load_si256(in + 1);
        const __m256i l2 = _mm256_load_si256(in + 2), l3 = _mm256_load_si256(in + 3);
        const __m256i t0 = _mm256_unpacklo_epi64(l0, l1), t1 = _mm256_unpackhi_epi64(l0, l1);
        const __m256i t2 = _mm256_unpacklo_epi64(l2, l3), t3 = _mm256_unpackhi_epi64(l2, l3);
        const std::size_t at = offset + 8 * lane;
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[0] + at), _mm256_permute2x128_si256(t0, t2, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[1] + at), _mm256_permute2x128_si256(t1, t3, 0x20));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[2] + at), _mm256_permute2x128_si256(t0, t2, 0x31));
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(out[3] + at), _mm256_permute2x128_si256(t1, t3, 0x31));
    }
    for (; lane < lanes; ++lane) {
        for (std::size_t s = 0; s < 4; ++s) std::memcpy(out[s] + offset + 8 * lane, &state.lanes[lane][s], 8);
    }
}
#else
void permuteAvx2(KeccakX4State& state) noexcept { permutePortable(state); }
void permuteAvx512(KeccakX4State& state) noexcept { permutePortable(state); }
void permuteOneAvx512(std::array<std::uint64_t, 25>&) noexcept {}
void extractAvx2(const KeccakX4State& state, const std::array<std::uint8_t*, 4>& out, std::size_t offset,
                 std::size_t lanes) noexcept {
    extractPortable(state, out, offset, lanes);
}
#endif

void permute(KeccakX4State& state, pq::VectorBackend backend) noexcept {
    switch (backend) {
        case pq::VectorBackend::avx512: return permuteAvx512(state);
        case pq::VectorBackend::avx2: return permuteAvx2(state);
        case pq::VectorBackend::portable: return permutePortable(state);
    }
}

}  // namespace

void keccakF1600X4(KeccakX4State& state) noexcept { permute(state, pq::vectorBackend()); }

bool keccakF1600OnVectorUnit(std::array<std::uint64_t, 25>& state) noexcept {
    if (pq::vectorBackend() != pq::VectorBackend::avx512) return false;
    permuteOneAvx512(state);
    return true;
}

SpongeX4::SpongeX4(std::size_t rateBytes, const std::array<BytesView, 4>& inputs) : rate_(rateBytes) {
    restart(inputs);
}

void SpongeX4::restart(const std::array<BytesView, 4>& inputs) {
    const std::size_t length = inputs[0].size();
    for (const auto& input : inputs) {
        if (input.size() != length) throw std::invalid_argument("SpongeX4: inputs of different lengths");
    }
    state_ = {};
    // Whole lanes of the inputs as little-endian words, then the bytes of a last partial lane.
    std::size_t done = 0;
    while (length - done >= rate_) {
        for (std::size_t s = 0; s < 4; ++s) {
            for (std::size_t lane = 0; lane < rate_ / 8; ++lane) {
                std::uint64_t v;
                std::memcpy(&v, inputs[s].data() + done + 8 * lane, 8);
                if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
                state_.lanes[lane][s] ^= v;
            }
        }
        keccakF1600X4(state_);
        done += rate_;
    }
    const std::size_t rest = length - done;
    for (std::size_t s = 0; s < 4; ++s) {
        std::uint8_t last[8] = {};
        std::size_t lane = 0;
        for (; 8 * lane + 8 <= rest; ++lane) {
            std::uint64_t v;
            std::memcpy(&v, inputs[s].data() + done + 8 * lane, 8);
            if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
            state_.lanes[lane][s] ^= v;
        }
        const std::size_t tail = rest - 8 * lane;
        if (tail != 0) std::memcpy(last, inputs[s].data() + done + 8 * lane, tail);
        last[tail] = shakeSuffix;
        std::uint64_t v = 0;
        for (int b = 7; b >= 0; --b) v = (v << 8) | last[b];
        state_.lanes[lane][s] ^= v;
        state_.lanes[rate_ / 8 - 1][s] ^= std::uint64_t{0x80} << 56;
        secureWipe(last, sizeof last);
    }
}

SpongeX4::~SpongeX4() { secureWipe(&state_, sizeof state_); }

void SpongeX4::squeezeBlocks(const std::array<std::uint8_t*, 4>& out, std::size_t blocks) noexcept {
    const auto backend = pq::vectorBackend();
    for (std::size_t block = 0; block < blocks; ++block) {
        permute(state_, backend);
        if (backend == pq::VectorBackend::portable) {
            extractPortable(state_, out, block * rate_, rate_ / 8);
        } else {
            extractAvx2(state_, out, block * rate_, rate_ / 8);
        }
    }
}

}  // namespace duoquill::sha3
