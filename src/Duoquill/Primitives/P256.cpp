#include "Duoquill/Primitives/P256.h"

#include <openssl/core_names.h>
#include <openssl/err.h>

#include <algorithm>
#include <array>
#include <bit>
#include <mutex>

#include "Duoquill/Primitives/OpenSslHandles.h"
#include "Duoquill/Base/PlatformError.h"

namespace duoquill::p256 {

struct PublicKey::Native {
    std::once_flag made;
    openssl::PKey key;
};

namespace {

constexpr std::uint8_t uncompressedTag = 0x04;
constexpr std::uint8_t compressedEvenTag = 0x02;
constexpr std::uint8_t compressedOddTag = 0x03;
constexpr char groupName[] = "P-256";

// The group order n, big-endian.
constexpr std::array<std::uint8_t, scalarSize> groupOrder = {
    0xff, 0xff, 0xff, 0xff, 0x00, 0x00, 0x00, 0x00, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff, 0xff,
    0xbc, 0xe6, 0xfa, 0xad, 0xa7, 0x17, 0x9e, 0x84, 0xf3, 0xb9, 0xca, 0xc2, 0xfc, 0x63, 0x25, 0x51,
};

// Blob layout: magic "DQK", version, the scalar, then the compressed public key, which
// lets a restore detect a damaged scalar instead of silently becoming another identity.
constexpr std::array<std::uint8_t, 4> blobHeader = {'D', 'Q', 'K', 0x01};
constexpr std::size_t blobSize = blobHeader.size() + scalarSize + compressedSize;

// 1 <= scalar <= n-1, without branching on the scalar's bytes.
bool scalarInRange(BytesView scalar) {
    unsigned borrow = 0;  // scalar - n, from the last byte up: a final borrow means scalar < n
    unsigned nonZero = 0;
    for (std::size_t i = scalarSize; i-- > 0;) {
        const unsigned difference = unsigned{scalar[i]} - unsigned{groupOrder[i]} - borrow;
        borrow = (difference >> 8) & 1;
        nonZero |= scalar[i];
    }
    return (borrow & static_cast<unsigned>(nonZero != 0)) != 0;
}

OSSL_PARAM groupParam() { return OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>(groupName), 0); }

OSSL_PARAM octets(const char* name, BytesView bytes) {
    return OSSL_PARAM_construct_octet_string(name, const_cast<std::uint8_t*>(bytes.data()), bytes.size());
}

openssl::PKey fromParams(OSSL_PARAM* params, int selection) {
    openssl::PKeyContext context(openssl::check(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), "EC context"));
    openssl::check(EVP_PKEY_fromdata_init(context.get()), "EC import");
    EVP_PKEY* key = nullptr;
    openssl::check(EVP_PKEY_fromdata(context.get(), &key, selection, params), "EC import");
    return openssl::PKey(key);
}

// The public point as the key object encodes it: 04||X||Y, whatever form it came in.
std::array<std::uint8_t, x963Size> storedPoint(const EVP_PKEY* key) {
    if (key == nullptr) throw CryptoError("P-256: empty key");
    std::array<std::uint8_t, x963Size> encoded{};
    std::size_t length = 0;
    openssl::check(EVP_PKEY_get_octet_string_param(key, OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, encoded.data(), encoded.size(),
                                                   &length),
                   "P-256 public key");
    if (length != x963Size || encoded[0] != uncompressedTag) openssl::fail("P-256 export");
    return encoded;
}

// Imports an encoded point (04||X||Y or 02/03||X) and checks it is a point of the group
// other than the identity. Every PublicKey not computed by us comes through here, which is
// why ECDH need not validate its peer again.
openssl::PKey importKey(BytesView encoded) {
    openssl::PKey key(openssl::check(EVP_PKEY_dup(const_cast<EVP_PKEY*>(openssl::p256Parameters())), "EC key"));
    // Decoding checks that the coordinates are field elements and that the point is on the
    // curve (OpenSSL sets decoded points through EC_POINT_set_affine_coordinates, which refuses
    // any other); the identity has no 33- or 65-byte encoding, and P-256's cofactor is 1. A
    // separate public-key check would cost as much as the import again.
    if (EVP_PKEY_set_octet_string_param(key.get(), OSSL_PKEY_PARAM_ENCODED_PUBLIC_KEY, encoded.data(),
                                        encoded.size()) != 1) {
        ERR_clear_error();
        throw CryptoError("P-256: not a point on the curve");
    }
    return key;
}

PublicKey importPoint(BytesView encoded) {
    auto native = std::make_shared<PublicKey::Native>();
    native->key = importKey(encoded);
    // An uncompressed point decodes only from its canonical bytes; a compressed one is expanded.
    std::array<std::uint8_t, x963Size> x963{};
    if (encoded.size() == x963Size) {
        std::copy(encoded.begin(), encoded.end(), x963.begin());
    } else {
        x963 = storedPoint(native->key.get());
    }
    return PublicKey(std::move(native), x963);
}

// Generation reuses one context per thread: making one looks up the key manager and copies
// the group, a fifth of the cost of a key.
EVP_PKEY_CTX* keyGenerationContext() {
    thread_local const openssl::PKeyContext context = [] {
        openssl::PKeyContext made(openssl::check(
            EVP_PKEY_CTX_new_from_pkey(nullptr, const_cast<EVP_PKEY*>(openssl::p256Parameters()), nullptr),
            "EC context"));
        openssl::check(EVP_PKEY_keygen_init(made.get()), "P-256 key generation");
        return made;
    }();
    return context.get();
}

// The public point of a scalar, 04||X||Y.
Bytes publicPointOf(const BIGNUM* scalar) {
    const EC_GROUP* group = openssl::p256Group();
    openssl::BigNumContext bnContext(openssl::check(BN_CTX_secure_new(), "BN context"));
    openssl::EcPoint point(openssl::check(EC_POINT_new(group), "EC point"));
    openssl::check(EC_POINT_mul(group, point.get(), scalar, nullptr, nullptr, bnContext.get()), "P-256 multiply");
    Bytes encoded(x963Size);
    if (EC_POINT_point2oct(group, point.get(), POINT_CONVERSION_UNCOMPRESSED, encoded.data(), encoded.size(),
                           bnContext.get()) != x963Size) {
        openssl::fail("P-256 encode");
    }
    return encoded;
}

}  // namespace

// ---- PublicKey ----

evp_pkey_st* PublicKey::native() const {
    if (!native_) throw CryptoError("P-256: empty key");
    std::call_once(native_->made, [this] {
        if (!native_->key) native_->key = importKey(x963_);
    });
    return native_->key.get();
}

PublicKey PublicKey::fromX963(BytesView uncompressed) {
    if (uncompressed.size() != x963Size || uncompressed[0] != uncompressedTag) {
        throw CryptoError("P-256: an uncompressed point is 65 bytes starting 04");
    }
    return importPoint(uncompressed);
}

PublicKey PublicKey::fromRaw(BytesView raw) {
    if (raw.size() != rawSize) throw CryptoError("P-256: a raw public key is 64 bytes");
    std::array<std::uint8_t, x963Size> encoded{uncompressedTag};
    std::copy(raw.begin(), raw.end(), encoded.begin() + 1);
    return importPoint(encoded);
}

PublicKey PublicKey::fromCompressed(BytesView compressed) {
    if (compressed.size() != compressedSize ||
        (compressed[0] != compressedEvenTag && compressed[0] != compressedOddTag)) {
        throw CryptoError("P-256: a compressed point is 33 bytes starting 02 or 03");
    }
    return importPoint(compressed);
}

Bytes PublicKey::x963() const {
    if (!native_) throw CryptoError("P-256: empty key");
    return Bytes(x963_.begin(), x963_.end());
}

Bytes PublicKey::raw() const {
    if (!native_) throw CryptoError("P-256: empty key");
    return Bytes(x963_.begin() + 1, x963_.end());
}

Bytes PublicKey::compressed() const {
    if (!native_) throw CryptoError("P-256: empty key");
    Bytes out(compressedSize);
    out[0] = static_cast<std::uint8_t>(compressedEvenTag | (x963_.back() & 1));
    std::copy(x963_.begin() + 1, x963_.begin() + 1 + scalarSize, out.begin() + 1);
    return out;
}

// ---- PrivateKey ----

PrivateKey::PrivateKey(std::shared_ptr<evp_pkey_st> key) : key_(std::move(key)), publicX963_(storedPoint(key_.get())) {}

PrivateKey PrivateKey::generate() {
    EVP_PKEY* key = nullptr;
    openssl::check(EVP_PKEY_keygen(keyGenerationContext(), &key), "P-256 key generation");
    return PrivateKey(openssl::share(openssl::PKey(key)));
}

PrivateKey PrivateKey::fromScalar(BytesView scalar) {
    if (scalar.size() != scalarSize || !scalarInRange(scalar)) {
        throw CryptoError("P-256: a private key is a 32-byte scalar in [1, n-1]");
    }
    openssl::SecretBigNum number(openssl::check(BN_secure_new(), "BN"));
    openssl::check(BN_bin2bn(scalar.data(), static_cast<int>(scalar.size()), number.get()) != nullptr, "BN");
    const Bytes point = publicPointOf(number.get());

    // OpenSSL takes big-number parameters in native byte order.
    SecureBytes native(scalar.begin(), scalar.end());
    if constexpr (std::endian::native == std::endian::little) std::reverse(native.begin(), native.end());
    OSSL_PARAM params[] = {
        groupParam(),
        OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PRIV_KEY, native.data(), native.size()),
        octets(OSSL_PKEY_PARAM_PUB_KEY, point),
        OSSL_PARAM_construct_end(),
    };
    return PrivateKey(openssl::share(fromParams(params, EVP_PKEY_KEYPAIR)));
}

SecureBytes PrivateKey::scalar() const {
    SecureBytes native(scalarSize);
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_BN(OSSL_PKEY_PARAM_PRIV_KEY, native.data(), native.size()),
        OSSL_PARAM_construct_end(),
    };
    openssl::check(EVP_PKEY_get_params(key_.get(), params), "P-256 private key export");
    if (!OSSL_PARAM_modified(params)) openssl::fail("P-256 private key export");
    if constexpr (std::endian::native == std::endian::little) std::reverse(native.begin(), native.end());
    return native;
}

PublicKey PrivateKey::publicKey() const {
    // A point we computed: its key object, if one is ever needed, is made from its encoding.
    if (!key_) throw CryptoError("P-256: empty key");
    return PublicKey(std::make_shared<PublicKey::Native>(), publicX963_);
}

Bytes PrivateKey::publicX963() const { return Bytes(publicX963_.begin(), publicX963_.end()); }

SecureBytes PrivateKey::blob() const {
    const SecureBytes secret = scalar();
    const Bytes publicPart = publicKey().compressed();
    return concat<SecureBytes>(blobHeader, secret, publicPart);
}

PrivateKey PrivateKey::fromBlob(BytesView blob) {
    if (blob.size() != blobSize || !std::equal(blobHeader.begin(), blobHeader.end(), blob.begin())) {
        throw CryptoError("P-256: not a key blob of this key store");
    }
    const auto secret = blob.subspan(blobHeader.size(), scalarSize);
    const auto storedPublic = blob.subspan(blobHeader.size() + scalarSize, compressedSize);
    PrivateKey key = fromScalar(secret);
    const Bytes actualPublic = key.publicKey().compressed();
    if (!std::equal(actualPublic.begin(), actualPublic.end(), storedPublic.begin(), storedPublic.end())) {
        throw CryptoError("P-256: key blob is damaged");
    }
    return key;
}

SecureBytes PrivateKey::sharedSecret(const PublicKey& peer) const {
    if (key_ == nullptr) throw CryptoError("P-256: empty key");
    evp_pkey_st* peerKey = peer.native();
    openssl::PKeyContext context(openssl::check(EVP_PKEY_CTX_new_from_pkey(nullptr, key_.get(), nullptr), "ECDH context"));
    openssl::check(EVP_PKEY_derive_init(context.get()), "ECDH");
    // The peer was validated when imported; a second, full check would double the cost.
    openssl::check(EVP_PKEY_derive_set_peer_ex(context.get(), peerKey, 0), "ECDH peer");
    SecureBytes secret(sharedSecretSize);
    std::size_t length = secret.size();
    openssl::check(EVP_PKEY_derive(context.get(), secret.data(), &length), "ECDH");
    if (length != sharedSecretSize) openssl::fail("ECDH");
    return secret;
}

}  // namespace duoquill::p256
