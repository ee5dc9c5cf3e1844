#include "DuoquillCLI/Json/JsonRequestReader.h"

#include <boost/asio/co_spawn.hpp>
#include <future>
#include <thread>

#include "Duoquill/System/StandardStreams.h"
#include "DuoquillCLI/Chat/ChatInput.h"
#include "DuoquillCLI/Json/JsonChatDisplay.h"
#include "DuoquillCLI/Json/JsonRpc.h"
#include "DuoquillCLI/Terminal/StandardInputReader.h"

namespace asio = boost::asio;

namespace duoquill::cli {

void JsonRequestReader::start(std::istream& input, asio::any_io_executor executor, std::weak_ptr<ChatInput> client,
                              std::shared_ptr<TaskHandle> task, JsonChatDisplay& output) {
    std::thread([&input, &output, executor = std::move(executor), client = std::move(client), task = std::move(task)] {
        for (;;) {
            auto line = StandardInputReader::readLine(input);
            const bool ended = !line;
            SecureText text;
            if (line) text = std::move(*line);
            auto handleLine = [client, task, ended, &output, text = std::move(text)]() -> asio::awaitable<bool> {
                if (task->isCancelled()) co_return false;
                auto target = client.lock();
                if (!target) co_return !ended;
                if (ended) {
                    co_await target->quit();
                    co_return false;
                }
                co_return co_await handle(*target, output, text.view());
            };
            std::promise<bool> done;
            auto result = done.get_future();
            asio::co_spawn(executor, std::move(handleLine), [&done](std::exception_ptr error, bool goOn) {
                done.set_value(!error && goOn);
            });
            if (!result.get()) return;
        }
    }).detach();
}

asio::awaitable<bool> JsonRequestReader::handle(ChatInput& client, JsonChatDisplay& output, std::string_view line) {
    auto parsed = jsonrpc::parse(line);
    if (auto* failure = std::get_if<jsonrpc::Failure>(&parsed)) {
        if (failure->answered) {
            output.answerError(failure->id, failure->code, failure->message);
        } else {
            writeStandardError("ignored notification: " + failure->message + "\n");
        }
        co_return true;
    }
    auto& request = std::get<jsonrpc::Request>(parsed);
    if (request.method == "quit") {
        output.beginQuit(request.id);
        co_await client.quit();
        output.endQuit();
        co_return false;
    }
    output.beginSend(request.id);
    co_await client.sendMessage(std::move(request.text));
    output.endSend();
    co_return true;
}

}  // namespace duoquill::cli
