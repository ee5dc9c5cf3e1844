#pragma once
// A WebSocket server over TLS on loopback, in the test process, on its own thread: it
// accepts connections, records what each client sent (messages, pings, the close code) and
// sends frames when the test asks.

#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "TestAuthority.h"

namespace duoquill::test {

struct ServerConnectionLog {
    std::string target;      // the request path
    std::string serverName;  // SNI sent by the client
    std::vector<std::string> messages;
    int pings = 0;
    std::optional<int> closeCode;  // from the client's close frame
    bool ended = false;
};

class TestWebSocketServer {
public:
    struct Options {
        IssuedCertificate certificate;
        std::string address = "127.0.0.1";
        bool silent = false;  // after the upgrade, read nothing: no pong, no close reply
    };

    explicit TestWebSocketServer(Options options);
    ~TestWebSocketServer();

    unsigned short port() const { return port_; }
    std::string url(const std::string& host = "localhost", const std::string& path = "/room") const;

    std::size_t connectionCount() const;
    ServerConnectionLog connection(std::size_t index) const;
    int totalPings() const;

    // Frames to the client of connection `index`, in call order.
    void sendText(std::size_t index, std::string text);
    void sendBinary(std::size_t index, std::string bytes);

    struct Impl;

private:
    std::unique_ptr<Impl> impl_;
    unsigned short port_ = 0;
    std::thread thread_;
};

}  // namespace duoquill::test
