#pragma once
// ML-KEM-1024 (FIPS 203). Constant time in all secret data.

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::mlkem1024 {

inline constexpr std::size_t encapsulationKeySize = 1568;
inline constexpr std::size_t decapsulationKeySize = 3168;
inline constexpr std::size_t ciphertextSize = 1568;
inline constexpr std::size_t sharedSecretSize = 32;
inline constexpr std::size_t seedSize = 32;

struct KeyPair {
    Bytes encapsulationKey;          // ek, 1568 bytes
    SecureBytes decapsulationKey;    // dk, 3168 bytes
};

struct Encapsulation {
    SecureBytes sharedSecret;  // K, 32 bytes
    Bytes ciphertext;          // c, 1568 bytes
};

KeyPair generate();
// ML-KEM.KeyGen_internal(d, z); each seed 32 bytes, else CryptoError.
KeyPair generateFromSeeds(BytesView d, BytesView z);

// Runs the encapsulation-key check (length, modulus); throws CryptoError if it fails.
Encapsulation encapsulate(BytesView encapsulationKey);
// ML-KEM.Encaps_internal(ek, m) after the same check; m is 32 bytes.
Encapsulation encapsulateWithRandomness(BytesView encapsulationKey, BytesView m);

// Checks ciphertext and key lengths and the decapsulation-key hash (throws CryptoError),
// and decapsulates with implicit rejection. The hash is computed beside the re-encryption's
// sampling, so a key that fails it is refused after the decryption, with nothing returned.
SecureBytes decapsulate(BytesView decapsulationKey, BytesView ciphertext);

bool isValidEncapsulationKey(BytesView encapsulationKey);
bool isValidDecapsulationKey(BytesView decapsulationKey);

}  // namespace duoquill::mlkem1024
