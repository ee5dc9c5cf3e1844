#pragma once
// Unsigned big-endian integers of 1 to 8 bytes, the byte order of every length and counter
// on the wire.

#include <cstddef>
#include <cstdint>
#include <span>

namespace duoquill::bigendian {

// Appends the low `width` bytes of the value, most significant first.
template <class Container>
void append(Container& out, std::uint64_t value, std::size_t width) {
    for (std::size_t i = width; i-- > 0;) out.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
}

// Fills all of `out` (at most 8 bytes) with the low bytes of the value.
inline void write(std::span<std::uint8_t> out, std::uint64_t value) {
    for (std::size_t i = out.size(); i-- > 0; value >>= 8) out[i] = static_cast<std::uint8_t>(value);
}

// The value of all of `bytes` (at most 8).
inline std::uint64_t read(std::span<const std::uint8_t> bytes) {
    std::uint64_t value = 0;
    for (const std::uint8_t b : bytes) value = (value << 8) | b;
    return value;
}

}  // namespace duoquill::bigendian
