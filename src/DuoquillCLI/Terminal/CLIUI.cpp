#include "DuoquillCLI/Terminal/CLIUI.h"

#include <sys/ioctl.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <ctime>
#include <initializer_list>
#include <vector>

#include "Duoquill/Base/Utf8.h"
#include "Duoquill/System/StandardStreams.h"
#include "DuoquillCLI/Chat/ChatDisplay.h"
#include "DuoquillCLI/Terminal/GraphemeBreak.h"
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

constexpr std::string_view kSteadyNote = "steady: sends on a fixed beat, typed or not";
// The title and its frame: below this many columns the banner is drawn without one.
constexpr std::size_t kNarrowestFrame = 26;

// The text in lines of at most `width` user-perceived characters, broken after the last space
// that fits where there is one, and never inside a character.
std::vector<std::string_view> inPieces(std::string_view text, std::size_t width) {
    // Where each character starts, in bytes, and the end.
    std::vector<std::size_t> starts;
    GraphemeClusterCounter counter;
    Utf8Decoder decoder(text);
    std::size_t at = 0;
    while (!decoder.atEnd()) {
        const DecodedCodePoint decoded = decoder.next();
        const std::size_t before = counter.count();
        counter.add(decoded.codePoint);
        if (counter.count() != before) starts.push_back(at);
        at += decoded.bytes.size();
    }
    const std::size_t count = starts.size();
    starts.push_back(text.size());
    const auto isSpace = [&](std::size_t character) { return text[starts[character]] == ' '; };

    std::vector<std::string_view> pieces;
    std::size_t first = 0;
    do {
        std::size_t end = std::min(first + width, count);
        if (end < count) {
            for (std::size_t k = end; k > first; --k) {
                if (isSpace(k)) {
                    end = k;
                    break;
                }
            }
        }
        pieces.push_back(text.substr(starts[first], starts[end] - starts[first]));
        first = end < count && isSpace(end) ? end + 1 : end;
    } while (first < count);
    return pieces;
}

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

std::size_t columnsOfStandardError() {
    winsize size{};
    if (::ioctl(2, TIOCGWINSZ, &size) != 0) return 0;
    return size.ws_col;
}

void banner(const ChatBanner& banner, Look look, std::size_t columns) {
    const Palette& p = paletteOf(look);
    struct Field {
        std::string_view label;
        std::string_view colour;
        std::string shown;
    };
    std::vector<Field> fields;
    fields.push_back({"relay  ", p.blue, TerminalText::neutralised(banner.relay)});
    if (!banner.proxy.empty()) fields.push_back({"proxy  ", p.blue, TerminalText::neutralised(banner.proxy)});
    if (banner.steady) fields.push_back({"mode   ", "", std::string(kSteadyNote)});
    fields.push_back({"you    ", p.green, TerminalText::neutralised(banner.localKey)});
    fields.push_back({"peer   ", p.cyan, TerminalText::neutralised(banner.peerKey)});

    constexpr std::size_t labelWidth = 7;
    const std::size_t titleCount = TerminalText::characterCount(p.title);
    std::size_t widest = titleCount;
    for (const auto& field : fields) widest = std::max(widest, labelWidth + TerminalText::characterCount(field.shown));
    // Two columns of frame and a space on each side of the content.
    constexpr std::size_t frame = 4;
    if (columns != 0 && columns < kNarrowestFrame) {
        // Too narrow for a frame: the lines alone, which the terminal wraps.
        write(join({p.bold, p.title, p.reset}));
        for (const auto& field : fields) write(join({field.label, field.colour, field.shown, p.reset}));
        return;
    }
    // Two spaces of padding at least, as wide as the screen at most.
    const std::size_t content = columns != 0 && widest + 2 + frame > columns ? columns - frame : widest + 2;
    const std::size_t inner = content + 2;
    const std::string rule = p.horizontal * static_cast<long long>(inner);
    const std::string left = join({p.dim, p.vertical, p.reset, " "});
    const std::string right = join({" ", p.dim, p.vertical, p.reset});
    const auto line = [&](std::string_view label, std::string_view colour, std::string_view text) {
        const std::size_t count = label.size() + TerminalText::characterCount(text);
        const std::string padding = std::string_view(" ") * static_cast<long long>(content - count);
        write(join({left, label, colour, text, p.reset, padding, right}));
    };

    write(join({p.dim, p.topLeft, rule, p.topRight, p.reset}));
    write(join({left, p.bold, p.title, p.reset, std::string_view(" ") * static_cast<long long>(content - titleCount), right}));
    write(join({p.dim, p.teeLeft, rule, p.teeRight, p.reset}));
    for (const auto& field : fields) {
        // A key or URL in pieces of even length: the halves of a key are easier to compare than a
        // key and a stub.
        const std::size_t room = content - labelWidth;
        const std::size_t count = std::max<std::size_t>(1, TerminalText::characterCount(field.shown));
        const std::size_t lines = (count + room - 1) / room;
        const bool words = field.shown.find(' ') != std::string::npos;
        const auto pieces = inPieces(field.shown, words ? room : (count + lines - 1) / lines);
        for (std::size_t i = 0; i < pieces.size(); ++i) line(i == 0 ? field.label : "       ", field.colour, pieces[i]);
    }
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

void sentLater(std::string_view text, Look look) {
    const Palette& p = paletteOf(look);
    write(join({p.eraseLine, p.lineStart, timePrefix(p), p.green, p.bold, "you", p.reset, " ", p.dim, ">", p.reset,
                " ", text}));
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
