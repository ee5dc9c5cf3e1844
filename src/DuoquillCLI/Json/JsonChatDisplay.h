#pragma once
// What `chat --json` shows. Standard output carries JSON only, one object per line: answers to
// the requests and the notifications "state", "message", "confirmed" and "error". Standard
// error keeps the person's status, peer and error lines; the text of messages, sent or
// received, never goes there (it is often a log).

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "Duoquill/System/Clock.h"
#include "DuoquillCLI/Chat/ChatDisplay.h"
#include "DuoquillCLI/Chat/ChatObserver.h"
#include "DuoquillCLI/Terminal/TerminalChatDisplay.h"

namespace duoquill::cli {

class JsonChatDisplay final : public ChatDisplay, public ChatObserver {
public:
    // Notification "error" codes.
    static constexpr int fatalError = 1;      // the chat cannot go on; the process ends with status 1
    static constexpr int recoveredError = 2;  // connecting or the handshake failed; the client retries
    static constexpr int chatError = 3;       // a line or a record: the same red line a person sees

    explicit JsonChatDisplay(const Clock& clock = Clock::system(), CLIUI::Look look = CLIUI::Look::terminal)
        : clock_(clock), terminal_(nullptr, look) {}

    // ---- ChatDisplay: standard output, then the person's lines on standard error ----
    void show(const chat::Output& output) override;
    void banner(const ChatBanner& banner) override;
    void startupError(std::string_view message) override;
    void status(std::string_view text) override;
    void quoted(std::string_view text) override;
    void peerEvent(std::string_view text) override;
    void error(std::string_view text) override;
    void connected() override;
    void sent(std::string_view) override {}
    void queued(std::string_view) override {}
    void received(std::string_view) override {}
    void prompt() override {}

    // ---- ChatObserver: standard output ----
    void observe(const chat::Action& action, chat::Phase now) override;

    // ---- answers ----
    // Around the feeding of a "send": the line's number (or the reason it was refused)
    // answers `id`; a notification's refusal becomes an "error" notification.
    void beginSend(std::optional<std::string> id);
    void endSend();
    // Around the feeding of a "quit": the numbers of the lines left unconfirmed answer `id`.
    void beginQuit(std::optional<std::string> id);
    void endQuit();
    void answer(std::string_view id, std::string_view resultJson);
    void answerError(std::string_view id, int code, std::string_view message);

private:
    void notifyError(int code, std::string_view message);
    // A red line of the chat's: it refuses the line being sent, if nothing has answered it yet.
    void chatErrorLine(std::string_view message);

    const Clock& clock_;
    TerminalChatDisplay terminal_;
    struct PendingSend {
        std::optional<std::string> id;
        bool answered = false;
    };
    std::optional<PendingSend> pending_;
    std::optional<std::string> pendingQuit_;
    std::optional<chat::Phase> lastState_;
};

}  // namespace duoquill::cli
