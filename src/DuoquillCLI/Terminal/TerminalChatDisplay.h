#pragma once
// The chat's lines on the terminal.

#include "DuoquillCLI/Chat/ChatDisplay.h"
#include "DuoquillCLI/Terminal/CLIUI.h"

namespace duoquill::cli {

// The terminal: every line through CLIUI on standard error, in the look given; with an edited
// input line, each printed above it.
class TerminalChatDisplay final : public ChatDisplay {
public:
    explicit TerminalChatDisplay(EditedInputLine* input = nullptr, CLIUI::Look look = CLIUI::Look::terminal)
        : input_(input), look_(look) {}
    void banner(const ChatBanner& banner) override;
    void startupError(std::string_view message) override;
    void status(std::string_view text) override;
    void quoted(std::string_view text) override;
    void peerEvent(std::string_view text) override;
    void error(std::string_view text) override;
    void connected() override;
    void sent(std::string_view text) override;
    void sentLater(std::string_view text) override;
    void queued(std::string_view text) override;
    void received(std::string_view text) override;
    void prompt() override;

private:
    template <class Print>
    void above(Print print);

    EditedInputLine* input_;
    CLIUI::Look look_;
};

}  // namespace duoquill::cli
