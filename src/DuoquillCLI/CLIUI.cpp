#include "DuoquillCLI/CLIUI.h"

#include <algorithm>
#include <ctime>
#include <initializer_list>

#include "Duoquill/Platform/System/StandardStreams.h"
#include "DuoquillCLI/ChatDisplay.h"
#include "DuoquillCLI/TerminalText.h"

namespace duoquill::cli::CLIUI {
namespace {

constexpr std::string_view kReset = "\x1B[0m";
constexpr std::string_view kBold = "\x1B[1m";
constexpr std::string_view kDim = "\x1B[2m";
constexpr std::string_view kRed = "\x1B[31m";
constexpr std::string_view kGreen = "\x1B[32m";
constexpr std::string_view kYellow = "\x1B[33m";
constexpr std::string_view kBlue = "\x1B[34m";
constexpr std::string_view kCyan = "\x1B[36m";
constexpr std::string_view kCursorUp = "\x1B[1A";
constexpr std::string_view kEraseLine = "\x1B[2K";

constexpr std::string_view kHorizontal = "\u2500";
constexpr std::string_view kVertical = "\u2502";

constexpr std::string_view kTitle = "Duoquill \u2014 Secure Chat";

// Formats the local wall-clock time as "HH:mm:ss". Made once, on first use: reading the
// time-zone rules (tzset) is the expensive part.
class TimeFormatter {
public:
    TimeFormatter() { ::tzset(); }

    std::string format(std::time_t seconds) const {
        std::tm local{};
        ::localtime_r(&seconds, &local);
        char buffer[16];
        const std::size_t n = std::strftime(buffer, sizeof buffer, "%H:%M:%S", &local);
        return std::string(buffer, n);
    }
};

const TimeFormatter& timeFormatter() {
    static const TimeFormatter formatter;
    return formatter;
}

std::string timestamp() { return timeFormatter().format(std::time(nullptr)); }

std::string join(std::initializer_list<std::string_view> pieces) {
    std::size_t size = 0;
    for (auto p : pieces) size += p.size();
    std::string out;
    out.reserve(size + 1);
    for (auto p : pieces) out += p;
    return out;
}

// Appends the line feed and hands the whole line to one write. The line may hold what was
// typed or received, so it is wiped before its buffer goes back to the heap; join() sized the
// buffer for the line feed, so appending it moves nothing.
void write(std::string line) {
    line += '\n';
    writeStandardError(line);
    secureWipe(line.data(), line.size());
}

// "TIME " with the time dim, the start of every time-stamped line.
std::string timePrefix() { return join({kDim, timestamp(), kReset, " "}); }

}  // namespace

std::string operator*(std::string_view text, long long count) {
    std::string out;
    if (count < 1) return out;
    out.reserve(text.size() * static_cast<std::size_t>(count));
    for (long long i = 0; i < count; ++i) out += text;
    return out;
}

void banner(std::string_view localKey, std::string_view peerKey, std::string_view relay) {
    const std::string relayShown = TerminalText::neutralised(relay);
    const std::string localShown = TerminalText::neutralised(localKey);
    const std::string peerShown = TerminalText::neutralised(peerKey);

    const long long titleCount = static_cast<long long>(TerminalText::characterCount(kTitle));
    const long long relayCount = static_cast<long long>(TerminalText::characterCount("relay  " + relayShown));
    const long long youCount = static_cast<long long>(TerminalText::characterCount("you    " + localShown));
    const long long peerCount = static_cast<long long>(TerminalText::characterCount("peer   " + peerShown));
    const long long inner = std::max({titleCount, relayCount, youCount, peerCount}) + 4;
    const auto padding = [inner](long long count) { return std::string_view(" ") * (inner - count - 2); };
    const std::string rule = kHorizontal * inner;
    const std::string right = join({" ", kDim, kVertical, kReset});

    const std::string left = join({kDim, kVertical, kReset, " "});

    write(join({kDim, "\u250C", rule, "\u2510", kReset}));
    write(join({left, kBold, kTitle, kReset, padding(titleCount), right}));
    write(join({kDim, "\u251C", rule, "\u2524", kReset}));
    write(join({left, "relay  ", kBlue, relayShown, kReset, padding(relayCount), right}));
    write(join({left, "you    ", kGreen, localShown, kReset, padding(youCount), right}));
    write(join({left, "peer   ", kCyan, peerShown, kReset, padding(peerCount), right}));
    write(join({kDim, "\u2514", rule, "\u2518", kReset}));
}

void status(std::string_view text) { write(join({timePrefix(), kYellow, text, kReset})); }

void connected() {
    write(join({timePrefix(), kGreen, kBold, "connected", kReset, " ", kDim,
                "\u2014 PQ handshake complete", kReset, "\n"}));
}

void peerEvent(std::string_view text) { write(join({timePrefix(), kDim, text, kReset})); }

void error(std::string_view text) { write(join({timePrefix(), kRed, kBold, text, kReset})); }

void sent(std::string_view text) {
    write(join({kCursorUp, kEraseLine, timePrefix(), kGreen, kBold, "you", kReset, " ", kDim, ">", kReset, " ",
                text}));
}

void queued(std::string_view text) {
    write(join({kCursorUp, kEraseLine, timePrefix(), kYellow, kBold, "you", kReset, " ", kDim, ">", kReset, " ",
                text, " ", kDim, "(queued)", kReset}));
}

void received(std::string_view text) {
    const SecureText shown = TerminalText::neutralised<SecureText>(text);
    write(join({kEraseLine, "\r", timePrefix(), kCyan, kBold, "peer", kReset, " ", kDim, ">", kReset, " ",
                shown.view()}));
}

void prompt() { writeStandardError(join({kBold, kGreen, ">", kReset, " "})); }

}  // namespace duoquill::cli::CLIUI

namespace duoquill::cli {

template <class Print>
void TerminalChatDisplay::above(Print print) {
    if (input_) input_->hide();
    print();
    if (input_) input_->redraw();
}

void TerminalChatDisplay::banner(std::string_view localKey, std::string_view peerKey, std::string_view relay) {
    above([&] { CLIUI::banner(localKey, peerKey, relay); });
}
void TerminalChatDisplay::startupError(std::string_view message) {
    above([&] { writeStandardError("[error] " + std::string(message) + "\n"); });
}
void TerminalChatDisplay::status(std::string_view text) {
    above([&] { CLIUI::status(text); });
}
void TerminalChatDisplay::peerEvent(std::string_view text) {
    above([&] { CLIUI::peerEvent(text); });
}
void TerminalChatDisplay::error(std::string_view text) {
    above([&] { CLIUI::error(text); });
}
void TerminalChatDisplay::connected() {
    above([] { CLIUI::connected(); });
}
void TerminalChatDisplay::sent(std::string_view text) {
    above([&] { CLIUI::sent(text); });
}
void TerminalChatDisplay::queued(std::string_view text) {
    above([&] { CLIUI::queued(text); });
}
void TerminalChatDisplay::received(std::string_view text) {
    above([&] { CLIUI::received(text); });
}
void TerminalChatDisplay::prompt() {
    if (input_) {
        input_->showPrompt();
    } else {
        CLIUI::prompt();
    }
}

}  // namespace duoquill::cli
