#include "DuoquillCLI/CLIUI.h"
#include "DuoquillCLI/ChatDisplay.h"
#include "Duoquill/Platform/System/StandardStreams.h"

namespace duoquill::cli {

void TerminalChatDisplay::banner(std::string_view localKey, std::string_view peerKey, std::string_view relay) {
    CLIUI::banner(localKey, peerKey, relay);
}
void TerminalChatDisplay::startupError(std::string_view message) {
    writeStandardError("[error] " + std::string(message) + "\n");
}
void TerminalChatDisplay::status(std::string_view text) { CLIUI::status(text); }
void TerminalChatDisplay::peerEvent(std::string_view text) { CLIUI::peerEvent(text); }
void TerminalChatDisplay::error(std::string_view text) { CLIUI::error(text); }
void TerminalChatDisplay::connected() { CLIUI::connected(); }
void TerminalChatDisplay::sent(std::string_view text) { CLIUI::sent(text); }
void TerminalChatDisplay::received(std::string_view text) { CLIUI::received(text); }
void TerminalChatDisplay::prompt() { CLIUI::prompt(); }

}  // namespace duoquill::cli
