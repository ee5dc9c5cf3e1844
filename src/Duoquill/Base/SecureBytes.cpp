#include "Duoquill/Base/SecureBytes.h"

#include <string.h>

namespace duoquill {

void secureWipe(void* data, std::size_t size) noexcept {
    // glibc's explicit_bzero is its memset behind a barrier the compiler cannot see through:
    // as sure as OPENSSL_cleanse and several times faster on the large temporaries of the
    // post-quantum keys.
    if (data != nullptr && size != 0) {
        explicit_bzero(data, size);
    }
}

}  // namespace duoquill
