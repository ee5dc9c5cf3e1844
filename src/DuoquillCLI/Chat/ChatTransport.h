#pragma once
// The relay connection as the chat client sees it: one WebSocket carrying whole text messages.
// The program uses the WebSocket transport (RunChat.cpp); tests plug in an
// in-process relay.

#include <boost/asio/awaitable.hpp>
#include <functional>
#include <memory>
#include <string>

namespace duoquill::cli {

class ChatTransport {
public:
    virtual ~ChatTransport() = default;
    // Starts the connection and returns at once; a failure shows in the next send or receive.
    virtual void connect(const std::string& url) = 0;
    // Completes when the message has been handed on; throws on failure.
    virtual boost::asio::awaitable<void> send(std::string text) = 0;
    // The next text message; throws when the connection fails or has been closed.
    virtual boost::asio::awaitable<std::string> receive() = 0;
    // Closes with code 1000 (normal closure); never throws.
    virtual boost::asio::awaitable<void> disconnect() = 0;
};

using ChatTransportFactory = std::function<std::shared_ptr<ChatTransport>()>;

}  // namespace duoquill::cli
