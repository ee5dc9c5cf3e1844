#include "Duoquill/Platform/Hkdf.h"

#include <openssl/core_names.h>

#include "Duoquill/Platform/OpenSslHandles.h"
#include "Duoquill/Platform/PlatformError.h"

namespace duoquill::hkdf {

namespace {

std::size_t digestSize(HashFunction hash) { return hash == HashFunction::sha256 ? 32 : 64; }

OSSL_PARAM octets(const char* name, BytesView bytes) {
    // OpenSSL reads these; the cast only satisfies its non-const parameter type.
    return OSSL_PARAM_construct_octet_string(name, const_cast<std::uint8_t*>(bytes.data()), bytes.size());
}

// Runs one HKDF operation; absent inputs (null names) are simply not passed.
SecureBytes run(HashFunction hash, int mode, BytesView key, const BytesView* salt, const BytesView* info,
                std::size_t length) {
    static const std::uint8_t none = 0;  // a valid address for empty inputs
    const auto nonNull = [](BytesView v) { return v.data() != nullptr ? v : BytesView(&none, 0); };

    openssl::KdfContext context(openssl::check(EVP_KDF_CTX_new(openssl::hkdf()), "HKDF context"));
    OSSL_PARAM params[6];
    std::size_t n = 0;
    params[n++] = OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, const_cast<char*>(openssl::digestName(hash)), 0);
    params[n++] = OSSL_PARAM_construct_int(OSSL_KDF_PARAM_MODE, &mode);
    params[n++] = octets(OSSL_KDF_PARAM_KEY, nonNull(key));
    if (salt != nullptr) params[n++] = octets(OSSL_KDF_PARAM_SALT, nonNull(*salt));
    if (info != nullptr) params[n++] = octets(OSSL_KDF_PARAM_INFO, nonNull(*info));
    params[n] = OSSL_PARAM_construct_end();

    SecureBytes out(length);
    openssl::check(EVP_KDF_derive(context.get(), out.data(), out.size(), params), "HKDF");
    return out;
}

void checkLength(HashFunction hash, std::size_t length) {
    if (length > 255 * digestSize(hash)) throw CryptoError("HKDF: output longer than 255 blocks");
}

}  // namespace

SecureBytes extract(HashFunction hash, BytesView salt, BytesView ikm) {
    return run(hash, EVP_KDF_HKDF_MODE_EXTRACT_ONLY, ikm, &salt, nullptr, digestSize(hash));
}

SecureBytes expand(HashFunction hash, BytesView prk, BytesView info, std::size_t length) {
    checkLength(hash, length);
    if (prk.size() < digestSize(hash)) throw CryptoError("HKDF: pseudorandom key shorter than the digest");
    if (length == 0) return {};
    return run(hash, EVP_KDF_HKDF_MODE_EXPAND_ONLY, prk, nullptr, &info, length);
}

SecureBytes derive(HashFunction hash, BytesView ikm, BytesView salt, BytesView info, std::size_t length) {
    checkLength(hash, length);
    if (length == 0) return {};
    return run(hash, EVP_KDF_HKDF_MODE_EXTRACT_AND_EXPAND, ikm, &salt, &info, length);
}

}  // namespace duoquill::hkdf
