#pragma once
// Four SHAKE instances run in lock step, so that one permutation call advances all four in
// vector registers. ML-KEM and ML-DSA sample many independent polynomials from short seeds;
// this is where their time goes. Internal to the post-quantum implementations.

#include <array>
#include <cstdint>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::sha3 {

// Four interleaved states: lanes[i][s] is lane i of state s.
struct KeccakX4State {
    alignas(32) std::uint64_t lanes[25][4];
};

// Keccak-f[1600] on each of the four states, with the vector backend in use (VectorBackend.h).
void keccakF1600X4(KeccakX4State& state) noexcept;
// Keccak-f[1600] on one state in vector registers, where the backend in use makes that the
// faster way; false (state untouched) where it does not.
bool keccakF1600OnVectorUnit(std::array<std::uint64_t, 25>& state) noexcept;

class SpongeX4 {
public:
    // Absorbs four inputs of one length and pads them as SHAKE does. Wiped on destruction.
    SpongeX4(std::size_t rateBytes, const std::array<BytesView, 4>& inputs);
    ~SpongeX4();
    SpongeX4(const SpongeX4&) = delete;
    SpongeX4& operator=(const SpongeX4&) = delete;

    std::size_t rate() const noexcept { return rate_; }
    // Starts over on four new inputs of one length, as a new sponge of the same rate would.
    void restart(const std::array<BytesView, 4>& inputs);
    // Writes the next `blocks` blocks of output of state s to out[s] (blocks * rate bytes).
    void squeezeBlocks(const std::array<std::uint8_t*, 4>& out, std::size_t blocks) noexcept;

private:
    KeccakX4State state_{};
    std::size_t rate_;
};

class Shake128X4 : public SpongeX4 {
public:
    static constexpr std::size_t rateBytes = 168;
    explicit Shake128X4(const std::array<BytesView, 4>& inputs) : SpongeX4(rateBytes, inputs) {}
};

class Shake256X4 : public SpongeX4 {
public:
    static constexpr std::size_t rateBytes = 136;
    explicit Shake256X4(const std::array<BytesView, 4>& inputs) : SpongeX4(rateBytes, inputs) {}
};

}  // namespace duoquill::sha3
