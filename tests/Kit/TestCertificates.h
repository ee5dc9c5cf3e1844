#pragma once
// A certificate authority and a server certificate made at test time, for TLS on loopback.
// The server certificate names localhost, kOnionRelayName, 127.0.0.1 and ::1. Point a client's trust store
// at caFile() (e.g. SSL_CERT_FILE) and a server at certificateFile() / privateKeyFile().

#include <filesystem>
#include <memory>
#include <string_view>

#include "Kit/Paths.h"

namespace duoquill::test {

// A relay name that no resolver knows: only a test's SOCKS5 proxy (Socks5TestProxy) finds it.
inline constexpr std::string_view kOnionRelayName = "duoquilltestrelay.onion";

class TestCertificates {
public:
    // A fresh, independent authority (so a second instance is one the first does not trust).
    TestCertificates();

    // One set per test program, made on first use.
    static const TestCertificates& shared();

    const std::filesystem::path& caFile() const { return caFile_; }                  // PEM certificate
    const std::filesystem::path& certificateFile() const { return certificateFile_; }  // PEM chain: server, CA
    const std::filesystem::path& privateKeyFile() const { return privateKeyFile_; }    // PEM key
    const std::filesystem::path& directory() const { return directory_->path(); }

private:
    std::unique_ptr<TempDir> directory_;
    std::filesystem::path caFile_;
    std::filesystem::path certificateFile_;
    std::filesystem::path privateKeyFile_;
};

}  // namespace duoquill::test
