#pragma once
// SHA3-256, SHA3-512 and the SHAKE128/256 extendable-output functions (FIPS 202), with
// incremental absorbing and squeezing.

#include <array>
#include <cstdint>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::sha3 {

std::array<std::uint8_t, 32> sha3_256(BytesView data);
std::array<std::uint8_t, 64> sha3_512(BytesView data);

// A Keccak sponge with the given rate in bytes (a multiple of 8 below 200) and
// domain-separation suffix. For the fixed-length hashes (Sha3_256, Sha3_512) squeeze
// exactly the digest size. The state is wiped on destruction.
class Sponge {
public:
    Sponge(std::size_t rateBytes, std::uint8_t domainSuffix);
    ~Sponge();
    Sponge(const Sponge&) = default;
    Sponge& operator=(const Sponge&) = default;

    Sponge& absorb(BytesView data);    // only before the first squeeze (else std::logic_error)
    void squeeze(std::span<std::uint8_t> out);  // any number of times, any lengths

private:
    void xorIntoState(BytesView data) noexcept;   // at position_, within the rate

    std::array<std::uint64_t, 25> state_{};
    std::size_t rate_;
    std::size_t position_ = 0;
    std::uint8_t suffix_;
    bool squeezing_ = false;
};

class Sha3_256 : public Sponge {
public:
    Sha3_256() : Sponge(136, 0x06) {}
};

class Sha3_512 : public Sponge {
public:
    Sha3_512() : Sponge(72, 0x06) {}
};

class Shake128 : public Sponge {
public:
    Shake128() : Sponge(168, 0x1F) {}
};

class Shake256 : public Sponge {
public:
    Shake256() : Sponge(136, 0x1F) {}
};

void keccakF1600(std::array<std::uint64_t, 25>& state) noexcept;

}  // namespace duoquill::sha3
