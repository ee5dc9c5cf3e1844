#include "Duoquill/Platform/Primitives/AesGcm.h"

#include <openssl/core_names.h>
#include <openssl/err.h>

#include <algorithm>
#include <climits>

#include "Duoquill/Platform/Primitives/OpenSslHandles.h"
#include "Duoquill/Platform/PlatformError.h"

namespace duoquill::aesgcm {

namespace {

// OpenSSL takes int lengths; larger inputs go through in pieces.
constexpr std::size_t maxPiece = std::size_t{1} << 30;

void checkSizes(BytesView key, BytesView nonce) {
    if (key.size() != keySize) throw CryptoError("AES-256-GCM: key must be 32 bytes");
    if (nonce.size() != nonceSize) throw CryptoError("AES-256-GCM: nonce must be 12 bytes");
}

// One context per thread and direction, kept for its allocation: making a context costs
// more than sealing a record. It is keyed afresh on every call and reset when the call ends,
// which frees and wipes the cipher's state, so that no key (record keys last one record) nor
// nonce stays behind. Resetting is cheaper than keying it again with zeros.
class Keyed {
public:
    Keyed(bool encrypt, BytesView key, BytesView nonce) : context_(context()) {
        if (EVP_CipherInit_ex2(context_, openssl::aes256Gcm(), key.data(), nonce.data(), encrypt ? 1 : 0, nullptr) !=
            1) {
            release();
            openssl::fail("AES-256-GCM init");
        }
    }
    Keyed(const Keyed&) = delete;
    Keyed& operator=(const Keyed&) = delete;
    ~Keyed() { release(); }
    EVP_CIPHER_CTX* get() const noexcept { return context_; }

private:
    void release() noexcept {
        if (EVP_CIPHER_CTX_reset(context_) != 1) {
            // A context that cannot be reset is dropped, and its key with it.
            ERR_clear_error();
            slot().reset();
        }
    }
    static openssl::CipherContext& slot() {
        thread_local openssl::CipherContext held;
        return held;
    }
    static EVP_CIPHER_CTX* context() {
        openssl::CipherContext& held = slot();
        if (!held) held.reset(openssl::check(EVP_CIPHER_CTX_new(), "cipher context"));
        return held.get();
    }

    EVP_CIPHER_CTX* context_;
};

void associate(EVP_CIPHER_CTX* context, BytesView associatedData) {
    for (std::size_t at = 0; at < associatedData.size(); at += maxPiece) {
        const auto piece = associatedData.subspan(at, std::min(maxPiece, associatedData.size() - at));
        int ignored = 0;
        openssl::check(EVP_CipherUpdate(context, nullptr, &ignored, piece.data(), static_cast<int>(piece.size())),
                       "AES-256-GCM associated data");
    }
}

// GCM is a stream mode: output has the input's length, written piece by piece.
void transform(EVP_CIPHER_CTX* context, BytesView in, std::uint8_t* out) {
    for (std::size_t at = 0; at < in.size(); at += maxPiece) {
        const auto piece = in.subspan(at, std::min(maxPiece, in.size() - at));
        int written = 0;
        openssl::check(EVP_CipherUpdate(context, out + at, &written, piece.data(), static_cast<int>(piece.size())),
                       "AES-256-GCM update");
        if (static_cast<std::size_t>(written) != piece.size()) openssl::fail("AES-256-GCM update");
    }
}

}  // namespace

Bytes seal(BytesView key, BytesView nonce, BytesView plaintext, BytesView associatedData) {
    checkSizes(key, nonce);
    const Keyed context(true, key, nonce);
    associate(context.get(), associatedData);
    Bytes out(plaintext.size() + tagSize);
    transform(context.get(), plaintext, out.data());
    int finalLength = 0;
    openssl::check(EVP_EncryptFinal_ex(context.get(), out.data() + plaintext.size(), &finalLength), "AES-256-GCM final");
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, out.data() + plaintext.size(), tagSize),
        OSSL_PARAM_construct_end(),
    };
    openssl::check(EVP_CIPHER_CTX_get_params(context.get(), params), "AES-256-GCM tag");
    return out;
}

SecureBytes open(BytesView key, BytesView nonce, BytesView sealed, BytesView associatedData) {
    checkSizes(key, nonce);
    if (sealed.size() < tagSize) throw AuthenticationError();
    const auto ciphertext = sealed.first(sealed.size() - tagSize);
    std::uint8_t tag[tagSize];
    std::copy(sealed.end() - tagSize, sealed.end(), tag);

    const Keyed context(false, key, nonce);
    associate(context.get(), associatedData);
    SecureBytes out(ciphertext.size());
    transform(context.get(), ciphertext, out.data());
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag, tagSize),
        OSSL_PARAM_construct_end(),
    };
    openssl::check(EVP_CIPHER_CTX_set_params(context.get(), params), "AES-256-GCM tag");
    int finalLength = 0;
    if (EVP_DecryptFinal_ex(context.get(), out.data() + out.size(), &finalLength) != 1) {
        // The plaintext is unauthenticated: never hand it out, and leave none of it behind.
        secureWipe(out.data(), out.size());
        ERR_clear_error();
        throw AuthenticationError();
    }
    return out;
}

}  // namespace duoquill::aesgcm
