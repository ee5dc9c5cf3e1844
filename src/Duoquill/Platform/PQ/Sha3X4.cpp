#include "Duoquill/Platform/PQ/Sha3X4.h"

#include <bit>
#include <cstring>
#include <stdexcept>

// Vectors pass between inlined helpers only, never across a call, so the note that 32-byte
// vectors are passed differently with and without AVX does not apply.
#if defined(__GNUC__) && !defined(__clang__)
#pragma GCC diagnostic ignored "-Wpsabi"
#endif
#include "Duoquill/Platform/PQ/KeccakRound.h"
#include "Duoquill/Platform/PQ/VectorBackend.h"

namespace duoquill::sha3 {
namespace {

constexpr std::uint8_t shakeSuffix = 0x1F;

// Four 64-bit lanes in one vector: two SSE2 registers on the x86-64 baseline, one AVX2
// register when compiled for it. A vector may alias its element type.
typedef std::uint64_t Lanes4 __attribute__((vector_size(32)));
static_assert(sizeof(KeccakX4State) == 25 * sizeof(Lanes4) && alignof(KeccakX4State) >= alignof(Lanes4));

// In place, so that no copy of the states is left on the stack.
[[gnu::always_inline]] inline void permute(KeccakX4State& state) noexcept {
    auto* a = reinterpret_cast<Lanes4*>(state.lanes);
    for (std::uint64_t rc : keccak::roundConstants) keccak::round(a, rc);
}

void permutePortable(KeccakX4State& state) noexcept { permute(state); }

#if defined(__x86_64__) && defined(__GNUC__)
[[gnu::target("avx2")]] void permuteAvx2(KeccakX4State& state) noexcept { permute(state); }
#else
void permuteAvx2(KeccakX4State& state) noexcept { permute(state); }
#endif

}  // namespace

void keccakF1600X4(KeccakX4State& state) noexcept {
    if (pq::vectorBackend() == pq::VectorBackend::avx2) {
        permuteAvx2(state);
    } else {
        permutePortable(state);
    }
}

SpongeX4::SpongeX4(std::size_t rateBytes, const std::array<BytesView, 4>& inputs) : rate_(rateBytes) {
    const std::size_t length = inputs[0].size();
    for (const auto& input : inputs) {
        if (input.size() != length) throw std::invalid_argument("SpongeX4: inputs of different lengths");
    }
    auto xorByte = [this](std::size_t s, std::size_t position, std::uint8_t b) {
        state_.lanes[position / 8][s] ^= std::uint64_t{b} << (8 * (position % 8));
    };
    std::size_t position = 0;
    for (std::size_t i = 0; i < length; ++i) {
        for (std::size_t s = 0; s < 4; ++s) xorByte(s, position, inputs[s][i]);
        if (++position == rate_) {
            keccakF1600X4(state_);
            position = 0;
        }
    }
    for (std::size_t s = 0; s < 4; ++s) {
        xorByte(s, position, shakeSuffix);
        xorByte(s, rate_ - 1, 0x80);
    }
}

SpongeX4::~SpongeX4() { secureWipe(&state_, sizeof state_); }

void SpongeX4::squeezeBlocks(const std::array<std::uint8_t*, 4>& out, std::size_t blocks) noexcept {
    for (std::size_t block = 0; block < blocks; ++block) {
        keccakF1600X4(state_);
        for (std::size_t s = 0; s < 4; ++s) {
            std::uint8_t* o = out[s] + block * rate_;
            for (std::size_t lane = 0; lane < rate_ / 8; ++lane) {
                std::uint64_t v = state_.lanes[lane][s];
                if constexpr (std::endian::native == std::endian::big) v = __builtin_bswap64(v);
                std::memcpy(o + 8 * lane, &v, 8);
            }
        }
    }
}

}  // namespace duoquill::sha3
