#include "Duoquill/Primitives/PQ/Sha3.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

#include "Duoquill/Primitives/PQ/KeccakRound.h"
#include "Duoquill/Primitives/PQ/Sha3X4.h"
#include "Duoquill/Primitives/PQ/VectorBackend.h"

namespace duoquill::sha3 {
namespace {

// On a copy of the state in a local array, which the compiler keeps in registers better
// than lanes behind a reference; the copy is wiped.
[[gnu::always_inline]] inline void permute(std::array<std::uint64_t, 25>& state) noexcept {
    std::uint64_t lanes[25];
    std::copy(state.begin(), state.end(), lanes);
    keccak::permute(lanes);
    std::copy(lanes, lanes + 25, state.begin());
    secureWipe(lanes, sizeof lanes);
}

void permuteBaseline(std::array<std::uint64_t, 25>& state) noexcept { permute(state); }

#if defined(__x86_64__) && defined(__GNUC__)
// With the AVX2 backend (VectorBackend.h, which also requires BMI1), on a processor with BMI2
// too: and-not for chi and rotations by constants without flags.
[[gnu::target("bmi,bmi2")]] void permuteBmi2(std::array<std::uint64_t, 25>& state) noexcept { permute(state); }

bool processorHasBmi2() noexcept {
    __builtin_cpu_init();   // this may run among the static constructors, before libgcc's own
    return __builtin_cpu_supports("bmi") && __builtin_cpu_supports("bmi2");
}

const bool hasBmi2 = processorHasBmi2();
#endif

}  // namespace

void keccakF1600(std::array<std::uint64_t, 25>& state) noexcept {
#if defined(__x86_64__) && defined(__GNUC__)
    if (keccakF1600OnVectorUnit(state)) return;
    if (hasBmi2 && pq::usesAvx2()) return permuteBmi2(state);
#endif
    permuteBaseline(state);
}

Sponge::Sponge(std::size_t rateBytes, std::uint8_t domainSuffix)
    : rate_(rateBytes), suffix_(domainSuffix) {
    if (rateBytes == 0 || rateBytes >= 200 || rateBytes % 8 != 0) {
        throw std::invalid_argument("Keccak sponge: rate must be a positive multiple of 8 below 200");
    }
}

Sponge::~Sponge() { secureWipe(state_.data(), sizeof state_); }

Sponge& Sponge::absorb(BytesView data) {
    if (squeezing_) throw std::logic_error("Keccak sponge: absorb after squeeze");
    while (!data.empty()) {
        const std::size_t n = std::min(rate_ - position_, data.size());
        xorIntoState(data.first(n));
        data = data.subspan(n);
        if (position_ == rate_) {
            keccakF1600(state_);
            position_ = 0;
        }
    }
    return *this;
}

void Sponge::xorIntoState(BytesView data) noexcept {
    if constexpr (std::endian::native == std::endian::little) {
        // Eight bytes at a time, then the rest one by one.
        auto* bytes = reinterpret_cast<std::uint8_t*>(state_.data()) + position_;
        std::size_t i = 0;
        for (; i + 8 <= data.size(); i += 8) {
            std::uint64_t lane, word;
            std::memcpy(&lane, bytes + i, 8);
            std::memcpy(&word, data.data() + i, 8);
            lane ^= word;
            std::memcpy(bytes + i, &lane, 8);
        }
        for (; i < data.size(); ++i) bytes[i] ^= data[i];
        position_ += data.size();
    } else {
        for (std::uint8_t b : data) {
            state_[position_ / 8] ^= std::uint64_t{b} << (8 * (position_ % 8));
            ++position_;
        }
    }
}

void Sponge::squeeze(std::span<std::uint8_t> out) {
    if (!squeezing_) {
        state_[position_ / 8] ^= std::uint64_t{suffix_} << (8 * (position_ % 8));
        state_[(rate_ - 1) / 8] ^= std::uint64_t{0x80} << (8 * ((rate_ - 1) % 8));
        keccakF1600(state_);
        position_ = 0;
        squeezing_ = true;
    }
    while (!out.empty()) {
        if (position_ == rate_) {
            keccakF1600(state_);
            position_ = 0;
        }
        const std::size_t n = std::min(rate_ - position_, out.size());
        if constexpr (std::endian::native == std::endian::little) {
            std::memcpy(out.data(), reinterpret_cast<const std::uint8_t*>(state_.data()) + position_, n);
            position_ += n;
        } else {
            for (std::size_t i = 0; i < n; ++i, ++position_) {
                out[i] = static_cast<std::uint8_t>(state_[position_ / 8] >> (8 * (position_ % 8)));
            }
        }
        out = out.subspan(n);
    }
}

std::array<std::uint8_t, 32> sha3_256(BytesView data) {
    std::array<std::uint8_t, 32> digest;
    Sha3_256().absorb(data).squeeze(digest);
    return digest;
}

std::array<std::uint8_t, 64> sha3_512(BytesView data) {
    std::array<std::uint8_t, 64> digest;
    Sha3_512().absorb(data).squeeze(digest);
    return digest;
}

}  // namespace duoquill::sha3
