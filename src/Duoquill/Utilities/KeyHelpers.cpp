#include "Duoquill/Utilities/KeyHelpers.h"

#include "Duoquill/Crypto/CryptoCore.h"

namespace duoquill::KeyHelpers {

bool isValidPublicKey(std::string_view text) {
    // Until the P-256 layer lands only the encoding is checked.
    return bytesFromPublicKeyString(text).has_value();
}

}  // namespace duoquill::KeyHelpers
