#pragma once
// The TLS versions and suites both ends accept: TLS 1.3, and TLS 1.2 only with an ephemeral
// ECDH key exchange and an AEAD cipher (no CBC, no RSA key transport, no static DH).
// Header-only, so that the platform library itself need not link libssl.

#include <openssl/ssl.h>

#include <stdexcept>

namespace duoquill::tls {

inline constexpr const char* tls12Suites =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// Throws std::runtime_error when the library refuses the policy (nothing is left half-set
// that would silently allow more).
inline void applyPolicy(SSL_CTX* context) {
    if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(context, tls12Suites) != 1) {
        throw std::runtime_error("the TLS library refused the cipher policy");
    }
}

}  // namespace duoquill::tls
