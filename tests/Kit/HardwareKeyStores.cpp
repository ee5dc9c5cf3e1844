#include "Kit/HardwareKeyStores.h"

#include <fstream>
#include <stdexcept>

namespace duoquill::test {

bool Swtpm::available() {
    return runProcess("/bin/sh", {"-c", "test -x /usr/bin/swtpm"}).exitStatus == 0 &&
           runProcess("/bin/sh", {"-c", "test -f \"$(openssl version -m | cut -d'\"' -f2)/tpm2.so\""}).exitStatus == 0;
}

Swtpm::Swtpm() {
    for (int attempt = 0; attempt < 10 && !process_; ++attempt) {
        // swtpm's control channel goes on the next port.
        const std::uint16_t port = freeLoopbackPort();
        if (port == 65535 || listensOnLoopback(static_cast<std::uint16_t>(port + 1))) continue;
        const std::string server = "type=tcp,bindaddr=127.0.0.1,port=" + std::to_string(port);
        const std::string control = "type=tcp,bindaddr=127.0.0.1,port=" + std::to_string(port + 1);
        auto process = std::make_unique<RunningProcess>(
            "/usr/bin/swtpm", std::vector<std::string>{"socket", "--tpm2", "--tpmstate", "dir=" + state_.str(), "--server", server,
                                              "--ctrl", control, "--flags", "not-need-init,startup-clear"});
        const auto ended = [&] { return process->waitForExit(std::chrono::milliseconds(0)).has_value(); };
        pollUntil([&] { return ended() || listensOnLoopback(port); }, std::chrono::seconds(5));
        if (ended() || !listensOnLoopback(port)) continue;  // the port was taken meanwhile
        tcti_ = "swtpm:host=127.0.0.1,port=" + std::to_string(port);
        process_ = std::move(process);
    }
    if (!process_) throw std::runtime_error("swtpm did not start");
}

bool SoftHsmToken::available() {
    return std::filesystem::exists(modulePath()) && std::filesystem::exists("/usr/bin/softhsm2-util");
}

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
