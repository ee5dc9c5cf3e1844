#include "Duoquill/Primitives/AesGcm.h"

#include <openssl/core_names.h>
#include <openssl/err.h>

#include <algorithm>
#include <climits>

#include "Duoquill/Primitives/OpenSslHandles.h"
#include "Duoquill/Base/PlatformError.h"

namespace duoquill::aesgcm {

namespace {

// OpenSSL takes int lengths; larger inputs go through in pieces.
constexpr std::size_t maxPiece = std::size_t{1} << 30;

void checkSizes(BytesView key, BytesView nonce) {
    if (key.size() != keySize) throw CryptoError("AES-256-GCM: key must be 32 bytes");
    if (nonce.size() != nonceSize) throw CryptoError("AES-256-GCM: nonce must be 12 bytes");
}

// One context per thread, kept for its allocation: making a context costs more than sealing
// a record. It is keyed afresh on every call, and when the call ends it is overwritten with a
// copy of an unkeyed context, which frees and wipes the cipher's state: no key (record keys
// last one record) nor nonce stays behind. That costs less than keying it again with zeros.
class Keyed {
public:
    Keyed(bool encrypt, BytesView key, BytesView nonce) : context_(context()) {
        if (EVP_CipherInit_ex2(context_, nullptr, key.data(), nonce.data(), encrypt ? 1 : 0, nullptr) != 1) {
            release();
            openssl::fail("AES-256-GCM init");
        }
    }
    Keyed(const Keyed&) = delete;
    Keyed& operator=(const Keyed&) = delete;
    ~Keyed() { release(); }
    EVP_CIPHER_CTX* get() const noexcept { return context_; }

private:
    struct Contexts {
        openssl::CipherContext unkeyed, held;
    };
    static Contexts& contexts() {
        thread_local Contexts kept;
        return kept;
    }
    static EVP_CIPHER_CTX* context() {
        Contexts& kept = contexts();
        if (!kept.unkeyed) {
            openssl::CipherContext fresh(openssl::check(EVP_CIPHER_CTX_new(), "cipher context"));
            openssl::check(EVP_CipherInit_ex2(fresh.get(), openssl::aes256Gcm(), nullptr, nullptr, 1, nullptr),
                           "AES-256-GCM init");
            kept.unkeyed = std::move(fresh);
        }
        if (!kept.held) {
            openssl::CipherContext fresh(openssl::check(EVP_CIPHER_CTX_new(), "cipher context"));
            openssl::check(EVP_CIPHER_CTX_copy(fresh.get(), kept.unkeyed.get()), "AES-256-GCM context copy");
            kept.held = std::move(fresh);
        }
        return kept.held.get();
    }
    void release() noexcept {
        Contexts& kept = contexts();
        if (EVP_CIPHER_CTX_copy(context_, kept.unkeyed.get()) != 1) {
            // A context that cannot be overwritten is dropped, and its key with it.
            ERR_clear_error();
            kept.held.reset();
        }
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

// out may be plaintext.data(): GCM encrypts in place.
void sealTo(BytesView key, BytesView nonce, BytesView plaintext, BytesView associatedData, std::uint8_t* out) {
    checkSizes(key, nonce);
    const Keyed context(true, key, nonce);
    associate(context.get(), associatedData);
    transform(context.get(), plaintext, out);
    std::uint8_t* tag = out + plaintext.size();
    int finalLength = 0;
    openssl::check(EVP_EncryptFinal_ex(context.get(), tag, &finalLength), "AES-256-GCM final");
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_octet_string(OSSL_CIPHER_PARAM_AEAD_TAG, tag, tagSize),
        OSSL_PARAM_construct_end(),
    };
    openssl::check(EVP_CIPHER_CTX_get_params(context.get(), params), "AES-256-GCM tag");
}

}  // namespace

Bytes seal(BytesView key, BytesView nonce, BytesView plaintext, BytesView associatedData) {
    Bytes out(plaintext.size() + tagSize);
    sealTo(key, nonce, plaintext, associatedData, out.data());
    return out;
}

void sealInPlace(BytesView key, BytesView nonce, std::span<std::uint8_t> buffer, BytesView associatedData) {
    if (buffer.size() < tagSize) throw CryptoError("AES-256-GCM: no room for the tag");
    sealTo(key, nonce, buffer.first(buffer.size() - tagSize), associatedData, buffer.data());
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
