#include "TestAuthority.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <stdexcept>

namespace duoquill::test {
namespace {

template <class T, void (*Free)(T*)>
struct Deleter {
    void operator()(T* p) const { Free(p); }
};
using KeyPtr = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY, EVP_PKEY_free>>;
using CertificatePtr = std::unique_ptr<X509, Deleter<X509, X509_free>>;
using BioPtr = std::unique_ptr<BIO, Deleter<BIO, BIO_free_all>>;

void check(bool ok, const char* step) {
    if (!ok) throw std::runtime_error(std::string("test authority: ") + step);
}

void addExtension(X509* certificate, X509* issuer, int nid, const std::string& value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value.c_str());
    check(extension != nullptr, "extension");
    X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
}

// Self-signed authority when `issuer` is null, else a server certificate for the names.
CertificatePtr makeCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, long serial,
                               const std::string& subjectAltNames = "") {
    CertificatePtr certificate(X509_new());
    X509* c = certificate.get();
    check(c != nullptr && X509_set_version(c, 2) == 1, "certificate");
    ASN1_INTEGER_set(X509_get_serialNumber(c), serial);
    X509_gmtime_adj(X509_getm_notBefore(c), -3600);
    X509_gmtime_adj(X509_getm_notAfter(c), 24 * 3600);
    X509_set_pubkey(c, key);
    X509_NAME_add_entry_by_txt(X509_get_subject_name(c), "CN", MBSTRING_ASC,
                               reinterpret_cast<const unsigned char*>(commonName), -1, -1, 0);
    X509* signer = issuer ? issuer : c;
    X509_set_issuer_name(c, X509_get_subject_name(signer));
    addExtension(c, signer, NID_subject_key_identifier, "hash");
    if (!issuer) {
        addExtension(c, signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(c, signer, NID_key_usage, "critical,keyCertSign");
    } else {
        addExtension(c, signer, NID_authority_key_identifier, "keyid:always");
        addExtension(c, signer, NID_subject_alt_name, subjectAltNames);
        addExtension(c, signer, NID_ext_key_usage, "serverAuth");
    }
    check(X509_sign(c, issuerKey, EVP_sha256()) > 0, "signing");
    return certificate;
}

std::string bioText(BIO* bio) {
    char* data = nullptr;
    const long n = BIO_get_mem_data(bio, &data);
    return std::string(data, static_cast<std::size_t>(n));
}

std::string certificateText(X509* certificate) {
    BioPtr bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_X509(bio.get(), certificate) == 1, "PEM");
    return bioText(bio.get());
}

}  // namespace

struct TestAuthority::Key {
    KeyPtr key;
    CertificatePtr certificate;
};

TestAuthority::TestAuthority() : key_(std::make_unique<Key>()) {
    key_->key.reset(EVP_EC_gen("P-256"));
    check(key_->key != nullptr, "key generation");
    key_->certificate = makeCertificate(key_->key.get(), "duoquill test authority", nullptr, key_->key.get(), 1);
    certificatePem_ = certificateText(key_->certificate.get());
}

TestAuthority::~TestAuthority() = default;

IssuedCertificate TestAuthority::issue(const std::string& subjectAltNames) const {
    static long serial = 100;
    KeyPtr key(EVP_EC_gen("P-256"));
    check(key != nullptr, "key generation");
    const CertificatePtr certificate = makeCertificate(key.get(), "duoquill test server", key_->certificate.get(),
                                                       key_->key.get(), ++serial, subjectAltNames);

    BioPtr bio(BIO_new(BIO_s_mem()));
    check(PEM_write_bio_PrivateKey(bio.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) == 1, "PEM");
    return {certificateText(certificate.get()) + certificatePem_, bioText(bio.get())};
}

}  // namespace duoquill::test
