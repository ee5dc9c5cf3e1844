#pragma once
// The reader of `chat --json`: one JSON-RPC 2.0 request per line of standard input. "send"
// (params {"text": ...}) hands the text to the client as a typed line and is answered with the
// line's number; "quit" is answered with the numbers the peer has not confirmed, then quits.
// A malformed request is answered with a JSON-RPC error and changes nothing; end of input
// quits. Like the person's reader it runs on a thread of its own and waits for each request
// to be handled on the main actor before it reads the next.

#include <boost/asio/any_io_executor.hpp>
#include <boost/asio/awaitable.hpp>
#include <istream>
#include <memory>
#include <string_view>

#include "DuoquillCLI/Chat/ChatTasks.h"

namespace duoquill::cli {

class ChatInput;
class JsonChatDisplay;

class JsonRequestReader {
public:
    static void start(std::istream& input, boost::asio::any_io_executor executor, std::weak_ptr<ChatInput> client,
                      std::shared_ptr<TaskHandle> task, JsonChatDisplay& output);

    // One request line, on the main actor; false once the client has been told to quit.
    static boost::asio::awaitable<bool> handle(ChatInput& client, JsonChatDisplay& output, std::string_view line);
};

}  // namespace duoquill::cli
