#pragma once
// The real duoquill-relay running in the background for a test: started on 127.0.0.1 with a
// system-chosen port and the shared test certificates (or plain), its standard error
// collected as it runs. The destructor kills it if the test has not ended it.

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <thread>
#include <vector>

namespace duoquill::test {

class RelayProcess {
public:
    struct Options {
        bool plain = false;
        // Appended to --listen 127.0.0.1:0 and the certificate options, e.g. {"--ping-interval", "0.2"}.
        std::vector<std::string> arguments;
        std::chrono::milliseconds startTimeout{10000};
    };

    // Returns once the relay has printed its "listening on" line; throws std::runtime_error
    // if it does not.
    RelayProcess();
    explicit RelayProcess(Options options);
    ~RelayProcess();
    RelayProcess(const RelayProcess&) = delete;
    RelayProcess& operator=(const RelayProcess&) = delete;

    std::uint16_t port() const { return port_; }
    // "wss://127.0.0.1:PORT" (or ws://); a client needs SSL_CERT_FILE = TestCertificates::shared().caFile().
    std::string url() const;
    pid_t pid() const { return pid_; }

    // Sends the signal and waits for the process to end. The exit status, or -1 when a
    // signal ended it (or it did not end in time and was killed).
    int stop(int signal, std::chrono::milliseconds timeout = std::chrono::milliseconds(10000));
    bool running() const { return pid_ > 0; }

    // Everything written to standard error so far.
    std::string log() const;
    // Waits until standard error contains `text`.
    bool waitForLog(std::string_view text, std::chrono::milliseconds timeout = std::chrono::milliseconds(5000)) const;

private:
    void collect(int fd);

    bool plain_ = false;
    pid_t pid_ = -1;
    std::uint16_t port_ = 0;
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string log_;
    bool closed_ = false;
};

}  // namespace duoquill::test
