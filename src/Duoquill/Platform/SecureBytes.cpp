#include "Duoquill/Platform/SecureBytes.h"

#include <openssl/crypto.h>

namespace duoquill {

void secureWipe(void* data, std::size_t size) noexcept {
    if (data != nullptr && size != 0) {
        OPENSSL_cleanse(data, size);
    }
}

}  // namespace duoquill
