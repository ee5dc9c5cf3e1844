#include "Kit/RelayProcess.h"

#include <fstream>
#include <stdexcept>

#include "Kit/Paths.h"
#include "Kit/TestCertificates.h"

namespace duoquill::test {

namespace {

std::vector<std::string> relayArguments(const RelayProcess::Options& options) {
    std::vector<std::string> arguments{"--listen", "127.0.0.1:0"};
    if (options.plain) {
        arguments.push_back("--plain");
    } else {
        const auto& certificates = TestCertificates::shared();
        arguments.insert(arguments.end(), {"--cert", certificates.certificateFile().string(), "--key",
                                           certificates.privateKeyFile().string()});
    }
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
    return arguments;
}

}  // namespace

RelayProcess::RelayProcess(Options options)
    : RunningProcess(relayPath().string(), relayArguments(options), {.environment = options.environment}),
      plain_(options.plain) {
    const std::string marker = "listening on 127.0.0.1:";
    waitForStandardError([&](const std::string& log) { return log.find(marker) != std::string::npos; },
                         std::chrono::seconds(10));
    const std::string log = standardError();
    const auto portAfter = [&](const std::string& text) -> std::uint16_t {
        const auto at = log.find(text);
        return at == std::string::npos ? 0 : static_cast<std::uint16_t>(std::stoul(log.substr(at + text.size())));
    };
    if ((port_ = portAfter(marker)) == 0) throw std::runtime_error("duoquill-relay did not start: " + log);
    metricsPort_ = portAfter("metrics on 127.0.0.1:");  // printed before the line above
}

long RelayProcess::residentKiB() const {
    std::ifstream status("/proc/" + std::to_string(pid()) + "/status");
    for (std::string line; std::getline(status, line);) {
        if (line.rfind("VmRSS:", 0) == 0) return std::stol(line.substr(6));
    }
    return -1;
}

long RelayProcess::metric(const std::string& name) const {
    const std::string request = "GET /metrics HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    const std::string answer = exchange(connectLoopback(metricsPort_), request);
    if (answer.rfind("HTTP/1.1 200 ", 0) != 0) throw std::runtime_error("GET /metrics failed: " + answer);
    const std::string line = "\nduoquill_relay_" + name + " ";
    const auto at = answer.find(line);
    return at == std::string::npos ? -1 : std::stol(answer.substr(at + line.size()));
}

}  // namespace duoquill::test
