#pragma once
// A certificate authority made at test time, issuing server certificates for the names a
// test asks for. PEM text throughout.

#include <memory>
#include <string>

namespace duoquill::test {

struct IssuedCertificate {
    std::string certificateChainPem;  // server certificate, then the authority's
    std::string privateKeyPem;
};

class TestAuthority {
public:
    TestAuthority();  // a fresh authority: trusting one says nothing of another
    ~TestAuthority();
    TestAuthority(const TestAuthority&) = delete;
    TestAuthority& operator=(const TestAuthority&) = delete;

    const std::string& certificatePem() const { return certificatePem_; }

    // subjectAltName in OpenSSL's form, e.g. "DNS:localhost,IP:127.0.0.1".
    IssuedCertificate issue(const std::string& subjectAltNames) const;

private:
    struct Key;
    std::unique_ptr<Key> key_;
    std::string certificatePem_;
};

}  // namespace duoquill::test
