// The reader of typed lines and the UTF-8 repairs it makes.

#include <gtest/gtest.h>

#include <atomic>
#include <sstream>
#include <thread>

#include "ChatTestSupport.h"
#include "DuoquillCLI/StandardInputReader.h"
#include "DuoquillCLI/UTF8Text.h"

namespace duoquill::test {
namespace {

using cli::StandardInputReader;
namespace UTF8Text = cli::UTF8Text;

TEST(TypedLines, LoseTheirTerminatorOnly) {
    std::istringstream input("one\ntwo\r\n\r\nthree\r\rfour\n\nlast");
    std::vector<std::string> got;
    while (auto line = StandardInputReader::readLine(input)) got.push_back(*line);
    EXPECT_EQ(got, (std::vector<std::string>{"one", "two", "", "three\r\rfour", "", "last"}));
}

TEST(TypedLines, InvalidUTF8IsReplaced) {
    EXPECT_EQ(UTF8Text::withReplacements("plain \xC3\xA9 \xF0\x9F\x91\x8B"), "plain \xC3\xA9 \xF0\x9F\x91\x8B");
    EXPECT_EQ(UTF8Text::withReplacements("a\xFF" "b"), "a\xEF\xBF\xBD" "b");
    // Overlong form, surrogate, truncated sequence, above U+10FFFF.
    EXPECT_EQ(UTF8Text::withReplacements("\xC0\xAF"), "\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(UTF8Text::withReplacements("\xED\xA0\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_EQ(UTF8Text::withReplacements("x\xE2\x82"), "x\xEF\xBF\xBD");
    EXPECT_EQ(UTF8Text::withReplacements("\xF4\x90\x80\x80"), "\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD");
    EXPECT_TRUE(UTF8Text::isValid(UTF8Text::withReplacements("\x80\xBF\xF8\xFE")));
    EXPECT_FALSE(UTF8Text::isValid("\xE2\x82"));
    EXPECT_TRUE(UTF8Text::isValid(""));
}

// The reader on its own thread, against a live chat: lines go out in order, repaired, and
// "/quit" ends the chat (nothing after it is read).
TEST(TypedLines, ReaderHandsLinesOverOneAtATimeAndQuits) {
    ChatPair pair;
    auto& a = pair.launch(0);
    auto& b = pair.launch(1);
    ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 10.0));

    std::istringstream input("first\r\nsecond\n\xFF odd\n\n/quit \n/quit\nnever\n");
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
    EXPECT_EQ(received, (std::vector<std::string>{"first", "second", "\xEF\xBF\xBD odd", "/quit "}));
    ASSERT_TRUE(a.exitStatus.has_value());
    EXPECT_EQ(*a.exitStatus, 0);
}

TEST(TypedLines, EndOfInputQuitsLikeQuit) {
    ChatPair pair;
    auto& a = pair.launch(0);
    pair.launch(1);
    ASSERT_TRUE(pair.runUntil([&] { return pair.bothActive(); }, 10.0));
    std::istringstream input("bye for now");
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
    EXPECT_TRUE(pair.process(1).display.contains("received:bye for now"));
    ASSERT_TRUE(a.exitStatus.has_value());
    EXPECT_EQ(*a.exitStatus, 0);
    EXPECT_EQ(pair.process(1).state(), cli::CLIChatClient::State::Kind::waitingForPeer);
}

}  // namespace
}  // namespace duoquill::test
