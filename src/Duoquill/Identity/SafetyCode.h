#pragma once
// The safety code two people read aloud to check that each holds the other's true identity key.
//
// SHA-512 over "duoquill-safety-code-v1" || len || A || len || B, where A and B are the two
// compressed public keys (33 bytes each) in ascending byte order and len is each key's length
// as two big-endian bytes. Each of the 12 groups of 5 digits is the next 5 bytes of the digest,
// read big-endian, modulo 100000 (bias below 1e-7). Sorting makes the code the same on both sides.

#include <string>
#include <string_view>

#include "Duoquill/Primitives/P256.h"

namespace duoquill::SafetyCode {

inline constexpr std::string_view label = "duoquill-safety-code-v1";
inline constexpr std::size_t groups = 12;
inline constexpr std::size_t digitsPerGroup = 5;

// 60 digits in 12 groups separated by single spaces.
std::string derive(const p256::PublicKey& ours, const p256::PublicKey& theirs);

}  // namespace duoquill::SafetyCode
