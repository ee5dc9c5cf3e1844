#include "Duoquill/Platform/Primitives/Sha2.h"

#include "Duoquill/Platform/Primitives/OpenSslHandles.h"
#include "Duoquill/Platform/PlatformError.h"

namespace duoquill {

namespace {

// One EVP digest context; finishing re-arms it, so an object can hash again.
class DigestState {
public:
    explicit DigestState(HashFunction hash)
        : md_(openssl::digest(hash)), context_(openssl::check(EVP_MD_CTX_new(), "digest context")) {
        restart();
    }

    void update(BytesView data) {
        if (!data.empty()) openssl::check(EVP_DigestUpdate(context_.get(), data.data(), data.size()), "digest update");
    }

    Bytes finish() {
        Bytes out(static_cast<std::size_t>(EVP_MD_get_size(md_)));
        unsigned int length = 0;
        openssl::check(EVP_DigestFinal_ex(context_.get(), out.data(), &length), "digest final");
        if (length != out.size()) openssl::fail("digest final");
        restart();
        return out;
    }

private:
    void restart() { openssl::check(EVP_DigestInit_ex2(context_.get(), md_, nullptr), "digest init"); }

    const EVP_MD* md_;
    openssl::DigestContext context_;
};

Bytes oneShot(HashFunction hash, BytesView data) {
    DigestState state(hash);
    state.update(data);
    return state.finish();
}

template <class State>
State& live(const std::unique_ptr<State>& state) {
    if (!state) throw CryptoError("hash used after move");
    return *state;
}

}  // namespace

Bytes sha256(BytesView data) { return oneShot(HashFunction::sha256, data); }
Bytes sha512(BytesView data) { return oneShot(HashFunction::sha512, data); }

struct Sha256::State : DigestState {
    State() : DigestState(HashFunction::sha256) {}
};
struct Sha512::State : DigestState {
    State() : DigestState(HashFunction::sha512) {}
};

Sha256::Sha256() : state_(std::make_unique<State>()) {}
Sha256::~Sha256() = default;
Sha256::Sha256(Sha256&&) noexcept = default;
Sha256& Sha256::operator=(Sha256&&) noexcept = default;
Sha256& Sha256::update(BytesView data) {
    live(state_).update(data);
    return *this;
}
Bytes Sha256::finish() { return live(state_).finish(); }

Sha512::Sha512() : state_(std::make_unique<State>()) {}
Sha512::~Sha512() = default;
Sha512::Sha512(Sha512&&) noexcept = default;
Sha512& Sha512::operator=(Sha512&&) noexcept = default;
Sha512& Sha512::update(BytesView data) {
    live(state_).update(data);
    return *this;
}
Bytes Sha512::finish() { return live(state_).finish(); }

}  // namespace duoquill
