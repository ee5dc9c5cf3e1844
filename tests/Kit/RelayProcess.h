#pragma once
// The servers a test runs in the background: the real duoquill-relay, and HAProxy in front of
// several of them.

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Kit/Paths.h"
#include "Kit/Process.h"

namespace duoquill::test {

// The relay started on 127.0.0.1 with a system-chosen port and the shared test certificates (or
// plain), its standard error collected as it runs. The destructor kills it if the test has not
// ended it.
// A room path as clients make them: "/" and 128 hex digits, distinct for every n.
std::string roomPath(int n);

class RelayProcess : public RunningProcess {
public:
    struct Options {
        bool plain = false;
        // Appended to --listen 127.0.0.1:0 and the certificate options, e.g. {"--ping-interval", "0.2"}.
        std::vector<std::string> arguments;
        // Set in its environment, on top of the test's.
        std::map<std::string, std::string> environment{};
    };

    // Returns once the relay has printed its "listening on" line; throws std::runtime_error
    // if it does not.
    RelayProcess() : RelayProcess(Options{}) {}
    explicit RelayProcess(Options options);

    std::uint16_t port() const { return port_; }
    // Where GET /metrics is answered, when the arguments include --metrics 127.0.0.1:0; else 0.
    std::uint16_t metricsPort() const { return metricsPort_; }
    // One sample of what GET /metrics answers, e.g. metric("rooms{members=\"2\"}"); -1 when absent.
    long metric(const std::string& name) const;
    // "wss://127.0.0.1:PORT" (or ws://); a client needs SSL_CERT_FILE = TestCertificates::shared().caFile().
    std::string url() const { return std::string(plain_ ? "ws" : "wss") + "://127.0.0.1:" + std::to_string(port_); }
    // Its resident memory now (VmRSS).
    long residentKiB() const;
    // Everything written to standard error so far (all of it once stop() has returned).
    std::string log() const { return standardError(); }

private:
    bool plain_ = false;
    std::uint16_t port_ = 0;
    std::uint16_t metricsPort_ = 0;
};

// The real HAProxy running the shipped deploy/haproxy/haproxy.cfg in front of relays started by
// the test (plain, with --proxy-protocol 127.0.0.1 and --metrics): TLS with the shared test
// certificates on a free loopback port, fast health checks, and an admin socket the test asks
// which relays are up. The destructor kills it.
class HaproxyProcess {
public:
    struct Relay {
        std::uint16_t port = 0;
        std::uint16_t metricsPort = 0;
    };
    struct Options {
        std::vector<Relay> relays;    // relay i + 1 on the hash ring for relays[i]
        std::string checkInterval = "200ms";
    };

    // Returns once HAProxy accepts connections and sees every relay up; throws
    // std::runtime_error if it does not.
    explicit HaproxyProcess(Options options);
    ~HaproxyProcess();

    std::uint16_t port() const { return port_; }
    std::string url() const { return "wss://127.0.0.1:" + std::to_string(port_); }
    pid_t pid() const;

    // Relay id -> whether HAProxy has it up, from "show servers state".
    std::map<int, bool> relaysUp() const;
    bool waitForRelay(int id, bool up, std::chrono::milliseconds timeout) const;

    std::string log() const;  // standard output and error so far

private:
    TempDir directory_;
    std::uint16_t port_ = 0;
    std::string adminSocket_;
    std::unique_ptr<RunningProcess> process_;
};

}  // namespace duoquill::test
