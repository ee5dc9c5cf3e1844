#include "DuoquillRelay/TlsCertificates.h"

#include <openssl/err.h>
#include <openssl/x509.h>

#include <fstream>
#include <iterator>

#include "Duoquill/Transport/TlsPolicy.h"
#include "DuoquillRelay/OpenSslErrors.h"

namespace duoquill::relay {
namespace {

// Loaded or built in; a kernel that has the module but has not loaded it yet shows nothing.
bool kernelOffersTls() {
    static const bool offered = [] {
        std::ifstream file("/proc/sys/net/ipv4/tcp_available_ulp");
        const std::string modules((std::istreambuf_iterator<char>(file)), std::istreambuf_iterator<char>());
        return modules.find("tls") != std::string::npos;
    }();
    return offered;
}

}  // namespace

TlsCertificates::TlsCertificates(std::string certificateFile, std::string keyFile)
    : certificateFile_(std::move(certificateFile)), keyFile_(std::move(keyFile)), current_(load()) {}

std::string TlsCertificates::groups() const {
    const std::lock_guard lock(mutex_);
    return groups_;
}

std::shared_ptr<SSL_CTX> TlsCertificates::load() {
    ERR_clear_error();
    std::shared_ptr<SSL_CTX> context(SSL_CTX_new(TLS_server_method()), SSL_CTX_free);
    if (!context) throw TlsCertificatesError("cannot set up TLS: " + takeOpenSslError());
    SSL_CTX* ctx = context.get();
    std::string groups;
    try {
        groups = tls::applyPolicy(ctx);
    } catch (const std::runtime_error& e) {
        throw TlsCertificatesError(e.what());
    }
    // The client's order would let it pick the suite, and so the cost, of each handshake.
    SSL_CTX_set_options(ctx, SSL_OP_CIPHER_SERVER_PREFERENCE);
    // Many idle connections: record buffers go back to the allocator while empty, and no
    // resumption state is kept (clients make a fresh connection per session).
    SSL_CTX_set_mode(ctx, SSL_MODE_RELEASE_BUFFERS);
    SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_OFF);
    if (SSL_CTX_set_num_tickets(ctx, 0) != 1) throw TlsCertificatesError("cannot set up TLS: " + takeOpenSslError());
    SSL_CTX_set_options(ctx, SSL_OP_NO_TICKET | SSL_OP_NO_RENEGOTIATION | SSL_OP_NO_COMPRESSION);
    // Where the kernel takes the records, OpenSSL hands them over. Elsewhere one recv takes every
    // record that has arrived (up to a record's buffer) rather than each header and body apart;
    // what is left of a record there is charged (TlsStream::holdsUnfinishedRecord). Never both:
    // OpenSSL 3.5 drops what it read ahead when a key update makes it try the kernel again and
    // fall back, and the next record fails to open.
    if (kernelOffersTls()) {
        SSL_CTX_set_options(ctx, SSL_OP_ENABLE_KTLS);
    } else {
        SSL_CTX_set_read_ahead(ctx, 1);
    }
    if (SSL_CTX_use_certificate_chain_file(ctx, certificateFile_.c_str()) != 1) {
        throw TlsCertificatesError("cannot use certificate file \"" + certificateFile_ + "\": " + takeOpenSslError());
    }
    if (SSL_CTX_use_PrivateKey_file(ctx, keyFile_.c_str(), SSL_FILETYPE_PEM) != 1) {
        if (ERR_GET_REASON(ERR_peek_last_error()) != X509_R_KEY_VALUES_MISMATCH) {
            throw TlsCertificatesError("cannot use key file \"" + keyFile_ + "\": " + takeOpenSslError());
        }
        ERR_clear_error();
        throw TlsCertificatesError("the key in \"" + keyFile_ + "\" does not match the certificate");
    }
    if (SSL_CTX_check_private_key(ctx) != 1) {
        ERR_clear_error();
        throw TlsCertificatesError("the key in \"" + keyFile_ + "\" does not match the certificate");
    }
    const std::lock_guard lock(mutex_);
    groups_ = std::move(groups);
    return context;
}

std::shared_ptr<SSL_CTX> TlsCertificates::current() const {
    const std::lock_guard lock(mutex_);
    return current_;
}

TlsCertificates::Reload TlsCertificates::reload() {
    try {
        auto loaded = load();
        const std::lock_guard lock(mutex_);
        current_ = std::move(loaded);
        return {true, "certificate reloaded from \"" + certificateFile_ + "\": new connections use it"};
    } catch (const TlsCertificatesError& e) {
        return {false, std::string("certificate not reloaded, the one in use stays: ") + e.what()};
    }
}

std::string TlsCertificates::kernelTlsNote() {
    return kernelOffersTls() ? "kernel TLS: offered, OpenSSL hands records to the kernel where it can"
                             : "kernel TLS: not offered by this kernel (no tls module loaded), OpenSSL reads ahead and writes the records";
}

}  // namespace duoquill::relay
