// The reader of typed lines: terminators, the UTF-8 repair, /quit and the end of input.

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "DuoquillCLI/Terminal/StandardInputReader.h"
#include "Kit/InProcessChat.h"

namespace duoquill::test {
namespace {

using cli::StandardInputReader;

// The reader on its own thread, against a live chat: lines go out in order, without their
// terminator only ("\r" inside a line stays), repaired, and "/quit" or the end of input ends
// the chat (nothing after "/quit" is read).
TEST(TypedLines, ReaderHandsLinesOverOneAtATimeUntilQuitOrEndOfInput) {
    const std::pair<std::string, std::vector<std::string>> runs[] = {
        {"first\r\nsecond\n\r\n\xFF odd\n\nthree\r\rfour\n/quit \n/quit\nnever\n",
         {"first", "second", "\xEF\xBF\xBD odd", "three\r\rfour", "/quit "}},
        {"bye for now", {"bye for now"}},
    };
    for (const auto& [text, expected] : runs) {
        MachinePair pair;
        ChatProcess &a = pair.launch(0), &b = pair.launch(1);
        ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 10.0));
        std::istringstream input(text);
        std::atomic<bool> done = false;
        std::thread reader([&] {
            StandardInputReader::run(input, a.io.get_executor(), a.client, std::make_shared<cli::TaskHandle>());
            done = true;
        });
        for (int i = 0; i < 100000 && !done; ++i) {
            pair.runFor(0.001);
            std::this_thread::yield();
        }
        reader.join();
        pair.runFor(1.0);
        std::vector<std::string> received;
        for (const auto& line : b.display.lines) {
            if (line.starts_with("received:")) received.push_back(line.substr(9));
        }
        EXPECT_EQ(received, expected);
        EXPECT_EQ(a.exitStatus, std::optional<int>(0));
        EXPECT_EQ(b.state(), cli::chat::Phase::waitingForPeer);
    }
}

}  // namespace
}  // namespace duoquill::test
