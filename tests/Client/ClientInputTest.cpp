// The reader of typed lines and the UTF-8 repairs it makes.

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "Kit/InProcessChat.h"
#include "Duoquill/Platform/Utf8.h"
#include "DuoquillCLI/StandardInputReader.h"

namespace duoquill::test {
namespace {

using cli::StandardInputReader;

TEST(TypedLines, LoseTheirTerminatorOnlyAndInvalidUTF8IsReplaced) {
    std::istringstream input("one\ntwo\r\n\r\nthree\r\rfour\n\nlast");
    std::vector<std::string> got;
    while (auto line = StandardInputReader::readLine(input)) got.push_back(*line);
    EXPECT_EQ(got, (std::vector<std::string>{"one", "two", "", "three\r\rfour", "", "last"}));

    const std::string fffd = "\xEF\xBF\xBD";
    const std::pair<std::string, std::string> repairs[] = {
        {"plain \xC3\xA9 \xF0\x9F\x91\x8B", "plain \xC3\xA9 \xF0\x9F\x91\x8B"},
        {"a\xFF" "b", "a" + fffd + "b"},
        {"\xC0\xAF", fffd + fffd},                       // overlong form
        {"\xED\xA0\x80", fffd + fffd + fffd},            // surrogate
        {"x\xE2\x82", "x" + fffd},                       // truncated sequence
        {"\xF4\x90\x80\x80", fffd + fffd + fffd + fffd}, // above U+10FFFF
    };
    for (const auto& [in, out] : repairs) EXPECT_EQ(withUtf8Replacements(in), out);
    EXPECT_TRUE(isValidUtf8(withUtf8Replacements("\x80\xBF\xF8\xFE")));
    EXPECT_FALSE(isValidUtf8("\xE2\x82"));
    EXPECT_TRUE(isValidUtf8(""));
}

// The reader on its own thread, against a live chat: lines go out in order, repaired, and
// "/quit" or the end of input ends the chat (nothing after "/quit" is read).
TEST(TypedLines, ReaderHandsLinesOverOneAtATimeUntilQuitOrEndOfInput) {
    const std::pair<std::string, std::vector<std::string>> runs[] = {
        {"first\r\nsecond\n\xFF odd\n\n/quit \n/quit\nnever\n", {"first", "second", "\xEF\xBF\xBD odd", "/quit "}},
        {"bye for now", {"bye for now"}},
    };
    for (const auto& [text, expected] : runs) {
        ChatPair pair;
        auto& a = pair.launch(0);
        auto& b = pair.launch(1);
        ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 10.0));
        std::istringstream input(text);
        std::atomic<bool> done = false;
        std::thread reader([&] {
            StandardInputReader::run(input, a.io->get_executor(), a.client, std::make_shared<cli::TaskHandle>());
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
        EXPECT_EQ(b.state(), cli::CLIChatClient::State::Kind::waitingForPeer);
    }
}

}  // namespace
}  // namespace duoquill::test
