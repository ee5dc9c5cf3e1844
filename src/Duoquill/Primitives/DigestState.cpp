// The one place that uses the library's low-level SHA-2 calls: the same code the EVP digests
// run, without a context allocation per use.
#define OPENSSL_SUPPRESS_DEPRECATED
#include <openssl/sha.h>

#include "Duoquill/Primitives/DigestState.h"

namespace duoquill {

namespace {

template <class Context>
Context* as(std::array<unsigned char, 216>& state) noexcept {
    static_assert(sizeof(Context) <= 216 && alignof(Context) <= 8);
    return reinterpret_cast<Context*>(state.data());
}

}  // namespace

DigestState::DigestState(HashFunction hash) noexcept : hash_(hash) {
    if (hash_ == HashFunction::sha256) {
        SHA256_Init(as<SHA256_CTX>(state_));
    } else {
        SHA512_Init(as<SHA512_CTX>(state_));
    }
}

DigestState::~DigestState() { secureWipe(state_.data(), state_.size()); }

void DigestState::update(BytesView data) noexcept {
    if (data.empty()) return;
    if (hash_ == HashFunction::sha256) {
        SHA256_Update(as<SHA256_CTX>(state_), data.data(), data.size());
    } else {
        SHA512_Update(as<SHA512_CTX>(state_), data.data(), data.size());
    }
}

void DigestState::finish(std::uint8_t* out) noexcept {
    if (hash_ == HashFunction::sha256) {
        SHA256_Final(out, as<SHA256_CTX>(state_));
        SHA256_Init(as<SHA256_CTX>(state_));
    } else {
        SHA512_Final(out, as<SHA512_CTX>(state_));
        SHA512_Init(as<SHA512_CTX>(state_));
    }
}

}  // namespace duoquill
