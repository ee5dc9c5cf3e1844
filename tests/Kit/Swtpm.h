#pragma once
// A software TPM 2.0 (swtpm) for a test: its state in a folder of its own, listening on
// loopback, stopped and its state removed with the object. One client at a time: the TPM's
// connection is held by whoever has the key store open.

#include <map>
#include <memory>
#include <string>

#include "Kit/Paths.h"
#include "Kit/Process.h"

namespace duoquill::test {

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

}  // namespace duoquill::test
