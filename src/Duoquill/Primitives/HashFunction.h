#pragma once
// The SHA-2 functions that HKDF and HMAC run over.

namespace duoquill {

enum class HashFunction { sha256, sha512 };

}  // namespace duoquill
