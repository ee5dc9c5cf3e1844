#pragma once
// HKDF (RFC 5869) over SHA-256 or SHA-512. An absent salt is the empty salt.

#include <memory>

#include "Duoquill/Primitives/HashFunction.h"
#include "Duoquill/Base/SecureBytes.h"

namespace duoquill {

namespace hkdf {

SecureBytes extract(HashFunction hash, BytesView salt, BytesView ikm);

// Throws CryptoError when length exceeds 255 times the digest size.
SecureBytes expand(HashFunction hash, BytesView prk, BytesView info, std::size_t length);

// extract then expand.
SecureBytes derive(HashFunction hash, BytesView ikm, BytesView salt, BytesView info, std::size_t length);

// derive() for callers that use one salt many times (a chain's salt per record): the salt's
// HMAC keying is kept and redone only when the salt changes. Same output as derive().
class SaltCache {
public:
    explicit SaltCache(HashFunction hash);
    ~SaltCache();
    SaltCache(SaltCache&&) noexcept;
    SaltCache& operator=(SaltCache&&) noexcept;

    SecureBytes derive(BytesView ikm, BytesView salt, BytesView info, std::size_t length);
    // The same, written to out (out.size() bytes) with no allocation: a chain step's new key
    // goes where the old one was. out may be ikm itself.
    void derive(BytesView ikm, BytesView salt, BytesView info, std::span<std::uint8_t> out);
    // Wipes the kept salt and keyed states.
    void clear() noexcept;

private:
    struct Keyed;
    HashFunction hash_;
    std::unique_ptr<Keyed> keyed_;
};

}  // namespace hkdf
}  // namespace duoquill
