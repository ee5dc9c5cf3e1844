#pragma once
// Where the chat client's lines go. The program writes them to the terminal
// (TerminalChatDisplay.h) or, for `chat --json`, to standard error beside its JSON; tests
// record them.

#include <cstddef>
#include <string>
#include <string_view>

#include "DuoquillCLI/Chat/ChatActions.h"

namespace duoquill::cli {

namespace chat {

// The words of what the machine said, the same on every display.
std::string words(Phase phase);  // of a phase other than active, which has a line of its own
std::string words(const LineRefused& refused);
std::string words(const LineNotSent& notSent);
std::string words(const PendingLines& pending);
std::string words(const PeerEvent& event);
std::string words(const Recovering& recovering);
std::string words(const ErrorLine& error);
std::string words(const HelloRefused& refused);
std::string words(const FatalError& fatal);
std::string words(const SteadyPeer& peer);
std::string words(const LineSizeVisible& visible);
// The first line of the list of unconfirmed lines at exit.
std::string unconfirmedHeading(std::size_t count);

}  // namespace chat

// What the banner shows: both keys, the relay, and how this chat reaches it.
struct ChatBanner {
    std::string_view localKey;
    std::string_view peerKey;
    std::string_view relay;
    std::string_view proxy{};  // "HOST:PORT", never credentials; empty: no proxy
    bool steady = false;
};

class ChatDisplay {
public:
    virtual ~ChatDisplay() = default;
    // What the machine said, as the lines below.
    virtual void show(const chat::Output& output);
    virtual void banner(const ChatBanner& banner) = 0;
    // "[error] " + message, uncoloured: a start-up failure, just before the process ends.
    virtual void startupError(std::string_view message) = 0;
    virtual void status(std::string_view text) = 0;
    // A status line quoting a line the user typed, as typed.
    virtual void quoted(std::string_view text) { status(text); }
    virtual void peerEvent(std::string_view text) = 0;
    virtual void error(std::string_view text) = 0;
    virtual void connected() = 0;
    virtual void sent(std::string_view text) = 0;
    // A line sent after it was shown queued, on a line of its own.
    virtual void sentLater(std::string_view text) { sent(text); }
    // A typed line kept until a session can take it.
    virtual void queued(std::string_view text) = 0;
    virtual void received(std::string_view text) = 0;
    virtual void prompt() = 0;
};

// The line being typed, when an editor keeps it on screen below what is printed.
class EditedInputLine {
public:
    virtual ~EditedInputLine() = default;
    // Before a line is printed: takes the prompt and the partly typed line off the screen.
    virtual void hide() = 0;
    // After it: draws them again, the cursor where it was in the line.
    virtual void redraw() = 0;
    // The "> " prompt from now on, drawn at once.
    virtual void showPrompt() = 0;
};

}  // namespace duoquill::cli
