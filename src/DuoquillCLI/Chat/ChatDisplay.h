#pragma once
// Where the chat client's lines go. The program writes them to the terminal
// (TerminalChatDisplay.h); tests record them.

#include <string>
#include <string_view>


namespace duoquill::cli {

namespace chat {
struct Show;
}

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
    // A line the machine shows, through the method of its kind.
    void show(const chat::Show& line);
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
