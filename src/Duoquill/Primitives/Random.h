#pragma once
// The secure random source (OpenSSL's DRBG, seeded by the kernel).

#include <cstdint>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::random {

// Fills the buffer; throws RandomSourceError when the source cannot deliver.
void fill(std::span<std::uint8_t> out);

SecureBytes bytes(std::size_t count);

// Uniform in [0, upperBound) without modulo bias. upperBound must be > 0.
std::uint32_t uniform(std::uint32_t upperBound);

}  // namespace duoquill::random
