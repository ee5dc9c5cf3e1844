#include "Duoquill/Primitives/OpenSslHandles.h"

#include <openssl/core_names.h>
#include <openssl/err.h>
#include <openssl/obj_mac.h>

#include <string>

#include "Duoquill/Base/PlatformError.h"

namespace duoquill::openssl {

namespace {

using Md = std::unique_ptr<EVP_MD, Deleter<&EVP_MD_free>>;
using Cipher = std::unique_ptr<EVP_CIPHER, Deleter<&EVP_CIPHER_free>>;
using Group = std::unique_ptr<EC_GROUP, Deleter<&EC_GROUP_free>>;

Md fetchDigest(HashFunction hash) { return Md(check(EVP_MD_fetch(nullptr, digestName(hash), nullptr), "digest fetch")); }

}  // namespace

std::shared_ptr<EVP_PKEY> share(PKey key) { return std::shared_ptr<EVP_PKEY>(key.release(), &EVP_PKEY_free); }

const char* digestName(HashFunction hash) { return hash == HashFunction::sha256 ? "SHA2-256" : "SHA2-512"; }

void fail(const char* operation) {
    ERR_clear_error();
    throw CryptoError(std::string(operation) + " failed");
}

const EVP_MD* digest(HashFunction hash) {
    static const Md sha256 = fetchDigest(HashFunction::sha256);
    static const Md sha512 = fetchDigest(HashFunction::sha512);
    return hash == HashFunction::sha256 ? sha256.get() : sha512.get();
}

const EVP_CIPHER* aes256Gcm() {
    static const Cipher cipher(check(EVP_CIPHER_fetch(nullptr, "AES-256-GCM", nullptr), "AES-256-GCM fetch"));
    return cipher.get();
}

const EC_GROUP* p256Group() {
    static const Group group(check(EC_GROUP_new_by_curve_name_ex(nullptr, nullptr, NID_X9_62_prime256v1), "P-256 group"));
    return group.get();
}

const EVP_PKEY* p256Parameters() {
    static const PKey parameters = [] {
        PKeyContext context(check(EVP_PKEY_CTX_new_from_name(nullptr, "EC", nullptr), "EC context"));
        check(EVP_PKEY_fromdata_init(context.get()), "EC parameters");
        OSSL_PARAM params[] = {
            OSSL_PARAM_construct_utf8_string(OSSL_PKEY_PARAM_GROUP_NAME, const_cast<char*>("P-256"), 0),
            OSSL_PARAM_construct_end(),
        };
        EVP_PKEY* key = nullptr;
        check(EVP_PKEY_fromdata(context.get(), &key, EVP_PKEY_KEY_PARAMETERS, params), "EC parameters");
        return PKey(key);
    }();
    return parameters.get();
}

}  // namespace duoquill::openssl
