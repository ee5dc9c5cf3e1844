#pragma once
// ML-DSA-87 (FIPS 204) key generation. The system never signs or verifies.

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::mldsa87 {

inline constexpr std::size_t publicKeySize = 2592;
inline constexpr std::size_t privateKeySize = 4896;
inline constexpr std::size_t seedSize = 32;

struct KeyPair {
    Bytes publicKey;          // pk, 2592 bytes
    SecureBytes privateKey;   // sk, 4896 bytes
};

KeyPair generate();
// ML-DSA.KeyGen_internal(xi); xi is 32 bytes, else CryptoError.
KeyPair generateFromSeed(BytesView xi);

}  // namespace duoquill::mldsa87
