#pragma once
// The user's lines when standard input is a terminal: the line editor (LineEditor) on a raw
// terminal, driven from the main event loop rather than a blocking thread, so that a line
// printed while the user types lands above the partly typed line, which is then drawn again.
// Lines are handed to the client one at a time, in order, as the thread reader does; Ctrl-D on
// an empty line and Ctrl-C quit. The terminal is one per process, so is this.

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <memory>
#include <optional>

#include "Duoquill/Base/SecureBytes.h"
#include "DuoquillCLI/Chat/ChatDisplay.h"
#include "DuoquillCLI/Chat/ChatTasks.h"
#include "DuoquillCLI/Terminal/LineEditor.h"

namespace duoquill::cli {

class ChatInput;

class TerminalLineEditor final : public EditedInputLine {
public:
    // Standard input a terminal, and the chat's screen (standard error) too: with the screen
    // elsewhere the edited line would go there, unseen.
    static bool worksHere();

    // Takes SIGINT (and SIGWINCH, SIGTSTP, SIGCONT) from here on; the terminal is left as it is
    // until start().
    explicit TerminalLineEditor(boost::asio::io_context& io);
    ~TerminalLineEditor() override;
    TerminalLineEditor(const TerminalLineEditor&) = delete;
    TerminalLineEditor& operator=(const TerminalLineEditor&) = delete;

    void start(std::weak_ptr<ChatInput> client, std::shared_ptr<TaskHandle> task);

    // Takes the line off the screen, puts the terminal back as it was found and wipes the line
    // and the history. Safe on every exit path, more than once, and with no editor made.
    static void restoreTerminal() noexcept;

    void hide() override;
    void redraw() override;
    void showPrompt() override;

private:
    void waitForSignal();
    void waitForInput();
    void readAvailable();
    void takeKeys();
    void flush();
    void makeRaw();
    void handle(LineEditor::Entered entered);
    void quit();

    boost::asio::io_context& io_;
    boost::asio::posix::stream_descriptor input_;
    boost::asio::signal_set signals_;
    std::weak_ptr<ChatInput> client_;
    std::shared_ptr<TaskHandle> task_;
    LineEditor editor_;
    // Bytes read and not yet taken by the editor: the rest of a paste after a line it entered.
    SecureText unread_;
    std::size_t unreadTaken_ = 0;
    bool started_ = false;
    bool promptBeforeStart_ = false;
    bool quitting_ = false;
    bool quitBeforeStart_ = false;
};

}  // namespace duoquill::cli
