#pragma once
// Owning handles for the OpenSSL objects the platform layer uses, the algorithm objects it
// fetches once per process, and the one way it turns a library failure into an exception.
// Included only by the platform's own sources.

#include <openssl/bn.h>
#include <openssl/ec.h>
#include <openssl/evp.h>

#include <memory>

#include "Duoquill/Primitives/Hkdf.h"

namespace duoquill::openssl {

template <auto Free>
struct Deleter {
    template <class T>
    void operator()(T* object) const noexcept {
        Free(object);
    }
};

using PKey = std::unique_ptr<EVP_PKEY, Deleter<&EVP_PKEY_free>>;
using PKeyContext = std::unique_ptr<EVP_PKEY_CTX, Deleter<&EVP_PKEY_CTX_free>>;
using CipherContext = std::unique_ptr<EVP_CIPHER_CTX, Deleter<&EVP_CIPHER_CTX_free>>;
using DigestContext = std::unique_ptr<EVP_MD_CTX, Deleter<&EVP_MD_CTX_free>>;
using BigNumContext = std::unique_ptr<BN_CTX, Deleter<&BN_CTX_free>>;
using EcPoint = std::unique_ptr<EC_POINT, Deleter<&EC_POINT_free>>;
// A big number that may hold a secret: wiped when freed.
using SecretBigNum = std::unique_ptr<BIGNUM, Deleter<&BN_clear_free>>;

// Shares ownership of a key; the last owner frees it.
std::shared_ptr<EVP_PKEY> share(PKey key);

// Empties OpenSSL's error queue (so stale entries never leak into later calls) and throws
// CryptoError naming the operation that failed.
[[noreturn]] void fail(const char* operation);

inline void check(int status, const char* operation) {
    if (status <= 0) fail(operation);
}

template <class T>
T* check(T* object, const char* operation) {
    if (object == nullptr) fail(operation);
    return object;
}

// Fetched once and kept for the life of the process.
const EVP_MD* digest(HashFunction hash);
const EVP_CIPHER* aes256Gcm();
const char* digestName(HashFunction hash);
const EC_GROUP* p256Group();
// A key object holding only the P-256 domain parameters. Duplicating it and generating
// from it skips building the curve group anew, which costs more than an ECDH.
const EVP_PKEY* p256Parameters();

}  // namespace duoquill::openssl
