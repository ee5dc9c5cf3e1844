#pragma once
// One round of Keccak-f[1600] over any lane type with 64-bit shifts and bitwise operators:
// a 64-bit integer for one state, or a vector of them for several states at once.
// Internal to the SHA-3 implementations.

#include <array>
#include <cstdint>

namespace duoquill::sha3::keccak {

// Rotation offsets of rho, indexed by lane x + 5y, from the walk (x, y) -> (y, 2x + 3y).
inline constexpr std::array<int, 25> rhoOffsets = [] {
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
inline constexpr std::array<std::uint64_t, 24> roundConstants = [] {
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

template <class Lane>
[[gnu::always_inline]] inline Lane rotateLeft(Lane x, int n) noexcept {
    return n == 0 ? x : static_cast<Lane>((x << n) | (x >> (64 - n)));
}

// Fully unrolled, so that every index and rotation is a constant.
template <class Lane>
[[gnu::always_inline]] inline void round(Lane* a, std::uint64_t rc) noexcept {
    Lane c[5], d[5], b[25];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) c[x] = a[x] ^ a[x + 5] ^ a[x + 10] ^ a[x + 15] ^ a[x + 20];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5] ^ rotateLeft(c[(x + 1) % 5], 1);
#pragma GCC unroll 25
    for (int i = 0; i < 25; ++i) b[piTarget(i)] = rotateLeft(a[i] ^ d[i % 5], rhoOffsets[i]);
#pragma GCC unroll 5
    for (int y = 0; y < 25; y += 5) {
#pragma GCC unroll 5
        for (int x = 0; x < 5; ++x) a[y + x] = b[y + x] ^ (~b[y + (x + 1) % 5] & b[y + (x + 2) % 5]);
    }
    a[0] ^= rc;
}

}  // namespace duoquill::sha3::keccak
