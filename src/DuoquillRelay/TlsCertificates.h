#pragma once
// The relay's certificate and key, as the TLS context new connections start from. A reload
// swaps in a new context only once the files load and match; connections already open keep
// the context (and certificate) they started with, which OpenSSL holds for them.

#include <openssl/ssl.h>

#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>

namespace duoquill::relay {

class TlsCertificatesError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

class TlsCertificates {
public:
    // Throws TlsCertificatesError naming the file that cannot be used.
    TlsCertificates(std::string certificateFile, std::string keyFile);

    // For a new connection; safe from any thread.
    std::shared_ptr<SSL_CTX> current() const;

    // The key exchange groups offered, in order ("X25519:P-256:P-384"), for the start line.
    std::string groups() const;

    struct Reload {
        bool reloaded = false;
        std::string line;  // to log
    };
    // Reads both files again. On failure the pair in use stays.
    Reload reload();

    // Whether OpenSSL can hand records to the kernel here, for one line at start.
    static std::string kernelTlsNote();

private:
    std::shared_ptr<SSL_CTX> load();

    const std::string certificateFile_;
    const std::string keyFile_;
    mutable std::mutex mutex_;
    std::string groups_;  // set by load(), before current_
    std::shared_ptr<SSL_CTX> current_;
};

}  // namespace duoquill::relay
