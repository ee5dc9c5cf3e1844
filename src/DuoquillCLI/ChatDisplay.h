#pragma once
// Where the chat client's lines go. The program writes them to the terminal through CLIUI
// (TerminalChatDisplay, in CLIUI.cpp); tests record them.

#include <string>
#include <string_view>

namespace duoquill::cli {

class ChatDisplay {
public:
    virtual ~ChatDisplay() = default;
    virtual void banner(std::string_view localKey, std::string_view peerKey, std::string_view relay) = 0;
    // "[error] " + message, uncoloured: a start-up failure, just before the process ends.
    virtual void startupError(std::string_view message) = 0;
    virtual void status(std::string_view text) = 0;
    virtual void peerEvent(std::string_view text) = 0;
    virtual void error(std::string_view text) = 0;
    virtual void connected() = 0;
    virtual void sent(std::string_view text) = 0;
    // A typed line kept until a session can take it.
    virtual void queued(std::string_view text) = 0;
    virtual void received(std::string_view text) = 0;
    virtual void prompt() = 0;
};

// The terminal: every line through CLIUI on standard error.
class TerminalChatDisplay final : public ChatDisplay {
public:
    void banner(std::string_view localKey, std::string_view peerKey, std::string_view relay) override;
    void startupError(std::string_view message) override;
    void status(std::string_view text) override;
    void peerEvent(std::string_view text) override;
    void error(std::string_view text) override;
    void connected() override;
    void sent(std::string_view text) override;
    void queued(std::string_view text) override;
    void received(std::string_view text) override;
    void prompt() override;
};

}  // namespace duoquill::cli
