// duoquill-cli chat in a pseudo-terminal of the test's own, talking to a piped peer over the
// real relay: what the line editor shows and what it sends.

#include <gtest/gtest.h>
#include <sys/ioctl.h>
#include <termios.h>

#include <csignal>
#include <filesystem>
#include <memory>
#include <thread>

#include "Kit/ChatCliProcess.h"
#include "Kit/RelayProcess.h"

namespace duoquill::test {
namespace {

constexpr std::string_view prompt = "\x1b[1m\x1b[32m>\x1b[0m ";

const std::string left = "\x1b[D", right = "\x1b[C", up = "\x1b[A";

bool endsWith(const ChatCliProcess& client, std::string_view text) {
    return client.waitForStandardError([&](const std::string& shown) { return shown.ends_with(text); }, 10s);
}

void expectTerminalRestored(const ChatCliProcess& client) {
    termios modes{};
    ASSERT_EQ(::tcgetattr(client.terminal(), &modes), 0);
    EXPECT_EQ(modes.c_lflag & (ICANON | ECHO), tcflag_t{ICANON | ECHO});
}

// Alice types in a terminal, Bob's input is a pipe. Each way out of Alice's chat ends it: the
// next part starts both chats again.
TEST(TerminalEditing, EditingHistoryPastesAndEveryWayOut) {
    const ChatUser alice("alice"), bob("bob");
    RelayProcess relay;
    std::unique_ptr<ChatCliProcess> a, b;
    const auto startBoth = [&] {
        b.reset();  // gone without a word, so that the new chats meet in an empty room
        b = std::make_unique<ChatCliProcess>(bob, alice.publicKey(), relay.url());
        a = std::make_unique<ChatCliProcess>(alice, bob.publicKey(), relay.url(), true);
        ASSERT_TRUE(a->waitFor(std::string(kConnectedLine) + "\n\n> ")) << a->standardError();
        ASSERT_TRUE(b->waitFor(kConnectedLine)) << b->standardError();
    };
    // Ctrl-C or Ctrl-D says goodbye: the peer waits again, and nothing half typed is sent.
    const auto expectGoodbye = [&](std::string_view keys, std::string_view unsent) {
        const auto waiting = b->timesShown("waiting for peer...");
        a->write(keys);
        EXPECT_EQ(a->waitForExit(), std::optional<int>(0));
        ASSERT_TRUE(b->waitFor("waiting for peer...", 10s, waiting + 1)) << b->standardError();
        EXPECT_EQ(b->timesShown(unsent), 0u);
        expectTerminalRestored(*a);
    };
    ASSERT_NO_FATAL_FAILURE(startBoth());

    // A peer line arriving mid-typing lands above; the partial line is drawn again after it.
    a->write("hel");
    ASSERT_TRUE(endsWith(*a, "hel")) << a->standardError();
    b->type("from bob");
    ASSERT_TRUE(endsWith(*a, "from bob\r\n" + std::string(prompt) + "hel")) << a->standardError();
    a->write("lo\r");
    ASSERT_TRUE(b->waitFor("peer > hello\n")) << b->standardError();
    ASSERT_TRUE(a->waitFor("you > hello\n")) << a->standardError();

    // The editing keys themselves: LineEditorTest; here, that what they make is what is sent.
    a->write("wrd" + left + left + "o" + right + "l\r");
    a->write(up + up + "\r");    // back past "world" to "hello"
    a->write("one\rtwo\r");     // a paste
    ASSERT_TRUE(b->waitFor("peer > two\n")) << b->standardError();
    const std::string received = plainText(b->standardError());
    EXPECT_TRUE(inOrder(received, {"peer > hello\n", "peer > world\n", "peer > hello\n", "peer > one\n",
                                   "peer > two\n"})) << received;
    EXPECT_EQ(b->timesShown("peer > "), 5u) << received;

    // Pastes far longer than a row of a 120-column terminal: one within the chat's limit goes
    // out whole, one past it is refused, and the client goes on.
    const winsize size{.ws_row = 24, .ws_col = 120, .ws_xpixel = 0, .ws_ypixel = 0};
    ASSERT_EQ(::ioctl(a->terminal(), TIOCSWINSZ, &size), 0);
    const std::string within(6000, 'p');
    a->write(within + "\r");
    ASSERT_TRUE(b->waitFor("peer > " + within + "\n")) << b->standardError().size();
    a->write(std::string(100000, 'q') + "\r");
    ASSERT_TRUE(a->waitFor("message too large")) << a->standardError().size();
    a->write("still here\r");
    ASSERT_TRUE(b->waitFor("peer > still here\n")) << b->standardError().size();
    EXPECT_EQ(b->timesShown("qqq"), 0u);
    EXPECT_EQ(b->timesShown("peer > "), 7u);
    expectGoodbye("half typed\x03", "half typed");

    // Ctrl-D quits on an empty line only. A lone Esc holds nothing up; UTF-8 is typed and
    // edited as whole characters.
    ASSERT_NO_FATAL_FAILURE(startBoth());
    a->write("x\x1b");
    b->type("meanwhile");
    ASSERT_TRUE(a->waitFor("peer > meanwhile\n")) << a->standardError();
    a->write("\x04y\xC3\xA9" + left + "\xE2\x9C\x93\r");
    ASSERT_TRUE(b->waitFor("peer > xy\xE2\x9C\x93\xC3\xA9\n")) << b->standardError();
    expectGoodbye("z\x15\x04", "peer > z");

    // With the relay stopped the goodbye cannot finish: a second Ctrl-C ends the client at once.
    ASSERT_NO_FATAL_FAILURE(startBoth());
    ::kill(relay.pid(), SIGSTOP);
    a->write("\x03");
    std::this_thread::sleep_for(300ms);
    a->write("\x03");
    EXPECT_EQ(a->waitForExit(5s), std::optional<int>(130));
    ::kill(relay.pid(), SIGCONT);
    expectTerminalRestored(*a);

    // The history lived in memory only: the keychain is all the HOME holds.
    for (const auto& entry : std::filesystem::recursive_directory_iterator(alice.home())) {
        EXPECT_TRUE(!entry.is_regular_file() || entry.path().string().find("/.local/share/duoquill/") != std::string::npos)
            << entry.path();
    }
}

}  // namespace
}  // namespace duoquill::test
