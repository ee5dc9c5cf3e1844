#pragma once
// P-256 key agreement (OpenSSL EVP). Keys are immutable values; copies share the
// underlying key object. Each key keeps its point's encoding beside it: asking OpenSSL for
// it again means a field inversion per call. A public key of our own making gets its key
// object only when an ECDH first needs it: most are only ever encoded.

#include <array>
#include <memory>

#include "Duoquill/Base/SecureBytes.h"

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

    // The key object; throws CryptoError if it cannot be made.
    evp_pkey_st* native() const;

    // The key object of a validated point, made now or (nothing) on first use; `x963` is the
    // point, 04||X||Y.
    struct Native;
    PublicKey(std::shared_ptr<Native> native, const std::array<std::uint8_t, x963Size>& x963)
        : native_(std::move(native)), x963_(x963) {}

private:
    std::shared_ptr<Native> native_;
    std::array<std::uint8_t, x963Size> x963_{};
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
    // publicKey().x963() without making a key object.
    Bytes publicX963() const;

    // ECDH: the 32-byte x-coordinate of the shared point. Throws CryptoError.
    SecureBytes sharedSecret(const PublicKey& peer) const;

    evp_pkey_st* native() const noexcept { return key_.get(); }
    explicit PrivateKey(std::shared_ptr<evp_pkey_st> key);

private:
    std::shared_ptr<evp_pkey_st> key_;
    std::array<std::uint8_t, x963Size> publicX963_{};
};

}  // namespace duoquill::p256
