#pragma once
// P-256 key agreement (OpenSSL EVP). Keys are immutable values; copies share the
// underlying key object.

#include <memory>

#include "Duoquill/Platform/SecureBytes.h"

struct evp_pkey_st;

namespace duoquill::p256 {

inline constexpr std::size_t rawSize = 64;         // X || Y
inline constexpr std::size_t compressedSize = 33;  // 02/03 || X
inline constexpr std::size_t x963Size = 65;        // 04 || X || Y
inline constexpr std::size_t scalarSize = 32;
inline constexpr std::size_t sharedSecretSize = 32;

class PublicKey {
public:
    // Each throws CryptoError unless the bytes have the right size and name a point on the curve.
    static PublicKey fromRaw(BytesView raw);
    static PublicKey fromCompressed(BytesView compressed);
    static PublicKey fromX963(BytesView uncompressed);

    Bytes raw() const;
    Bytes compressed() const;
    Bytes x963() const;

    evp_pkey_st* native() const noexcept { return key_.get(); }
    explicit PublicKey(std::shared_ptr<evp_pkey_st> key) : key_(std::move(key)) {}

private:
    std::shared_ptr<evp_pkey_st> key_;
};

class PrivateKey {
public:
    static PrivateKey generate();
    // A big-endian scalar in [1, n-1]; throws CryptoError otherwise.
    static PrivateKey fromScalar(BytesView scalar);
    // The opaque versioned blob made by blob(); throws CryptoError on anything else.
    static PrivateKey fromBlob(BytesView blob);

    SecureBytes blob() const;
    SecureBytes scalar() const;
    PublicKey publicKey() const;

    // ECDH: the 32-byte x-coordinate of the shared point. Throws CryptoError.
    SecureBytes sharedSecret(const PublicKey& peer) const;

    evp_pkey_st* native() const noexcept { return key_.get(); }
    explicit PrivateKey(std::shared_ptr<evp_pkey_st> key) : key_(std::move(key)) {}

private:
    std::shared_ptr<evp_pkey_st> key_;
};

}  // namespace duoquill::p256
