#pragma once
// Little-endian packing of 256 values of d bits each into 32 * d bytes, as the byte encodings
// of ML-KEM and ML-DSA lay them out. Eight values fill exactly d bytes; each group of eight
// is packed with constant shifts, so the time never depends on the values.
// Internal to the post-quantum implementations.

#include <cstddef>
#include <cstdint>

namespace duoquill::pq {

template <int d, class Value>
[[gnu::always_inline]] inline void packGroup(const Value* v, std::uint8_t* out) noexcept {
    static_assert(d >= 1 && d <= 32);
    std::uint64_t words[5] = {0, 0, 0, 0, 0};
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        const int bit = d * i;
        const auto value = static_cast<std::uint64_t>(static_cast<std::uint32_t>(v[i]));
        words[bit / 64] |= value << (bit % 64);
        if (bit % 64 + d > 64) words[bit / 64 + 1] |= value >> (64 - bit % 64);
    }
#pragma GCC unroll 32
    for (int b = 0; b < d; ++b) out[b] = static_cast<std::uint8_t>(words[b / 8] >> (8 * (b % 8)));
}

template <int d, class Value>
[[gnu::always_inline]] inline void unpackGroup(const std::uint8_t* in, Value* v) noexcept {
    static_assert(d >= 1 && d <= 32);
    std::uint64_t words[5] = {0, 0, 0, 0, 0};
#pragma GCC unroll 32
    for (int b = 0; b < d; ++b) words[b / 8] |= static_cast<std::uint64_t>(in[b]) << (8 * (b % 8));
    constexpr std::uint64_t mask = (std::uint64_t{1} << d) - 1;
#pragma GCC unroll 8
    for (int i = 0; i < 8; ++i) {
        const int bit = d * i;
        std::uint64_t value = words[bit / 64] >> (bit % 64);
        if (bit % 64 + d > 64) value |= words[bit / 64 + 1] << (64 - bit % 64);
        v[i] = static_cast<Value>(value & mask);
    }
}

// 256 values, each below 2^d, into 32 * d bytes.
template <int d, class Value>
inline void packBits(const Value* values, std::uint8_t* out) noexcept {
    for (std::size_t g = 0; g < 32; ++g) packGroup<d>(values + 8 * g, out + d * g);
}

template <int d, class Value>
inline void unpackBits(const std::uint8_t* in, Value* values) noexcept {
    for (std::size_t g = 0; g < 32; ++g) unpackGroup<d>(in + d * g, values + 8 * g);
}

}  // namespace duoquill::pq
