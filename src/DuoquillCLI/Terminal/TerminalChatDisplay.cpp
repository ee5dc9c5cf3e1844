#include "DuoquillCLI/Terminal/TerminalChatDisplay.h"

#include "Duoquill/Base/SecureBytes.h"
#include "Duoquill/System/StandardStreams.h"
#include "DuoquillCLI/Terminal/TerminalText.h"

namespace duoquill::cli {

template <class Print>
void TerminalChatDisplay::above(Print print) {
    if (input_) input_->hide();
    print();
    if (input_) input_->redraw();
}

void TerminalChatDisplay::banner(const ChatBanner& banner) {
    above([&] { CLIUI::banner(banner, look_); });
}
void TerminalChatDisplay::startupError(std::string_view message) {
    above([&] { writeStandardError("[error] " + std::string(message) + "\n"); });
}
void TerminalChatDisplay::status(std::string_view text) {
    above([&] { CLIUI::status(text, look_); });
}
void TerminalChatDisplay::quoted(std::string_view text) {
    // Whatever was typed, it steers nothing when shown again.
    const SecureText shown = TerminalText::neutralised<SecureText>(text);
    status(shown.view());
}
void TerminalChatDisplay::peerEvent(std::string_view text) {
    above([&] { CLIUI::peerEvent(text, look_); });
}
void TerminalChatDisplay::error(std::string_view text) {
    above([&] { CLIUI::error(text, look_); });
}
void TerminalChatDisplay::connected() {
    above([this] { CLIUI::connected(look_); });
}
void TerminalChatDisplay::sent(std::string_view text) {
    above([&] { CLIUI::sent(text, look_); });
}
void TerminalChatDisplay::sentLater(std::string_view text) {
    above([&] { CLIUI::sentLater(text, look_); });
}
void TerminalChatDisplay::queued(std::string_view text) {
    above([&] { CLIUI::queued(text, look_); });
}
void TerminalChatDisplay::received(std::string_view text) {
    above([&] { CLIUI::received(text, look_); });
}
void TerminalChatDisplay::prompt() {
    if (input_) {
        input_->showPrompt();
    } else {
        CLIUI::prompt(look_);
    }
}

}  // namespace duoquill::cli
