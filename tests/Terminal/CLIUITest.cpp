// The terminal lines byte for byte, as they reach fd 2, one write per line.

#include <gtest/gtest.h>

#include <pty.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <ctime>
#include <functional>
#include <stdexcept>
#include <tuple>

#include "DuoquillCLI/Json/JsonChatDisplay.h"
#include "DuoquillCLI/Terminal/CLIUI.h"
#include "DuoquillCLI/Terminal/TerminalChatDisplay.h"
#include "DuoquillCLI/Terminal/TerminalText.h"
#include "Kit/ChatCliProcess.h"
#include "Kit/World.h"

namespace duoquill::test {
namespace {

namespace ui = duoquill::cli::CLIUI;

// Catches what the code under test writes to a descriptor (fd 2 unless told), one entry per
// write(2) call: it is pointed at a SOCK_SEQPACKET socket, which keeps the boundary of every write.
class StandardErrorCapture {
public:
    explicit StandardErrorCapture(int fd = 2) : fd_(fd) {
        int fds[2];
        if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) throw std::runtime_error("socketpair failed");
        saved_ = ::dup(fd_);
        ::dup2(fds[0], fd_);
        ::close(fds[0]);
        reader_ = fds[1];
    }
    ~StandardErrorCapture() {
        ::dup2(saved_, fd_);
        ::close(saved_);
        ::close(reader_);
    }

    // Every write made so far, in order.
    std::vector<std::string> writes() {
        std::vector<std::string> out;
        std::string buffer(1 << 20, '\0');
        for (ssize_t n; (n = ::recv(reader_, buffer.data(), buffer.size(), MSG_DONTWAIT)) > 0;) {
            out.emplace_back(buffer.data(), static_cast<std::size_t>(n));
        }
        return out;
    }

private:
    int fd_;
    int saved_ = -1, reader_ = -1;
};

const std::string kKeyA = "AmsX0fLhLEJH-Lzm5WOkQPJ3A32BLeszoPShOUXYmMKW";
const std::string kKeyB = "A2sX0fLhLEJH-Lzm5WOkQPJ3A32BLeszoPShOUXYmMKW";

// The local time, as the lines show it.
std::string localTime() {
    const std::time_t now = std::time(nullptr);
    std::tm local{};
    localtime_r(&now, &local);
    char buffer[16];
    return std::string(buffer, std::strftime(buffer, sizeof buffer, "%H:%M:%S", &local));
}

// Runs `write` and expects exactly the writes `expected`, with the local time read during the
// call in place of "HH:MM:SS".
void expectWrites(const std::function<void()>& write, const std::vector<std::string>& expected) {
    StandardErrorCapture capture;
    const std::string before = localTime();
    write();
    const auto stamped = [&](const std::string& time) {
        auto lines = expected;
        for (auto& line : lines) {
            if (const auto at = line.find("HH:MM:SS"); at != std::string::npos) line.replace(at, 8, time);
        }
        return lines;
    };
    // The clock may have ticked during the call.
    const auto writes = capture.writes();
    EXPECT_EQ(writes, writes == stamped(before) ? stamped(before) : stamped(localTime()));
}

TEST(CLIUI, EveryLineKindHasItsExactBytesInBothLooks) {
    // Five and a half hours east of UTC: the stamps must be local time.
    const char* oldZone = std::getenv("TZ");
    const std::string savedZone = oldZone ? oldZone : "";
    ::setenv("TZ", "XYZ-05:30", 1);
    ::tzset();
    // Each write as (before the time stamp, after it); empty texts keep the frame of the line.
    const std::tuple<std::function<void()>, std::string, std::string> lines[] = {
        {[] { ui::status("connecting..."); }, "", " \x1B[33mconnecting...\x1B[0m\n"},
        {[] { ui::status(""); }, "", " \x1B[33m\x1B[0m\n"},
        {[] { ui::peerEvent("disconnected: quit"); }, "", " \x1B[2mdisconnected: quit\x1B[0m\n"},
        {[] { ui::error("send failed: notConnected"); }, "", " \x1B[31m\x1B[1msend failed: notConnected\x1B[0m\n"},
        {[] { ui::connected(); }, "", " \x1B[32m\x1B[1mconnected\x1B[0m \x1B[2m\xE2\x80\x94 PQ handshake complete\x1B[0m\n\n"},
        {[] { ui::sent("hello there"); }, "\x1B[1A\x1B[2K", " \x1B[32m\x1B[1myou\x1B[0m \x1B[2m>\x1B[0m hello there\n"},
        // A line shown queued and sent later takes a line of its own: nothing above it is erased.
        {[] { ui::sentLater("hello there"); }, "\x1B[2K\r", " \x1B[32m\x1B[1myou\x1B[0m \x1B[2m>\x1B[0m hello there\n"},
        {[] { ui::received("hi \xF0\x9F\x91\x8B\tback"); }, "\x1B[2K\r",
         " \x1B[36m\x1B[1mpeer\x1B[0m \x1B[2m>\x1B[0m hi \xF0\x9F\x91\x8B\tback\n"},
        // A peer's text can neither move, colour nor reorder anything (every case: TerminalText).
        {[] { ui::received("\x1B]52;c;eA==\x07\rfake\xC2\x9B\xE2\x80\xAE\nx"); }, "\x1B[2K\r",
         " \x1B[36m\x1B[1mpeer\x1B[0m \x1B[2m>\x1B[0m ^[]52;c;eA==^G^Mfake\xEF\xBF\xBD\xEF\xBF\xBD^Jx\n"},
    };
    for (const auto& [write, before, after] : lines) expectWrites(write, {before + "\x1B[2mHH:MM:SS\x1B[0m" + after});
    // The prompt: fifteen bytes, no line feed.
    expectWrites([] { ui::prompt(); }, {"\x1B[1m\x1B[32m>\x1B[0m "});

    // The plain look, for a log: the same text with no escape byte, no carriage return and no
    // prompt, each write whole lines, and the banner framed in ASCII to the same width.
    constexpr auto plain = ui::Look::plain;
    // The peer, error and "connected" lines in this look: TheJsonDisplayTellsEachOutputByItsKind.
    const std::pair<std::function<void()>, std::string> plainLines[] = {
        {[] { ui::status("connecting...", plain); }, " connecting...\n"},
        {[] { ui::sent("hello there", plain); }, " you > hello there\n"},
        {[] { ui::queued("later", plain); }, " you > later (queued)\n"},
        {[] { ui::received("\x1B[2Jfake\rx", plain); }, " peer > ^[[2Jfake^Mx\n"},
        // A typed line quoted again (unconfirmed at the exit) steers nothing either.
        {[] { cli::TerminalChatDisplay(nullptr, plain).quoted("  \x1B[2Jfake"); }, "   ^[[2Jfake\n"},
    };
    for (const auto& [write, after] : plainLines) expectWrites(write, {"HH:MM:SS" + after});
    expectWrites([] { ui::prompt(plain); }, {});
    // The banner's plain frame: BannerWidthFollowsTheLongestFieldInCharactersAndFieldsAreNeutralised.
    oldZone ? ::setenv("TZ", savedZone.c_str(), 1) : ::unsetenv("TZ");
    ::tzset();
}

// Plain unless standard error is a terminal, NO_COLOR is unset or empty, and TERM is not "dumb".
TEST(CLIUI, TheLookFollowsStandardErrorNoColorAndTerm) {
    int master = -1, terminal = -1;
    ASSERT_EQ(::openpty(&master, &terminal, nullptr, nullptr, nullptr), 0);
    const auto set = [](const char* name, const char* value) { value ? ::setenv(name, value, 1) : ::unsetenv(name); };
    const std::string noColor = std::getenv("NO_COLOR") ? std::getenv("NO_COLOR") : "";
    const std::string term = std::getenv("TERM") ? std::getenv("TERM") : "";
    const std::tuple<bool, const char*, const char*, ui::Look> rows[] = {
        {true, nullptr, "xterm-256color", ui::Look::terminal}, {true, "", "xterm", ui::Look::terminal},
        {true, nullptr, nullptr, ui::Look::terminal},          {true, "1", "xterm", ui::Look::plain},
        {true, nullptr, "dumb", ui::Look::plain},              {false, nullptr, "xterm", ui::Look::plain},
    };
    for (const auto& [onTerminal, noColorValue, termValue, look] : rows) {
        StandardErrorCapture capture;  // fd 2 a socket, until the terminal takes its place
        if (onTerminal) ::dup2(terminal, 2);
        set("NO_COLOR", noColorValue);
        set("TERM", termValue);
        EXPECT_EQ(ui::lookOfStandardError(), look) << onTerminal << " " << (noColorValue ? noColorValue : "(unset)")
                                                   << " " << (termValue ? termValue : "(unset)");
    }
    set("NO_COLOR", noColor.empty() ? nullptr : noColor.c_str());
    set("TERM", term.empty() ? nullptr : term.c_str());
    ::close(terminal);
    ::close(master);
}

std::vector<std::string> bannerLines(const cli::ChatBanner& banner, ui::Look look = ui::Look::terminal,
                                     std::size_t columns = 0) {
    StandardErrorCapture capture;
    ui::banner(banner, look, columns);
    return capture.writes();
}

// A dim rule of `n` bars between two corners, as the banner's top, middle and bottom lines are.
std::string rule(std::string_view left, std::size_t n, std::string_view right) {
    std::string out = "\x1B[2m" + std::string(left);
    for (std::size_t i = 0; i < n; ++i) out += "\xE2\x94\x80";
    return out + std::string(right) + "\x1B[0m\n";
}

TEST(CLIUI, BannerWidthFollowsTheLongestFieldInCharactersAndFieldsAreNeutralised) {
    const std::string left = "\x1B[2m\xE2\x94\x82\x1B[0m ", right = " \x1B[2m\xE2\x94\x82\x1B[0m\n";
    const std::string longRelay = "wss://relay.example.org:8443/some/longer/path/for/the/relay";
    // 26 characters in 36 bytes: the frame must not widen by the extra bytes.
    const std::string accented = "wss://\xC3\xBC\xC3\xB1\xC3\xAF\xE6\x97\xA5\xE6\x9C\xAC.\xD0\xBF\xD1\x80\xD0\xB8.example.de";
    // Combining accents, a ZWJ family and a flag are one character each.
    const std::string clustered = "wss://e\xCC\x81" "\xF0\x9F\x91\xA8\xE2\x80\x8D\xF0\x9F\x91\xA9\xE2\x80\x8D\xF0\x9F\x91\xA7"
                                  "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7" + std::string(50, 'x');
    // Characters a line takes on screen, its line feed aside.
    const auto width = [](const std::string& line) { return cli::TerminalText::characterCount(plainText(line)) - 1; };
    struct Case {
        std::string peer, relay;
        std::size_t inner;
        std::vector<std::pair<std::size_t, std::string>> fragments;  // line index, text it holds
    };
    const Case cases[] = {
        // Two keys and a short relay: the narrowest frame, 57 wide.
        {kKeyB, "wss://r.io", 55,
         {{1, left + "\x1B[1mDuoquill \xE2\x80\x94 Secure Chat\x1B[0m" + std::string(31, ' ') + right},
          {3, left + "relay  \x1B[34mwss://r.io\x1B[0m" + std::string(36, ' ') + right},
          {4, left + "you    \x1B[32m" + kKeyA + "\x1B[0m  " + right},
          {5, left + "peer   \x1B[36m" + kKeyB + "\x1B[0m  " + right}}},
        {"short", longRelay, 7 + longRelay.size() + 4,
         {{3, longRelay + "\x1B[0m   \x1B[2m"}, {5, "short\x1B[0m" + std::string(longRelay.size() - 3, ' ') + " \x1B[2m"}}},
        {kKeyB, accented, 55, {{3, accented + "\x1B[0m" + std::string(55 - 7 - 26 - 2, ' ') + " "}}},
        {kKeyB, clustered, 70, {{4, kKeyA + "\x1B[0m" + std::string(70 - 51 - 2, ' ') + " "}}},
        {"\x1B]52;c;eA==\x07", "wss://r.io/\x1B[2J\xE2\x80\xAE", 55,
         {{3, "wss://r.io/^[[2J\xEF\xBF\xBD\x1B[0m"}, {5, "^[]52;c;eA==^G\x1B[0m"}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.relay);
        const auto lines = bannerLines({.localKey = kKeyA, .peerKey = c.peer, .relay = c.relay});
        ASSERT_EQ(lines.size(), 7u);
        EXPECT_EQ(lines[0], rule("\xE2\x94\x8C", c.inner, "\xE2\x94\x90"));
        EXPECT_EQ(lines[2], rule("\xE2\x94\x9C", c.inner, "\xE2\x94\xA4"));
        EXPECT_EQ(lines[6], rule("\xE2\x94\x94", c.inner, "\xE2\x94\x98"));
        for (const auto& [index, fragment] : c.fragments) EXPECT_NE(lines[index].find(fragment), std::string::npos) << index;
        for (const auto& line : lines) EXPECT_EQ(width(line), c.inner + 2) << line;
    }
    // A proxy (never its credentials: the caller passes host and port) and the steady mode get
    // a line each, between the relay and the keys; a pane narrower than the frame gets a frame
    // as wide as the pane with each value broken into even pieces, and below 26 columns none.
    const cli::ChatBanner routed{.localKey = kKeyA, .peerKey = kKeyB, .relay = "wss://r.io", .proxy = "127.0.0.1:9050", .steady = true};
    const auto plainBanner = [&](std::size_t columns) { return bannerLines(routed, ui::Look::plain, columns); };
    const auto wide = plainBanner(0);
    const std::string edge = "+" + std::string(55, '-') + "+\n";
    EXPECT_EQ(wide, (std::vector<std::string>{edge, "| Duoquill - Secure Chat" + std::string(31, ' ') + " |\n", edge,
                                               "| relay  wss://r.io" + std::string(36, ' ') + " |\n",
                                               "| proxy  127.0.0.1:9050" + std::string(32, ' ') + " |\n",
                                               "| mode   steady: sends on a fixed beat, typed or not    |\n",
                                               "| you    " + kKeyA + "   |\n", "| peer   " + kKeyB + "   |\n", edge}));
    EXPECT_EQ(plainBanner(57), wide);
    const auto narrow = plainBanner(40);
    ASSERT_EQ(narrow.size(), 12u);
    for (const auto& line : narrow) EXPECT_EQ(line.size(), 41u) << line;
    EXPECT_EQ(narrow[0], "+" + std::string(38, '-') + "+\n");
    EXPECT_EQ(narrow[5], "| mode   steady: sends on a fixed      |\n");
    EXPECT_EQ(narrow[6], "|        beat, typed or not            |\n");
    EXPECT_EQ(narrow[7], "| you    " + kKeyA.substr(0, 22) + "        |\n");
    EXPECT_EQ(narrow[8], "|        " + kKeyA.substr(22) + "        |\n");
    // A character is never split: two flags of two code points each, then 30 letters, in two lines of 16.
    const std::string flags = "\xF0\x9F\x87\xAB\xF0\x9F\x87\xB7\xF0\x9F\x87\xA9\xF0\x9F\x87\xAA";
    EXPECT_EQ(bannerLines({.localKey = kKeyA, .peerKey = kKeyB, .relay = flags + std::string(30, 'x')}, ui::Look::plain, 40)
                  .at(3),
              "| relay  " + flags + std::string(14, 'x') + std::string(14, ' ') + "|\n");
    const auto frameless = plainBanner(25);
    ASSERT_EQ(frameless.size(), 6u);
    EXPECT_EQ(frameless[0], "Duoquill - Secure Chat\n");
    EXPECT_EQ(frameless[4], "you    " + kKeyA + "\n");

    // Padding is repeated text; a negative count (a field wider than the frame) gives none.
    using ui::operator*;
    EXPECT_EQ(std::string_view("ab") * 0, "");
    EXPECT_EQ(std::string_view("ab") * -7, "");
}

// `chat --json`: what the machine says becomes JSON on standard output, by its kind, and the
// person's lines on standard error, never a typed or received text among them.
TEST(CLIUI, TheJsonDisplayTellsEachOutputByItsKind) {
    using namespace cli::chat;
    using cli::JsonChatDisplay;
    ManualClock clock(1'765'324'800.25);
    JsonChatDisplay display(clock, ui::Look::plain);
    const auto error = [](int code, std::string_view message) {
        return R"({"jsonrpc":"2.0","method":"error","params":{"code":)" + std::to_string(code) + R"(,"message":")" +
               std::string(message) + "\"}}\n";
    };
    const auto state = [](std::string_view name) {
        return R"({"jsonrpc":"2.0","method":"state","params":{"state":")" + std::string(name) + "\"}}\n";
    };
    std::vector<SecureText> unconfirmed;
    for (int i = 0; i < 6; ++i) unconfirmed.emplace_back("typed secret " + std::to_string(i));
    // Each step: what it says on standard output, and on standard error after the time stamp.
    const std::tuple<std::function<void()>, std::vector<std::string>, std::vector<std::string>> steps[] = {
        {[&] { display.show(PhaseChanged{Phase::connecting}); }, {state("connecting")}, {" connecting...\n"}},
        {[&] { display.show(ErrorLine{ErrorLine::What::connect, "refused"}); },
         {error(2, "[connect error] refused")}, {" [connect error] refused\n"}},
        // A state is told once however often its line is shown.
        {[&] {
             display.show(PhaseChanged{Phase::waitingForPeer});
             display.show(PhaseChanged{Phase::waitingForPeer});
         },
         {state("waiting")}, {" waiting for peer...\n", " waiting for peer...\n"}},
        {[&] { display.show(PhaseChanged{Phase::active}); }, {state("connected")},
         {" connected \xE2\x80\x94 PQ handshake complete\n"}},
        {[&] { display.show(ErrorLine{ErrorLine::What::decrypt, "bad tag"}); }, {error(3, "decrypt failed: bad tag")},
         {" decrypt failed: bad tag\n"}},
        // The first red line while a line is being sent refuses it, as its answer.
        {[&] {
             display.beginSend(std::string("7"));
             display.show(LineRefused{LineRefused::Reason::tooLarge});
             display.show(Prompt{});
             display.endSend();
         },
         {R"({"jsonrpc":"2.0","id":7,"error":{"code":-32000,"message":"message too large"}})" "\n"},
         {" message too large\n"}},
        {[&] {
             display.beginSend(std::nullopt);
             display.show(Recovering{Recovering::Why::sessionExpired});
             display.endSend();
         },
         {error(3, "session expired \xE2\x80\x94 restarting...")}, {" session expired \xE2\x80\x94 restarting...\n"}},
        {[&] {
             display.beginSend(std::string("8"));
             display.observe(LineTaken{12}, Phase::active);
             display.show(LineSent{SecureText("typed secret")});
             display.show(LineNotSent{"broken pipe", true});
             display.endSend();
         },
         {R"({"jsonrpc":"2.0","id":8,"result":{"number":12}})" "\n",
          error(3, "not sent yet: broken pipe; the line will be sent again in the next session")},
         {" not sent yet: broken pipe; the line will be sent again in the next session\n"}},
        {[&] {
             display.show(LineQueued{SecureText("typed secret")});
             display.show(LineReceived{SecureText("said \"secret\"")});
         },
         {R"({"jsonrpc":"2.0","method":"message","params":{"text":"said \"secret\"","time":"2025-12-10T00:00:00.250Z"}})"
          "\n"},
         {}},
        {[&] { display.show(UnconfirmedLines{std::move(unconfirmed)}); },
         {error(3, "6 lines were not confirmed by the peer:")},
         {" 6 lines were not confirmed by the peer:\n", "   \xE2\x80\xA6 and 1 more\n"}},
        {[&] { display.show(FatalError{FatalError::Why::invalidRelayURL}); }, {error(1, "Invalid relay URL")},
         {" Invalid relay URL\n"}},
    };
    for (const auto& [step, out, err] : steps) {
        StandardErrorCapture standardOutput(1), standardError;
        step();
        EXPECT_EQ(standardOutput.writes(), out);
        std::vector<std::string> shown;
        for (const auto& line : standardError.writes()) shown.push_back(line.substr(8));
        EXPECT_EQ(shown, err);
    }
}

}  // namespace
}  // namespace duoquill::test
