#include "DuoquillCLI/Terminal/CLIUI.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <initializer_list>

#include "Duoquill/System/StandardStreams.h"
#include "DuoquillCLI/Terminal/TerminalText.h"

namespace duoquill::cli::CLIUI {
namespace {

// What each look draws with: on a terminal ANSI sequences and box drawing, in the plain look
// nothing but ASCII frames.
struct Palette {
    std::string_view reset, bold, dim, red, green, yellow, blue, cyan;
    std::string_view cursorUp, eraseLine, lineStart;
    std::string_view horizontal, vertical, topLeft, topRight, teeLeft, teeRight, bottomLeft, bottomRight;
    std::string_view title;
    std::string_view belowConnected;  // the empty line that sets the chat off from the start
};

constexpr Palette kTerminal{
    "\x1B[0m", "\x1B[1m", "\x1B[2m", "\x1B[31m", "\x1B[32m", "\x1B[33m", "\x1B[34m", "\x1B[36m",
    "\x1B[1A", "\x1B[2K", "\r",
    "\u2500", "\u2502", "\u250C", "\u2510", "\u251C", "\u2524", "\u2514", "\u2518",
    "Duoquill \u2014 Secure Chat",
    "\n",
};

constexpr Palette kPlain{
    "", "", "", "", "", "", "", "",
    "", "", "",
    "-", "|", "+", "+", "+", "+", "+", "+",
    "Duoquill - Secure Chat",
    "",
};

const Palette& paletteOf(Look look) { return look == Look::plain ? kPlain : kTerminal; }

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
std::string timePrefix(const Palette& p) { return join({p.dim, timestamp(), p.reset, " "}); }

bool isSetAndNotEmpty(const char* value) { return value != nullptr && *value != '\0'; }

}  // namespace

Look lookOfStandardError() {
    const char* term = std::getenv("TERM");
    const bool dumb = term != nullptr && std::string_view(term) == "dumb";
    if (::isatty(2) != 1 || isSetAndNotEmpty(std::getenv("NO_COLOR")) || dumb) return Look::plain;
    return Look::terminal;
}

std::string operator*(std::string_view text, long long count) {
    std::string out;
    if (count < 1) return out;
    out.reserve(text.size() * static_cast<std::size_t>(count));
    for (long long i = 0; i < count; ++i) out += text;
    return out;
}

void banner(std::string_view localKey, std::string_view peerKey, std::string_view relay, Look look) {
    const Palette& p = paletteOf(look);
    const std::string relayShown = TerminalText::neutralised(relay);
    const std::string localShown = TerminalText::neutralised(localKey);
    const std::string peerShown = TerminalText::neutralised(peerKey);

    const long long titleCount = static_cast<long long>(TerminalText::characterCount(p.title));
    const long long relayCount = static_cast<long long>(TerminalText::characterCount("relay  " + relayShown));
    const long long youCount = static_cast<long long>(TerminalText::characterCount("you    " + localShown));
    const long long peerCount = static_cast<long long>(TerminalText::characterCount("peer   " + peerShown));
    const long long inner = std::max({titleCount, relayCount, youCount, peerCount}) + 4;
    const auto padding = [inner](long long count) { return std::string_view(" ") * (inner - count - 2); };
    const std::string rule = p.horizontal * inner;
    const std::string right = join({" ", p.dim, p.vertical, p.reset});

    const std::string left = join({p.dim, p.vertical, p.reset, " "});

    write(join({p.dim, p.topLeft, rule, p.topRight, p.reset}));
    write(join({left, p.bold, p.title, p.reset, padding(titleCount), right}));
    write(join({p.dim, p.teeLeft, rule, p.teeRight, p.reset}));
    write(join({left, "relay  ", p.blue, relayShown, p.reset, padding(relayCount), right}));
    write(join({left, "you    ", p.green, localShown, p.reset, padding(youCount), right}));
    write(join({left, "peer   ", p.cyan, peerShown, p.reset, padding(peerCount), right}));
    write(join({p.dim, p.bottomLeft, rule, p.bottomRight, p.reset}));
}

void status(std::string_view text, Look look) {
    const Palette& p = paletteOf(look);
    write(join({timePrefix(p), p.yellow, text, p.reset}));
}

void connected(Look look) {
    const Palette& p = paletteOf(look);
    write(join({timePrefix(p), p.green, p.bold, "connected", p.reset, " ", p.dim, "\u2014 PQ handshake complete",
                p.reset, p.belowConnected}));
}

void peerEvent(std::string_view text, Look look) {
    const Palette& p = paletteOf(look);
    write(join({timePrefix(p), p.dim, text, p.reset}));
}

void error(std::string_view text, Look look) {
    const Palette& p = paletteOf(look);
    write(join({timePrefix(p), p.red, p.bold, text, p.reset}));
}

void sent(std::string_view text, Look look) {
    const Palette& p = paletteOf(look);
    write(join({p.cursorUp, p.eraseLine, timePrefix(p), p.green, p.bold, "you", p.reset, " ", p.dim, ">", p.reset, " ",
                text}));
}

void queued(std::string_view text, Look look) {
    const Palette& p = paletteOf(look);
    write(join({p.cursorUp, p.eraseLine, timePrefix(p), p.yellow, p.bold, "you", p.reset, " ", p.dim, ">", p.reset,
                " ", text, " ", p.dim, "(queued)", p.reset}));
}

void received(std::string_view text, Look look) {
    const Palette& p = paletteOf(look);
    const SecureText shown = TerminalText::neutralised<SecureText>(text);
    write(join({p.eraseLine, p.lineStart, timePrefix(p), p.cyan, p.bold, "peer", p.reset, " ", p.dim, ">", p.reset,
                " ", shown.view()}));
}

void prompt(Look look) {
    if (look == Look::plain) return;
    const Palette& p = paletteOf(look);
    writeStandardError(join({p.bold, p.green, ">", p.reset, " "}));
}

}  // namespace duoquill::cli::CLIUI
