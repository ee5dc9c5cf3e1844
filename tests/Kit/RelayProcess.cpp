#include "Kit/RelayProcess.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <algorithm>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "Duoquill/Base/CryptoCore.h"
#include "Duoquill/Primitives/Sha2.h"
#include "Kit/TestCertificates.h"

namespace duoquill::test {

using namespace std::chrono_literals;

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

// The first haproxy on PATH, else Debian's.
std::string haproxyPath() {
    const auto found = runProcess("/bin/sh", {"-c", "command -v haproxy"});
    if (found.exitStatus != 0) return "/usr/sbin/haproxy";
    return found.standardOutput.substr(0, found.standardOutput.find('\n'));
}

}  // namespace

std::string roomPath(int n) { return "/" + hexString(sha512(asBytes(std::to_string(n)))); }

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

HaproxyProcess::HaproxyProcess(Options options) {
    const auto& certificates = TestCertificates::shared();
    const auto pem = directory_.path() / "haproxy.pem";
    std::ofstream(pem) << readFile(certificates.certificateFile()) << readFile(certificates.privateKeyFile());
    adminSocket_ = (directory_.path() / "admin.sock").string();
    port_ = freeLoopbackPort();

    ProcessOptions environment{.environment = {{"DUOQUILL_BIND", "127.0.0.1:" + std::to_string(port_)},
                                               {"DUOQUILL_TLS_PEM", pem.string()},
                                               {"DUOQUILL_CHECK_INTER", options.checkInterval},
                                               {"DUOQUILL_ADMIN_SOCKET", adminSocket_}},
                               .unsetEnvironment = {"DUOQUILL_HAPROXY_USER"}};
    for (std::size_t i = 0; i < options.relays.size(); ++i) {
        const std::string name = "DUOQUILL_RELAY_" + std::to_string(i + 1);
        environment.environment[name] = "127.0.0.1:" + std::to_string(options.relays[i].port);
        environment.environment[name + "_METRICS"] = std::to_string(options.relays[i].metricsPort);
    }
    const auto configuration = sourceDir() / "deploy" / "haproxy" / "haproxy.cfg";
    process_ = std::make_unique<RunningProcess>(haproxyPath(), std::vector<std::string>{"-db", "-f", configuration.string()},
                                                environment);

    const bool started = pollUntil([&] {
        const auto up = relaysUp();
        return process_->waitForExit(0ms) ||
               (listensOnLoopback(port_) && up.size() == options.relays.size() &&
                std::ranges::all_of(up, [](const auto& relay) { return relay.second; }));
    }, 20s);
    if (!started || process_->waitForExit(0ms)) {
        throw std::runtime_error("haproxy did not start with every relay up: " + log());
    }
}

HaproxyProcess::~HaproxyProcess() = default;

pid_t HaproxyProcess::pid() const { return process_->pid(); }

std::map<int, bool> HaproxyProcess::relaysUp() const {
    std::map<int, bool> states;
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (adminSocket_.size() >= sizeof address.sun_path) throw std::runtime_error("admin socket path too long");
    adminSocket_.copy(address.sun_path, adminSocket_.size());
    if (::connect(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
        ::close(socket);
        return states;
    }
    const std::string answer = exchange(socket, "show servers state duoquill_relays\n");
    // Fields: be_id be_name srv_id srv_name srv_addr srv_op_state ...; state 2 is running.
    std::istringstream lines(answer);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty() || line.starts_with('#') || line.find(' ') == std::string::npos) continue;
        std::istringstream fields(line);
        std::string backendId, backend, id, name, address, state;
        if (fields >> backendId >> backend >> id >> name >> address >> state) states[std::stoi(id)] = state == "2";
    }
    return states;
}

bool HaproxyProcess::waitForRelay(int id, bool up, std::chrono::milliseconds timeout) const {
    return pollUntil([&] {
        const auto states = relaysUp();
        const auto it = states.find(id);
        return it != states.end() && it->second == up;
    }, timeout);
}

std::string HaproxyProcess::log() const { return process_->standardOutput() + process_->standardError(); }

}  // namespace duoquill::test
