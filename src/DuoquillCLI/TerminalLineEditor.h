#pragma once
// The user's lines when standard input is a terminal: libedit's line editing and an
// in-memory history, driven from the main event loop rather than a blocking thread, so that a
// line printed while the user types lands above the partly typed line, which is then drawn
// again. Lines are handed to the client one at a time, in order, as the thread reader does;
// Ctrl-D on an empty line and Ctrl-C quit. libedit is one per process, so is this.

#include <boost/asio/io_context.hpp>
#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/signal_set.hpp>
#include <memory>
#include <optional>

#include "Duoquill/Platform/SecureBytes.h"
#include "DuoquillCLI/ChatDisplay.h"
#include "DuoquillCLI/ChatTasks.h"

namespace duoquill::cli {

class CLIChatClient;

class TerminalLineEditor final : public EditedInputLine {
public:
    // Standard input a terminal, and the chat's screen (standard error) too: with the screen
    // elsewhere the edited line would go there, unseen.
    static bool worksHere();

    // Takes SIGINT (and SIGWINCH) from here on; the terminal is left as it is until start().
    explicit TerminalLineEditor(boost::asio::io_context& io);
    ~TerminalLineEditor() override;
    TerminalLineEditor(const TerminalLineEditor&) = delete;
    TerminalLineEditor& operator=(const TerminalLineEditor&) = delete;

    void start(std::weak_ptr<CLIChatClient> client, std::shared_ptr<TaskHandle> task);

    // Puts the terminal back as it was found and wipes the history. Safe on every exit path,
    // more than once, and with no editor made.
    static void restoreTerminal() noexcept;

    void hide() override;
    void redraw() override;
    void showPrompt() override;

private:
    static void onLine(char* line);
    static int readCharacter(FILE*);

    void waitForSignal();
    void waitForInput();
    void readAvailable();
    void handle(SecureText line);
    void quit();
    bool somethingShown() const;

    boost::asio::io_context& io_;
    boost::asio::posix::stream_descriptor input_;
    boost::asio::signal_set signals_;
    std::weak_ptr<CLIChatClient> client_;
    std::shared_ptr<TaskHandle> task_;
    std::optional<SecureText> line_;
    bool installed_ = false;
    bool promptOn_ = false;
    bool endOfInput_ = false;
    bool firstRead_ = false;
    bool quitting_ = false;
    bool quitBeforeStart_ = false;
    // libedit's rl_end/rl_point, as they stood after the last key; libedit leaves them stale
    // once a line is accepted.
    int typedLength_ = 0;
    int typedPoint_ = 0;
};

}  // namespace duoquill::cli
