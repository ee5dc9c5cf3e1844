#pragma once
// The reader of the user's lines. Reading blocks, so it runs on a thread of its own; each
// line is handed to the client on the main actor and the thread waits for it to be handled
// before it reads the next, so lines go out one at a time and in order. "/quit" and the end
// of input quit. The thread never touches the client's state itself.

#include <boost/asio/any_io_executor.hpp>
#include <istream>
#include <memory>
#include <optional>
#include <string>

#include "Duoquill/Base/SecureBytes.h"
#include "DuoquillCLI/Chat/ChatTasks.h"

namespace duoquill::cli {

class ChatInput;

class StandardInputReader {
public:
    // Runs the reader on a detached thread; it lives until end of input, "/quit", or the
    // process ends.
    static void start(std::istream& input, boost::asio::any_io_executor executor, std::weak_ptr<ChatInput> client,
                      std::shared_ptr<TaskHandle> task);

    // The reader loop on the calling thread; returns when it stops.
    static void run(std::istream& input, boost::asio::any_io_executor executor, std::weak_ptr<ChatInput> client,
                    std::shared_ptr<TaskHandle> task);

    // The next line without its "\n" or "\r\n"; nothing at end of input. A last line without
    // a line feed still counts. Read a character at a time into SecureText, so that neither a
    // growing string nor a stream buffer keeps a copy (the chat's standard input is unbuffered).
    static std::optional<SecureText> readLine(std::istream& input);

    static constexpr std::string_view quitCommand = "/quit";
};

}  // namespace duoquill::cli
