#pragma once
// The real HAProxy running the shipped deploy/haproxy/haproxy.cfg in front of relays started by
// the test (plain, with --proxy-protocol 127.0.0.1 and --metrics): TLS with the shared test
// certificates on a free loopback port, fast health checks, and an admin socket the test asks
// which relays are up. The destructor kills it.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "Kit/Paths.h"

namespace duoquill::test {

class RunningProcess;

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
