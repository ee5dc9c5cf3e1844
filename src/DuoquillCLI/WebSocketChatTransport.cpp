#include "DuoquillCLI/WebSocketChatTransport.h"

namespace asio = boost::asio;

namespace duoquill::cli {

asio::awaitable<void> WebSocketChatTransport::send(std::string text) { co_await transport_.send(std::move(text)); }

asio::awaitable<std::string> WebSocketChatTransport::receive() { co_return co_await transport_.receive(); }

asio::awaitable<void> WebSocketChatTransport::disconnect() {
    try {
        co_await transport_.disconnect();
    } catch (...) {
    }
}

}  // namespace duoquill::cli
