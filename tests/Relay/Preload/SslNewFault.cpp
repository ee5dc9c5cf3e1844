// Preloaded into a relay under test: SSL_new fails, as on an exhausted heap, while the file named
// by DUOQUILL_SSL_NEW_FAULT exists.

#include <dlfcn.h>
#include <unistd.h>

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <cstdlib>

extern "C" SSL* SSL_new(SSL_CTX* context) {
    using Function = SSL* (*)(SSL_CTX*);
    static const auto real = reinterpret_cast<Function>(dlsym(RTLD_NEXT, "SSL_new"));
    const char* fault = std::getenv("DUOQUILL_SSL_NEW_FAULT");
    if (fault != nullptr && ::access(fault, F_OK) == 0) {
        ERR_raise(ERR_LIB_SSL, ERR_R_MALLOC_FAILURE);
        return nullptr;
    }
    return real(context);
}
