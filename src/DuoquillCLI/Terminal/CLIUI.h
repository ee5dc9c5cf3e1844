#pragma once
// Everything the chat shows: a framed banner, time-stamped status, peer, error and
// connection lines, the lines of sent and received messages, and the input prompt.
//
// Every call writes its bytes to standard error in one unbuffered write (standard output is
// never used in chat mode). On a terminal, colours and cursor movement are ANSI sequences; the
// plain look, for a log, writes whole lines of text and nothing else. Time stamps are the local
// time as "HH:mm:ss", read when the line is built. Call from one thread (the main event loop).
//
// Text that came from outside (the peer's messages, the banner's keys and relay URL as typed)
// is passed through TerminalText::neutralised first, so it cannot steer the terminal.

#include <cstdint>
#include <string>
#include <string_view>

namespace duoquill::cli {
struct ChatBanner;
}

namespace duoquill::cli::CLIUI {

// How the lines are drawn. `plain`: no escape sequence at all, no prompt, the banner framed in
// ASCII, and every write one or more whole lines; the text of each line is the terminal's.
enum class Look : std::uint8_t { terminal, plain };

// The look for standard error as the process finds it: plain when it is not a terminal, when
// NO_COLOR is set and not empty, or when TERM is "dumb".
Look lookOfStandardError();

// The columns of the terminal on standard error; 0 when it is not one (no limit).
std::size_t columnsOfStandardError();

// A frame holding the title, the relay URL (blue), the proxy and the steady mode when the chat
// uses them, the local key (green) and the peer key (cyan), each shown in full: seven lines
// without proxy and steady mode. Its width follows the widest of them, counted in
// user-perceived characters, unless that is wider than `columns` (0: no limit): the values then
// break across lines inside a frame as wide as the screen, and below 24 columns the frame goes.
void banner(const ChatBanner& banner, Look look = Look::terminal, std::size_t columns = columnsOfStandardError());

// TIME in dim, then the text in yellow: progress and state ("connecting...").
void status(std::string_view text, Look look = Look::terminal);
// The green "connected" line with its dim note; on a terminal followed by one empty line.
void connected(Look look = Look::terminal);
// TIME, then the text in dim: events caused by the peer.
void peerEvent(std::string_view text, Look look = Look::terminal);
// TIME, then the text in bold red.
void error(std::string_view text, Look look = Look::terminal);
// Replaces the line just typed (one up) with "TIME you > text".
void sent(std::string_view text, Look look = Look::terminal);
// "TIME you > text" on a line of its own: a line shown queued has gone out since.
void sentLater(std::string_view text, Look look = Look::terminal);
// Replaces the line just typed with "TIME you > text (queued)", "you" in yellow: the line
// waits for a session.
void queued(std::string_view text, Look look = Look::terminal);
// Replaces the current line (the prompt) with "TIME peer > text".
void received(std::string_view text, Look look = Look::terminal);
// The bold green "> " prompt, without a line feed; nothing in the plain look.
void prompt(Look look = Look::terminal);

// `text * count`: the text repeated count times; empty for a count below 1.
std::string operator*(std::string_view text, long long count);

}  // namespace duoquill::cli::CLIUI
