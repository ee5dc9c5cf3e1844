#pragma once
// ChatTransport over the relay WebSocket (WebSocketTransport), for the program.

#include <boost/asio/any_io_executor.hpp>

#include "Duoquill/Networking/WebSocketTransport.h"
#include "DuoquillCLI/ChatTransport.h"

namespace duoquill::cli {

class WebSocketChatTransport final : public ChatTransport {
public:
    explicit WebSocketChatTransport(boost::asio::any_io_executor executor) : transport_(std::move(executor)) {}

    void connect(const std::string& url) override { transport_.connect(url); }
    boost::asio::awaitable<void> send(std::string text) override;
    boost::asio::awaitable<std::string> receive() override;
    boost::asio::awaitable<void> disconnect() override;

private:
    WebSocketTransport transport_;
};

}  // namespace duoquill::cli
