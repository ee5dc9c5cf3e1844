#pragma once
// A relay served by the library on a thread of the test, with TLS from the shared test
// certificates, and clients that trust them.

#include <boost/asio/io_context.hpp>

#include <memory>
#include <string>
#include <thread>

#include "DuoquillRelay/RelayOptions.h"
#include "DuoquillRelay/RelayServer.h"
#include "Support/TestCertificates.h"
#include "Support/WebSocketTestClient.h"

namespace duoquill::test {

inline relay::RelayOptions testRelayOptions() {
    relay::RelayOptions options;
    options.host = "127.0.0.1";
    options.port = 0;
    options.certificateFile = TestCertificates::shared().certificateFile().string();
    options.privateKeyFile = TestCertificates::shared().privateKeyFile().string();
    options.quiet = true;
    options.closeTimeout = std::chrono::milliseconds(2000);
    return options;
}

class InProcessRelay {
public:
    explicit InProcessRelay(const relay::RelayOptions& options = testRelayOptions())
        : plain_(options.plain), server_(context_, options), thread_([this] { context_.run(); }) {}

    ~InProcessRelay() {
        server_.shutdown();
        thread_.join();
    }

    std::uint16_t port() const { return server_.localEndpoint().port(); }
    relay::RelayServer& server() { return server_; }

    std::unique_ptr<WebSocketTestClient> client() const {
        WebSocketTestClient::Options options;
        options.tls = !plain_;
        options.caFile = TestCertificates::shared().caFile();
        return std::make_unique<WebSocketTestClient>(options);
    }

    // A client that has joined `path` (101 checked by the caller through ASSERT on open()).
    std::unique_ptr<WebSocketTestClient> join(const std::string& path) const {
        auto c = client();
        const int status = c->open(port(), path);
        if (status != 101) throw std::runtime_error("join answered " + std::to_string(status));
        return c;
    }

private:
    bool plain_;
    boost::asio::io_context context_;
    relay::RelayServer server_;
    std::thread thread_;
};

// A distinct, valid room path for each number.
inline std::string roomPath(int n) {
    static constexpr char hex[] = "0123456789abcdef";
    std::string path = "/";
    for (int i = 0; i < 128; ++i) path += hex[(n * 7 + i * 13 + (i * n) % 5) % 16];
    return path;
}

}  // namespace duoquill::test
