#pragma once
// What the readers of the user's lines (the terminal's editor, the thread reader, the JSON-RPC
// reader) may ask of the chat. They hold it weakly: a chat that is gone takes nothing more.

#include <boost/asio/awaitable.hpp>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::cli {

class ChatInput {
public:
    virtual ~ChatInput() = default;
    // One line typed, without its terminator. Completes once the texts it caused have been
    // handed to the connection, so a fast reader is held back by a slow relay.
    virtual boost::asio::awaitable<void> sendMessage(SecureText line) = 0;
    // Says goodbye through the tunnel, closes the connection and ends the process (status 0).
    virtual boost::asio::awaitable<void> quit() = 0;
};

}  // namespace duoquill::cli
