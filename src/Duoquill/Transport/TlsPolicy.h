#pragma once
// The TLS versions, suites and key exchange groups both ends accept: TLS 1.3, and TLS 1.2 only
// with an ephemeral ECDH key exchange and an AEAD cipher (no CBC, no RSA key transport, no
// static DH); elliptic-curve groups only, led by the ML-KEM hybrid where the library has it.
// Header-only, so that the platform library itself need not link libssl.

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <array>
#include <stdexcept>
#include <string>

namespace duoquill::tls {

inline constexpr const char* tls12Suites =
    "ECDHE-ECDSA-AES128-GCM-SHA256:ECDHE-RSA-AES128-GCM-SHA256:"
    "ECDHE-ECDSA-AES256-GCM-SHA384:ECDHE-RSA-AES256-GCM-SHA384:"
    "ECDHE-ECDSA-CHACHA20-POLY1305:ECDHE-RSA-CHACHA20-POLY1305";

// In order of preference. Finite-field groups are left out: ffdhe8192 costs a server about a
// hundred times what its ClientHello costs the sender. The hybrid keeps today's recorded
// traffic closed to a later quantum computer; libraries without it offer the rest.
inline constexpr std::array<const char*, 4> keyExchangeGroups{"X25519MLKEM768", "X25519", "P-256", "P-384"};

// Sets those of keyExchangeGroups the library knows and returns them as set ("X25519:P-256:P-384").
// Throws std::runtime_error when it knows none or refuses the list.
inline std::string applyGroups(SSL_CTX* context) {
    std::string known;
    for (const char* group : keyExchangeGroups) {
        // An unknown name fails the whole list, so each is tried alone first.
        if (SSL_CTX_set1_groups_list(context, group) == 1) known += (known.empty() ? "" : ":") + std::string(group);
    }
    ERR_clear_error();  // the names this library lacks
    if (known.empty() || SSL_CTX_set1_groups_list(context, known.c_str()) != 1) {
        throw std::runtime_error("the TLS library refused every key exchange group");
    }
    return known;
}

// Throws std::runtime_error when the library refuses the policy (nothing is left half-set
// that would silently allow more). Returns the key exchange groups in force.
inline std::string applyPolicy(SSL_CTX* context) {
    if (SSL_CTX_set_min_proto_version(context, TLS1_2_VERSION) != 1 ||
        SSL_CTX_set_cipher_list(context, tls12Suites) != 1) {
        throw std::runtime_error("the TLS library refused the cipher policy");
    }
    return applyGroups(context);
}

}  // namespace duoquill::tls
