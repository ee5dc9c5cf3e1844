#include "Duoquill/Primitives/Hkdf.h"

#include <algorithm>
#include <array>

#include "Duoquill/Primitives/DigestState.h"
#include "Duoquill/Base/PlatformError.h"

// HMAC is built here on by-value SHA-2 states: keying costs two compressions and each MAC
// starts from plain copies of the keyed inner and outer states. OpenSSL's own HKDF and HMAC
// allocate and look up per call, which cost more than the hashing on the record path.

namespace duoquill::hkdf {

namespace {

std::size_t digestSize(HashFunction hash) { return hash == HashFunction::sha256 ? 32 : 64; }

class Hmac {
public:
    Hmac(HashFunction hash, BytesView key) : inner_(hash), outer_(hash) {
        std::array<std::uint8_t, DigestState::largestBlock> pad{};
        const std::size_t block = inner_.blockSize();
        if (key.size() > block) {
            DigestState hashed(hash);
            hashed.update(key);
            hashed.finish(pad.data());
        } else {
            std::copy(key.begin(), key.end(), pad.begin());
        }
        for (std::size_t i = 0; i < block; ++i) pad[i] ^= 0x36;
        inner_.update(BytesView(pad.data(), block));
        for (std::size_t i = 0; i < block; ++i) pad[i] ^= 0x36 ^ 0x5c;
        outer_.update(BytesView(pad.data(), block));
        secureWipe(pad.data(), pad.size());
    }

    // HMAC of the concatenation of the parts, written to out (digestSize bytes).
    void mac(std::initializer_list<BytesView> parts, std::uint8_t* out) const {
        DigestState state = inner_;
        for (const BytesView part : parts) state.update(part);
        std::array<std::uint8_t, DigestState::largestDigest> innerDigest{};
        state.finish(innerDigest.data());
        state = outer_;
        state.update(BytesView(innerDigest.data(), state.digestSize()));
        secureWipe(innerDigest.data(), innerDigest.size());
        state.finish(out);
    }

private:
    DigestState inner_;
    DigestState outer_;
};

void checkLength(HashFunction hash, std::size_t length) {
    if (length > 255 * digestSize(hash)) throw CryptoError("HKDF: output longer than 255 blocks");
}

void expandInto(HashFunction hash, BytesView prk, BytesView info, std::span<std::uint8_t> out) {
    const std::size_t size = digestSize(hash);
    const Hmac hmac(hash, prk);
    Wiped<std::array<std::uint8_t, DigestState::largestDigest>> block;
    for (std::size_t offset = 0, counter = 1; offset < out.size(); offset += size, ++counter) {
        const std::uint8_t index = static_cast<std::uint8_t>(counter);
        const BytesView previous = offset == 0 ? BytesView() : BytesView(block.value.data(), size);
        hmac.mac({previous, info, BytesView(&index, 1)}, block.value.data());
        std::copy_n(block.value.begin(), std::min(size, out.size() - offset), out.begin() + static_cast<std::ptrdiff_t>(offset));
    }
}

SecureBytes expandUnchecked(HashFunction hash, BytesView prk, BytesView info, std::size_t length) {
    SecureBytes out(length);
    expandInto(hash, prk, info, out);
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

struct SaltCache::Keyed {
    SecureBytes salt;
    Hmac hmac;
};

SaltCache::SaltCache(HashFunction hash) : hash_(hash) {}
SaltCache::~SaltCache() = default;
SaltCache::SaltCache(SaltCache&&) noexcept = default;
SaltCache& SaltCache::operator=(SaltCache&&) noexcept = default;

void SaltCache::clear() noexcept { keyed_.reset(); }

SecureBytes SaltCache::derive(BytesView ikm, BytesView salt, BytesView info, std::size_t length) {
    checkLength(hash_, length);
    SecureBytes out(length);
    derive(ikm, salt, info, out);
    return out;
}

void SaltCache::derive(BytesView ikm, BytesView salt, BytesView info, std::span<std::uint8_t> out) {
    checkLength(hash_, out.size());
    if (out.empty()) return;
    if (!keyed_ || !std::equal(salt.begin(), salt.end(), keyed_->salt.begin(), keyed_->salt.end())) {
        keyed_.reset();
        keyed_ = std::make_unique<Keyed>(Keyed{toSecure(salt), Hmac(hash_, salt)});
    }
    // The extract step reads all of ikm before anything is written to out.
    Wiped<std::array<std::uint8_t, DigestState::largestDigest>> prk;
    keyed_->hmac.mac({ikm}, prk.value.data());
    expandInto(hash_, BytesView(prk.value.data(), digestSize(hash_)), info, out);
}

SecureBytes derive(HashFunction hash, BytesView ikm, BytesView salt, BytesView info, std::size_t length) {
    checkLength(hash, length);
    if (length == 0) return {};
    return expandUnchecked(hash, extract(hash, salt, ikm), info, length);
}

}  // namespace duoquill::hkdf
