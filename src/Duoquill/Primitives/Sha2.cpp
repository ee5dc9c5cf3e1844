#include "Duoquill/Primitives/Sha2.h"

#include "Duoquill/Primitives/DigestState.h"
#include "Duoquill/Base/PlatformError.h"

namespace duoquill {

namespace {

Bytes finish(DigestState& state) {
    Bytes out(state.digestSize());
    state.finish(out.data());
    return out;
}

Bytes oneShot(HashFunction hash, BytesView data) {
    DigestState state(hash);
    state.update(data);
    return finish(state);
}

template <class State>
State& live(const std::unique_ptr<State>& state) {
    if (!state) throw CryptoError("hash used after move");
    return *state;
}

}  // namespace

Bytes sha256(BytesView data) { return oneShot(HashFunction::sha256, data); }
Bytes sha512(BytesView data) { return oneShot(HashFunction::sha512, data); }

std::array<std::uint8_t, Sha512::digestSize> sha512Concat(BytesView first, BytesView second) {
    DigestState state(HashFunction::sha512);
    state.update(first);
    state.update(second);
    std::array<std::uint8_t, Sha512::digestSize> out;
    state.finish(out.data());
    return out;
}

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
Bytes Sha256::finish() { return duoquill::finish(live(state_)); }

Sha512::Sha512() : state_(std::make_unique<State>()) {}
Sha512::~Sha512() = default;
Sha512::Sha512(Sha512&&) noexcept = default;
Sha512& Sha512::operator=(Sha512&&) noexcept = default;
Sha512& Sha512::update(BytesView data) {
    live(state_).update(data);
    return *this;
}
Bytes Sha512::finish() { return duoquill::finish(live(state_)); }

}  // namespace duoquill
