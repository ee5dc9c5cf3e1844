#include "Duoquill/Primitives/ConstantTime.h"

#include <openssl/crypto.h>

namespace duoquill {

bool constantTimeEquals(BytesView a, BytesView b) noexcept {
    if (a.size() != b.size()) return false;
    if (a.empty()) return true;
    return CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

}  // namespace duoquill
