#pragma once
// A WebSocket client for tests, synchronous and with time limits: open a path, send frames,
// read what arrives (text, binary, or the close with its code), close cleanly or drop the
// TCP connection without a word. TLS verifies the server against a given CA file and name.
//
// Received frames are read in the background only while a call of this object is running,
// so a client that is not being called neither reads nor answers pings: it is silent.

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>

namespace duoquill::test {

struct WebSocketEvent {
    enum class Kind { text, binary, closed, failed, timedOut };
    Kind kind = Kind::timedOut;
    std::string data;          // the frame's payload, or the close reason
    int closeCode = 0;         // for `closed`: the code the server sent
    std::string error;         // for `failed`
};

class WebSocketTestClient {
public:
    // A client of 127.0.0.1 that sends "localhost" as the TLS server name and expects it on the
    // certificate. Each call waits at most 5 s unless given a time.
    struct Options {
        bool tls = true;
        std::filesystem::path caFile;  // required with tls
        std::string preamble{};        // sent before TLS and the upgrade: a PROXY header
    };

    explicit WebSocketTestClient(Options options);
    ~WebSocketTestClient();

    // TCP connect, TLS handshake and the upgrade request for `path`. Returns the HTTP status
    // of the answer: 101 when the WebSocket is open. Throws std::runtime_error when the
    // connection or TLS fails.
    int open(std::uint16_t port, const std::string& path);
    bool isOpen() const;

    // Throw std::runtime_error when the frame cannot be written.
    void sendText(std::string_view text);
    // One frame of a text message in fragments: the message ends with the frame sent `last`.
    void sendPart(std::string_view text, bool last);
    void sendBinary(std::string_view bytes);

    // The next frame or the end of the connection; `timedOut` when nothing came in time.
    WebSocketEvent read(std::chrono::milliseconds timeout = std::chrono::seconds(5));
    // Reads until a text frame arrives and returns its payload; throws on anything else.
    std::string readText();

    // Sends a close frame (1000) and waits for the server's answer.
    void close();
    // Ends the TCP connection at once: no close frame, no TLS close_notify.
    void drop();

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

std::string describe(const WebSocketEvent& event);

}  // namespace duoquill::test
