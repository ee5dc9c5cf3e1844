#include "DuoquillCLI/Terminal/StandardInputReader.h"

#include <boost/asio/co_spawn.hpp>
#include <future>
#include <streambuf>
#include <thread>

#include "Duoquill/Base/Utf8.h"
#include "DuoquillCLI/Chat/ChatInput.h"

namespace asio = boost::asio;

namespace duoquill::cli {

std::optional<SecureText> StandardInputReader::readLine(std::istream& input) {
    std::streambuf* source = input.rdbuf();
    SecureText line;
    line.reserve(256);
    bool readAnything = false;
    for (auto c = source->sbumpc(); c != std::char_traits<char>::eof(); c = source->sbumpc()) {
        readAnything = true;
        if (c == '\n') {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            return line;
        }
        line += static_cast<char>(c);
    }
    input.setstate(std::ios::eofbit);
    if (!readAnything) return std::nullopt;
    return line;
}

void StandardInputReader::start(std::istream& input, asio::any_io_executor executor, std::weak_ptr<ChatInput> client,
                                std::shared_ptr<TaskHandle> task) {
    std::thread([&input, executor = std::move(executor), client = std::move(client), task = std::move(task)] {
        run(input, executor, client, task);
    }).detach();
}

void StandardInputReader::run(std::istream& input, asio::any_io_executor executor, std::weak_ptr<ChatInput> client,
                              std::shared_ptr<TaskHandle> task) {
    for (;;) {
        auto line = readLine(input);
        const bool quits = !line || *line == quitCommand;
        // The handler holds the text itself, not the optional: g++ 14 takes a moved optional
        // for uninitialized when the handler is destroyed.
        SecureText text;
        if (!quits) text = withUtf8Replacements<SecureText>(line->view());

        // Everything that touches the client or the task runs on the main actor.
        auto handle = [client, task, quits, line = std::move(text)]() -> asio::awaitable<bool> {
            if (task->isCancelled()) co_return false;
            auto target = client.lock();
            if (quits) {
                if (target) co_await target->quit();
                co_return false;
            }
            if (!target) co_return true;  // the line is dropped
            co_await target->sendMessage(line);
            co_return !task->isCancelled();
        };
        std::promise<bool> done;
        auto result = done.get_future();
        asio::co_spawn(executor, std::move(handle), [&done](std::exception_ptr error, bool goOn) {
            done.set_value(!error && goOn);
        });
        if (!result.get()) return;
    }
}

}  // namespace duoquill::cli
