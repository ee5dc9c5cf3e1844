#include "Duoquill/Platform/Primitives/Hkdf.h"

#include <algorithm>
#include <array>

#include "Duoquill/Platform/Primitives/OpenSslHandles.h"
#include "Duoquill/Platform/PlatformError.h"

// HMAC is built here on the digests fetched once per process. OpenSSL's own HKDF and HMAC
// look the digest up by name on every call, which cost more than the hashing itself on the
// record path (one derivation per record and per tunnel frame).

namespace duoquill::hkdf {

namespace {

constexpr std::size_t largestBlock = 128;

std::size_t digestSize(HashFunction hash) { return hash == HashFunction::sha256 ? 32 : 64; }
std::size_t blockSize(HashFunction hash) { return hash == HashFunction::sha256 ? 64 : 128; }

openssl::DigestContext startDigest(HashFunction hash) {
    openssl::DigestContext context(openssl::check(EVP_MD_CTX_new(), "digest context"));
    openssl::check(EVP_DigestInit_ex2(context.get(), openssl::digest(hash), nullptr), "digest init");
    return context;
}

void update(EVP_MD_CTX* context, BytesView data) {
    if (!data.empty()) openssl::check(EVP_DigestUpdate(context, data.data(), data.size()), "digest update");
}

// HMAC keyed once; each mac() starts from copies of the keyed inner and outer states.
class Hmac {
public:
    Hmac(HashFunction hash, BytesView key) : hash_(hash), inner_(startDigest(hash)), outer_(startDigest(hash)) {
        std::array<std::uint8_t, largestBlock> pad{};
        const std::size_t block = blockSize(hash);
        if (key.size() > block) {
            auto hashed = startDigest(hash);
            update(hashed.get(), key);
            openssl::check(EVP_DigestFinal_ex(hashed.get(), pad.data(), nullptr), "digest final");
        } else {
            std::copy(key.begin(), key.end(), pad.begin());
        }
        for (std::size_t i = 0; i < block; ++i) pad[i] ^= 0x36;
        update(inner_.get(), BytesView(pad.data(), block));
        for (std::size_t i = 0; i < block; ++i) pad[i] ^= 0x36 ^ 0x5c;
        update(outer_.get(), BytesView(pad.data(), block));
        secureWipe(pad.data(), pad.size());
    }

    // HMAC of the concatenation of the parts, written to out (digestSize bytes).
    void mac(std::initializer_list<BytesView> parts, std::uint8_t* out) {
        const std::size_t size = digestSize(hash_);
        EVP_MD_CTX* context = work_.get();
        openssl::check(EVP_MD_CTX_copy_ex(context, inner_.get()), "digest copy");
        for (const BytesView part : parts) update(context, part);
        std::array<std::uint8_t, largestBlock / 2> innerDigest{};
        openssl::check(EVP_DigestFinal_ex(context, innerDigest.data(), nullptr), "digest final");
        openssl::check(EVP_MD_CTX_copy_ex(context, outer_.get()), "digest copy");
        update(context, BytesView(innerDigest.data(), size));
        secureWipe(innerDigest.data(), innerDigest.size());
        openssl::check(EVP_DigestFinal_ex(context, out, nullptr), "digest final");
    }

private:
    HashFunction hash_;
    openssl::DigestContext inner_;
    openssl::DigestContext outer_;
    openssl::DigestContext work_{openssl::check(EVP_MD_CTX_new(), "digest context")};
};

void checkLength(HashFunction hash, std::size_t length) {
    if (length > 255 * digestSize(hash)) throw CryptoError("HKDF: output longer than 255 blocks");
}

SecureBytes expandUnchecked(HashFunction hash, BytesView prk, BytesView info, std::size_t length) {
    const std::size_t size = digestSize(hash);
    Hmac hmac(hash, prk);
    SecureBytes out(length);
    SecureBytes block(size);
    for (std::size_t offset = 0, counter = 1; offset < length; offset += size, ++counter) {
        const std::uint8_t index = static_cast<std::uint8_t>(counter);
        const BytesView previous = offset == 0 ? BytesView() : BytesView(block);
        hmac.mac({previous, info, BytesView(&index, 1)}, block.data());
        std::copy_n(block.begin(), std::min(size, length - offset), out.begin() + static_cast<std::ptrdiff_t>(offset));
    }
    return out;
}

}  // namespace

SecureBytes extract(HashFunction hash, BytesView salt, BytesView ikm) {
    // An empty salt is the all-zero key, which is what RFC 5869 asks for an absent one.
    SecureBytes prk(digestSize(hash));
    Hmac(hash, salt).mac({ikm}, prk.data());
    return prk;
}

SecureBytes expand(HashFunction hash, BytesView prk, BytesView info, std::size_t length) {
    checkLength(hash, length);
    if (prk.size() < digestSize(hash)) throw CryptoError("HKDF: pseudorandom key shorter than the digest");
    if (length == 0) return {};
    return expandUnchecked(hash, prk, info, length);
}

SecureBytes derive(HashFunction hash, BytesView ikm, BytesView salt, BytesView info, std::size_t length) {
    checkLength(hash, length);
    if (length == 0) return {};
    return expandUnchecked(hash, extract(hash, salt, ikm), info, length);
}

}  // namespace duoquill::hkdf
