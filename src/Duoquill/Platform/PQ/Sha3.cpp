#include "Duoquill/Platform/PQ/Sha3.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <stdexcept>

namespace duoquill::sha3 {
namespace {

// Rotation offsets of rho, indexed by lane x + 5y, from the walk (x, y) -> (y, 2x + 3y).
constexpr std::array<int, 25> rhoOffsets = [] {
    std::array<int, 25> r{};
    int x = 1, y = 0;
    for (int t = 0; t < 24; ++t) {
        r[x + 5 * y] = ((t + 1) * (t + 2) / 2) % 64;
        const int nx = y;
        y = (2 * x + 3 * y) % 5;
        x = nx;
    }
    return r;
}();

// Round constants of iota, from the degree-8 LFSR rc(t).
constexpr std::array<std::uint64_t, 24> roundConstants = [] {
    std::array<std::uint64_t, 24> rc{};
    std::uint8_t lfsr = 1;
    auto nextBit = [&lfsr] {
        const bool bit = lfsr & 1;
        lfsr = static_cast<std::uint8_t>((lfsr << 1) ^ ((lfsr & 0x80) ? 0x71 : 0));
        return bit;
    };
    for (int round = 0; round < 24; ++round) {
        for (int j = 0; j < 7; ++j) {
            if (nextBit()) rc[round] |= std::uint64_t{1} << ((1 << j) - 1);
        }
    }
    return rc;
}();

// Lane index that pi moves lane i to: (x, y) -> (y, 2x + 3y).
constexpr int piTarget(int i) {
    const int x = i % 5, y = i / 5;
    return y + 5 * ((2 * x + 3 * y) % 5);
}

inline void keccakRound(std::array<std::uint64_t, 25>& a, std::uint64_t rc) noexcept {
    std::uint64_t c[5], d[5], b[25];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5] ^ std::rotl(c[(x + 1) % 5], 1);
#pragma GCC unroll 25
    for (int i = 0; i < 25; ++i) b[piTarget(i)] = std::rotl(a[i] ^ d[i % 5], rhoOffsets[i]);
#pragma GCC unroll 5
    for (int y = 0; y < 25; y += 5) {
#pragma GCC unroll 5
        for (int x = 0; x < 5; ++x) {
            a[y + x] = b[y + x] ^ (~b[y + (x + 1) % 5] & b[y + (x + 2) % 5]);
        }
    }
    a[0] ^= rc;
}

}  // namespace

void keccakF1600(std::array<std::uint64_t, 25>& state) noexcept {
    for (std::uint64_t rc : roundConstants) keccakRound(state, rc);
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
        auto* bytes = reinterpret_cast<std::uint8_t*>(state_.data()) + position_;
        for (std::size_t i = 0; i < data.size(); ++i) bytes[i] ^= data[i];
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
