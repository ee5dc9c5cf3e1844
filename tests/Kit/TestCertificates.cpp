#include "Kit/TestCertificates.h"

#include <fstream>
#include <stdexcept>

#include "Kit/Process.h"

namespace duoquill::test {
namespace {

// A fresh P-256 key and a certificate for it valid for a week, by the openssl command.
void newCertificate(const std::filesystem::path& key, const std::filesystem::path& certificate,
                    const std::vector<std::string>& options) {
    std::vector<std::string> arguments{"req",   "-x509", "-newkey", "ec",      "-pkeyopt", "ec_paramgen_curve:P-256",
                                       "-noenc", "-days", "7",       "-keyout", key.string(), "-out",
                                       certificate.string()};
    arguments.insert(arguments.end(), options.begin(), options.end());
    const auto result = runProcess("/usr/bin/openssl", arguments);
    if (result.exitStatus != 0) throw std::runtime_error("test certificates: openssl failed: " + result.standardError);
}

}  // namespace

TestCertificates::TestCertificates() : directory_(std::make_unique<TempDir>()) {
    caFile_ = directory_->path() / "ca.pem";
    certificateFile_ = directory_->path() / "server.pem";
    privateKeyFile_ = directory_->path() / "server.key";
    const auto caKey = directory_->path() / "ca.key", server = directory_->path() / "server-alone.pem";

    newCertificate(caKey, caFile_,
                   {"-subj", "/CN=duoquill test authority", "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
                    "keyUsage=critical,keyCertSign,cRLSign"});
    newCertificate(privateKeyFile_, server,
                   {"-subj", "/CN=localhost", "-CA", caFile_.string(), "-CAkey", caKey.string(), "-addext",
                    "basicConstraints=critical,CA:FALSE", "-addext", "keyUsage=critical,digitalSignature", "-addext",
                    "extendedKeyUsage=serverAuth", "-addext", "subjectAltName=DNS:localhost,DNS:" + std::string(kOnionRelayName) + ",IP:127.0.0.1,IP:::1"});
    std::ofstream(certificateFile_) << readFile(server) << readFile(caFile_);
    using std::filesystem::perms;
    std::filesystem::permissions(privateKeyFile_, perms::owner_read | perms::owner_write);
}

const TestCertificates& TestCertificates::shared() {
    static const TestCertificates certificates;
    return certificates;
}

}  // namespace duoquill::test
