#pragma once
// HKDF (RFC 5869) over SHA-256 or SHA-512. An absent salt is the empty salt.

#include "Duoquill/Platform/SecureBytes.h"

namespace duoquill {

enum class HashFunction { sha256, sha512 };

namespace hkdf {

SecureBytes extract(HashFunction hash, BytesView salt, BytesView ikm);

// Throws CryptoError when length exceeds 255 times the digest size.
SecureBytes expand(HashFunction hash, BytesView prk, BytesView info, std::size_t length);

// extract then expand.
SecureBytes derive(HashFunction hash, BytesView ikm, BytesView salt, BytesView info, std::size_t length);

}  // namespace hkdf
}  // namespace duoquill
