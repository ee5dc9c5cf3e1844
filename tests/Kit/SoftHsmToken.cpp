#include "Kit/SoftHsmToken.h"

#include <fstream>
#include <stdexcept>

#include "Kit/Process.h"

namespace duoquill::test {

bool SoftHsmToken::available() {
    return std::filesystem::exists(modulePath()) && std::filesystem::exists("/usr/bin/softhsm2-util");
}

std::string SoftHsmToken::modulePath() { return "/usr/lib/softhsm/libsofthsm2.so"; }

SoftHsmToken::SoftHsmToken(const std::string& label, const std::string& pin)
    : configuration_((folder_.path() / "softhsm2.conf").string()), pin_(pin) {
    std::filesystem::create_directory(folder_.path() / "tokens");
    std::ofstream(configuration_) << "directories.tokendir = " << (folder_.path() / "tokens").string()
                                  << "\nobjectstore.backend = file\nlog.level = ERROR\n";
    const auto result = runProcess("/usr/bin/softhsm2-util",
                                   {"--init-token", "--free", "--label", label, "--pin", pin, "--so-pin", pin + "-so"},
                                   {.environment = {{"SOFTHSM2_CONF", configuration_}}});
    if (result.exitStatus != 0) throw std::runtime_error("softhsm2-util failed: " + result.standardError);
}

}  // namespace duoquill::test
