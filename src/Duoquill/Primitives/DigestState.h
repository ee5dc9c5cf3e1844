#pragma once
// A SHA-2 running state held by value. Copying it is a plain copy, which is what keyed HMAC
// states need for every message; the EVP route allocates a provider context per copy.
// Wiped when it goes away: a keyed state is as secret as the key.

#include <array>
#include <cstdint>

#include "Duoquill/Primitives/HashFunction.h"
#include "Duoquill/Base/SecureBytes.h"

namespace duoquill {

class DigestState {
public:
    static constexpr std::size_t largestDigest = 64;
    static constexpr std::size_t largestBlock = 128;

    explicit DigestState(HashFunction hash) noexcept;
    DigestState(const DigestState&) noexcept = default;
    DigestState& operator=(const DigestState&) noexcept = default;
    ~DigestState();

    void update(BytesView data) noexcept;
    // Writes digestSize() bytes and starts the state afresh.
    void finish(std::uint8_t* out) noexcept;

    std::size_t digestSize() const noexcept { return hash_ == HashFunction::sha256 ? 32 : 64; }
    std::size_t blockSize() const noexcept { return hash_ == HashFunction::sha256 ? 64 : 128; }

private:
    HashFunction hash_;
    // Room for either library state (112 and 216 bytes).
    alignas(8) std::array<unsigned char, 216> state_;
};

}  // namespace duoquill
