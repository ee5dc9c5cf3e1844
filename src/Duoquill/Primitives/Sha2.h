#pragma once
// SHA-256 and SHA-512, one call and incremental.

#include <array>
#include <memory>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill {

Bytes sha256(BytesView data);
Bytes sha512(BytesView data);

// Incremental hashing: update() any number of times, then finish() once.
class Sha256 {
public:
    static constexpr std::size_t digestSize = 32;
    Sha256();
    ~Sha256();
    Sha256(Sha256&&) noexcept;
    Sha256& operator=(Sha256&&) noexcept;
    Sha256& update(BytesView data);
    Bytes finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

class Sha512 {
public:
    static constexpr std::size_t digestSize = 64;
    Sha512();
    ~Sha512();
    Sha512(Sha512&&) noexcept;
    Sha512& operator=(Sha512&&) noexcept;
    Sha512& update(BytesView data);
    Bytes finish();

private:
    struct State;
    std::unique_ptr<State> state_;
};

// SHA-512(first || second) with no allocation: a record chain's transcript step.
std::array<std::uint8_t, Sha512::digestSize> sha512Concat(BytesView first, BytesView second);

}  // namespace duoquill
