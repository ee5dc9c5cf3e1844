#include "Duoquill/Primitives/Random.h"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <algorithm>
#include <climits>

#include "Duoquill/Base/PlatformError.h"

namespace duoquill::random {

void fill(std::span<std::uint8_t> out) {
    while (!out.empty()) {
        const std::size_t chunk = std::min<std::size_t>(out.size(), INT_MAX);
        if (RAND_bytes(out.data(), static_cast<int>(chunk)) != 1) {
            ERR_clear_error();
            throw RandomSourceError("the random source could not deliver");
        }
        out = out.subspan(chunk);
    }
}

SecureBytes bytes(std::size_t count) {
    SecureBytes out(count);
    fill(out);
    return out;
}

std::uint32_t uniform(std::uint32_t upperBound) {
    if (upperBound == 0) throw CryptoError("uniform: empty range");
    // Values below 2^32 mod upperBound would make the low residues more likely; draw again.
    const std::uint32_t threshold = static_cast<std::uint32_t>(-upperBound) % upperBound;
    for (;;) {
        std::uint32_t value = 0;
        fill({reinterpret_cast<std::uint8_t*>(&value), sizeof value});
        if (value >= threshold) return value % upperBound;
    }
}

}  // namespace duoquill::random
