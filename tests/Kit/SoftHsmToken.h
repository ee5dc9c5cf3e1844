#pragma once
// A SoftHSM2 token for a test: its configuration and token folder in a temporary folder,
// initialised with a label and a user PIN; SOFTHSM2_CONF points a process at it.

#include <map>
#include <string>

#include "Kit/Paths.h"

namespace duoquill::test {

class SoftHsmToken {
public:
    // Whether SoftHSM2 is installed.
    static bool available();
    static std::string modulePath();

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
