#include "Kit/RelayProcess.h"

#include <fstream>
#include <stdexcept>

#include "Kit/Paths.h"
#include "Kit/Process.h"
#include "Kit/TestCertificates.h"

namespace duoquill::test {

RelayProcess::RelayProcess() : RelayProcess(Options{}) {}

RelayProcess::RelayProcess(Options options) : plain_(options.plain) {
    std::vector<std::string> arguments{"--listen", "127.0.0.1:0"};
    if (options.plain) {
        arguments.push_back("--plain");
    } else {
        const auto& certificates = TestCertificates::shared();
        arguments.insert(arguments.end(), {"--cert", certificates.certificateFile().string(), "--key",
                                           certificates.privateKeyFile().string()});
    }
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
    ProcessOptions processOptions;
    processOptions.environment = options.environment;
    process_ = std::make_unique<RunningProcess>(relayPath().string(), arguments, processOptions);

    const std::string marker = "listening on 127.0.0.1:";
    process_->waitForStandardError([&](const std::string& log) { return log.find(marker) != std::string::npos; },
                                   std::chrono::seconds(10));
    const std::string log = process_->standardError();
    const auto portAfter = [&](const std::string& text) -> std::uint16_t {
        const auto at = log.find(text);
        return at == std::string::npos ? 0 : static_cast<std::uint16_t>(std::stoul(log.substr(at + text.size())));
    };
    if ((port_ = portAfter(marker)) == 0) throw std::runtime_error("duoquill-relay did not start: " + log);
    metricsPort_ = portAfter("metrics on 127.0.0.1:");  // printed before the line above
}

RelayProcess::~RelayProcess() = default;

std::string RelayProcess::url() const {
    return std::string(plain_ ? "ws" : "wss") + "://127.0.0.1:" + std::to_string(port_);
}

pid_t RelayProcess::pid() const { return process_->pid(); }

long RelayProcess::residentKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid()) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

int RelayProcess::stop(int signal, std::chrono::milliseconds timeout) {
    if (signal != 0 && !process_->waitForExit(std::chrono::milliseconds(0))) ::kill(process_->pid(), signal);
    auto status = process_->waitForExit(timeout);
    if (!status) {
        process_->killGroup();
        process_->waitForExit();
    }
    process_->waitForEndOfOutput(std::chrono::seconds(5));
    return status && *status >= 0 ? *status : -1;
}

long RelayProcess::metric(const std::string& name) const {
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    const std::string answer = exchange(connectLoopback(metricsPort_), request);
    if (answer.rfind("HTTP/1.1 200 ", 0) != 0) throw std::runtime_error("GET /metrics failed: " + answer);
    const std::string line = "\nduoquill_relay_" + name + " ";
    const auto at = answer.find(line);
    return at == std::string::npos ? -1 : std::stol(answer.substr(at + line.size()));
}

std::string RelayProcess::log() const { return process_->standardError(); }

}  // namespace duoquill::test
