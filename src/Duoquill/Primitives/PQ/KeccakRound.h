#pragma once
// Keccak-f[1600] over any lane type with 64-bit shifts and bitwise operators: a 64-bit
// integer for one state, or a vector of them for several states at once.
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

// The lane that pi moves to lane x + 5y: pi takes (x', y') to (y', 2x' + 3y'), so
// x' = (x + 3y) mod 5 and y' = x.
constexpr int piSource(int x, int y) { return (x + 3 * y) % 5 + 5 * x; }

// Rotation by shifts; a rotation by one adds the lane to itself, which more vector units
// can do than shift.
struct ShiftRotation {
    template <int n, class Lane>
    [[gnu::always_inline]] static inline Lane left(Lane x) noexcept {
        if constexpr (n == 0) {
            return x;
        } else if constexpr (n == 1) {
            return static_cast<Lane>((x + x) | (x >> 63));
        } else {
            return static_cast<Lane>((x << n) | (x >> (64 - n)));
        }
    }
};

// Theta's effect d, rho, pi, chi and iota for the output plane y: e[5y .. 5y + 4] from a,
// and the plane added into c, the column parities of the next round's theta.
template <int y, class Rotation, class Lane>
[[gnu::always_inline]] inline void plane(const Lane* a, Lane* e, const Lane* d, Lane* c, std::uint64_t rc) noexcept {
    constexpr int i0 = piSource(0, y), i1 = piSource(1, y), i2 = piSource(2, y), i3 = piSource(3, y),
                  i4 = piSource(4, y);
    const Lane b0 = Rotation::template left<rhoOffsets[i0]>(static_cast<Lane>(a[i0] ^ d[i0 % 5]));
    const Lane b1 = Rotation::template left<rhoOffsets[i1]>(static_cast<Lane>(a[i1] ^ d[i1 % 5]));
    const Lane b2 = Rotation::template left<rhoOffsets[i2]>(static_cast<Lane>(a[i2] ^ d[i2 % 5]));
    const Lane b3 = Rotation::template left<rhoOffsets[i3]>(static_cast<Lane>(a[i3] ^ d[i3 % 5]));
    const Lane b4 = Rotation::template left<rhoOffsets[i4]>(static_cast<Lane>(a[i4] ^ d[i4 % 5]));
    Lane e0 = b0 ^ (~b1 & b2);
    if constexpr (y == 0) e0 ^= rc;
    const Lane e1 = b1 ^ (~b2 & b3), e2 = b2 ^ (~b3 & b4), e3 = b3 ^ (~b4 & b0), e4 = b4 ^ (~b0 & b1);
    e[5 * y] = e0;
    e[5 * y + 1] = e1;
    e[5 * y + 2] = e2;
    e[5 * y + 3] = e3;
    e[5 * y + 4] = e4;
    if constexpr (y == 0) {
        c[0] = e0, c[1] = e1, c[2] = e2, c[3] = e3, c[4] = e4;
    } else {
        c[0] ^= e0, c[1] ^= e1, c[2] ^= e2, c[3] ^= e3, c[4] ^= e4;
    }
}

// One round from a into e, plane by plane, so that few lanes are live at a time; c holds
// the column parities of a on entry and those of e on return.
template <class Rotation, class Lane>
[[gnu::always_inline]] inline void round(const Lane* a, Lane* e, Lane* c, std::uint64_t rc) noexcept {
    Lane d[5];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) d[x] = c[(x + 4) % 5] ^ Rotation::template left<1>(c[(x + 1) % 5]);
    plane<0, Rotation>(a, e, d, c, rc);
    plane<1, Rotation>(a, e, d, c, rc);
    plane<2, Rotation>(a, e, d, c, rc);
    plane<3, Rotation>(a, e, d, c, rc);
    plane<4, Rotation>(a, e, d, c, rc);
}

// The 24 rounds, alternating between the state and the lanes of the round in flight, which
// the compiler keeps in registers and spill slots (as it does any round's temporaries); an
// even number of rounds ends in the state.
template <class Rotation = ShiftRotation, class Lane>
[[gnu::always_inline]] inline void permute(Lane* state) noexcept {
    Lane e[25], c[5];
#pragma GCC unroll 5
    for (int x = 0; x < 5; ++x) c[x] = state[x] ^ state[x + 5] ^ state[x + 10] ^ state[x + 15] ^ state[x + 20];
    for (std::size_t r = 0; r < roundConstants.size(); r += 2) {
        round<Rotation>(state, e, c, roundConstants[r]);
        round<Rotation>(static_cast<const Lane*>(e), state, c, roundConstants[r + 1]);
    }
}

}  // namespace duoquill::sha3::keccak
