#include "Kit/TestCertificates.h"

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <cstdio>
#include <stdexcept>
#include <string>

namespace duoquill::test {
namespace {

using Key = std::unique_ptr<EVP_PKEY, decltype(&EVP_PKEY_free)>;
using Certificate = std::unique_ptr<X509, decltype(&X509_free)>;
// A deleter of its own: a newer glibc declares fclose nonnull, an attribute a template
// argument of its type would drop (a warning).
struct CloseFile {
    void operator()(std::FILE* file) const noexcept { std::fclose(file); }
};
using File = std::unique_ptr<std::FILE, CloseFile>;

void check(bool ok, const char* what) {
    if (!ok) throw std::runtime_error(std::string("test certificates: ") + what + " failed");
}

Key newKey() {
    Key key(EVP_EC_gen("P-256"), EVP_PKEY_free);
    check(key != nullptr, "key generation");
    return key;
}

void addExtension(X509* certificate, X509* issuer, int nid, const char* value) {
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, issuer, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, nid, value);
    check(extension != nullptr, "certificate extension");
    const int added = X509_add_ext(certificate, extension, -1);
    X509_EXTENSION_free(extension);
    check(added == 1, "adding an extension");
}

// Signed by `issuerKey`; self-signed when `issuer` is null.
Certificate newCertificate(EVP_PKEY* key, const char* commonName, X509* issuer, EVP_PKEY* issuerKey, bool authority) {
    Certificate certificate(X509_new(), X509_free);
    check(certificate != nullptr, "X509_new");
    X509* c = certificate.get();
    check(X509_set_version(c, 2) == 1, "version");
    unsigned char serial[16];
    check(RAND_bytes(serial, sizeof serial) == 1, "serial");
    serial[0] &= 0x7f;
    BIGNUM* number = BN_bin2bn(serial, sizeof serial, nullptr);
    check(number != nullptr && BN_to_ASN1_INTEGER(number, X509_get_serialNumber(c)) != nullptr, "serial");
    BN_free(number);
    check(X509_gmtime_adj(X509_getm_notBefore(c), -3600) != nullptr, "validity");
    check(X509_gmtime_adj(X509_getm_notAfter(c), 7 * 24 * 3600) != nullptr, "validity");
    check(X509_set_pubkey(c, key) == 1, "public key");
    X509_NAME* name = X509_get_subject_name(c);
    check(X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(commonName), -1,
                                     -1, 0) == 1,
          "subject");
    X509* signer = issuer != nullptr ? issuer : c;
    check(X509_set_issuer_name(c, X509_get_subject_name(signer)) == 1, "issuer");
    addExtension(c, signer, NID_subject_key_identifier, "hash");
    if (authority) {
        addExtension(c, signer, NID_basic_constraints, "critical,CA:TRUE");
        addExtension(c, signer, NID_key_usage, "critical,keyCertSign,cRLSign");
    } else {
        addExtension(c, signer, NID_authority_key_identifier, "keyid:always");
        addExtension(c, signer, NID_basic_constraints, "critical,CA:FALSE");
        addExtension(c, signer, NID_key_usage, "critical,digitalSignature");
        addExtension(c, signer, NID_ext_key_usage, "serverAuth");
        addExtension(c, signer, NID_subject_alt_name, "DNS:localhost,IP:127.0.0.1,IP:::1");
    }
    check(X509_sign(c, issuerKey, EVP_sha256()) > 0, "signing");
    return certificate;
}

File openForWriting(const std::filesystem::path& path) {
    File file(std::fopen(path.c_str(), "wb"));
    check(file != nullptr, "creating a file");
    return file;
}

}  // namespace

TestCertificates::TestCertificates() : directory_(std::make_unique<TempDir>()) {
    caFile_ = directory_->path() / "ca.pem";
    certificateFile_ = directory_->path() / "server.pem";
    privateKeyFile_ = directory_->path() / "server.key";

    const Key caKey = newKey();
    const Certificate ca = newCertificate(caKey.get(), "duoquill test authority", nullptr, caKey.get(), true);
    const Key serverKey = newKey();
    const Certificate server = newCertificate(serverKey.get(), "localhost", ca.get(), caKey.get(), false);

    check(PEM_write_X509(openForWriting(caFile_).get(), ca.get()) == 1, "writing the authority");
    {
        auto chain = openForWriting(certificateFile_);
        check(PEM_write_X509(chain.get(), server.get()) == 1 && PEM_write_X509(chain.get(), ca.get()) == 1,
              "writing the certificate chain");
    }
    check(PEM_write_PrivateKey(openForWriting(privateKeyFile_).get(), serverKey.get(), nullptr, nullptr, 0, nullptr,
                               nullptr) == 1,
          "writing the key");
    std::filesystem::permissions(privateKeyFile_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

const TestCertificates& TestCertificates::shared() {
    static const TestCertificates certificates;
    return certificates;
}

}  // namespace duoquill::test
