#pragma once
// The hardware key stores a test runs in software, each in a temporary folder of its own and
// gone with the object: a TPM 2.0 (swtpm) and a PKCS#11 token (SoftHSM2).

#include <map>
#include <memory>
#include <string>

#include "Kit/Paths.h"
#include "Kit/Process.h"

namespace duoquill::test {

// A software TPM listening on loopback. One client at a time: the TPM's connection is held by
// whoever has the key store open.
class Swtpm {
public:
    // Whether swtpm and OpenSSL's TPM 2.0 provider are installed.
    static bool available();

    // Returns once the TPM accepts connections; throws std::runtime_error if it does not.
    Swtpm();

    // "swtpm:host=127.0.0.1,port=N", as the provider's TPM2OPENSSL_TCTI takes it.
    const std::string& tcti() const { return tcti_; }
    // What a duoquill-cli process needs to use this TPM.
    std::map<std::string, std::string> environment() const {
        return {{"TPM2OPENSSL_TCTI", tcti_}, {"DUOQUILL_KEY_STORE", "tpm"}};
    }

private:
    TempDir state_;
    std::string tcti_;
    std::unique_ptr<RunningProcess> process_;
};

// A SoftHSM2 token initialised with a label and a user PIN; SOFTHSM2_CONF points a process at it.
class SoftHsmToken {
public:
    // Whether SoftHSM2 is installed.
    static bool available();
    static std::string modulePath() { return "/usr/lib/softhsm/libsofthsm2.so"; }

    // Throws std::runtime_error when the token cannot be initialised.
    SoftHsmToken(const std::string& label, const std::string& pin);

    const std::string& configuration() const { return configuration_; }
    const std::string& pin() const { return pin_; }
    // What a duoquill-cli process needs to make its key on this token.
    std::map<std::string, std::string> environment() const {
        return {{"SOFTHSM2_CONF", configuration_}, {"DUOQUILL_KEY_STORE", "pkcs11:" + modulePath()}};
    }

private:
    TempDir folder_;
    std::string configuration_;
    std::string pin_;
};

}  // namespace duoquill::test
