#include "DuoquillCLI/Terminal/TerminalLineEditor.h"

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <exception>
#include <poll.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include "Duoquill/System/StandardStreams.h"
#include "DuoquillCLI/Chat/ChatInput.h"
#include "DuoquillCLI/Terminal/StandardInputReader.h"

namespace asio = boost::asio;

namespace duoquill::cli {
namespace {

constexpr int kInterruptedStatus = 130;
// How long the rest of a key sequence (Esc [ A) or of a UTF-8 character may take to arrive. A
// lone Esc or a cut-off character is given up after it, so the chat never waits on the next key.
constexpr int kRestOfKeyMilliseconds = 100;
constexpr std::size_t kReadSize = 4096;

TerminalLineEditor* current = nullptr;
std::optional<termios> terminalAsFound;

LineEditor::Size terminalSize() {
    winsize size{};
    if (::ioctl(2, TIOCGWINSZ, &size) != 0 || size.ws_col == 0 || size.ws_row == 0) return {};
    return {size.ws_col, size.ws_row};
}

}  // namespace

bool TerminalLineEditor::worksHere() { return ::isatty(0) == 1 && ::isatty(2) == 1; }

TerminalLineEditor::TerminalLineEditor(asio::io_context& io)
    : io_(io), input_(io, ::dup(0)), signals_(io, SIGINT, SIGTERM, SIGHUP), editor_(terminalSize()) {
    current = this;
    signals_.add(SIGWINCH);
    signals_.add(SIGTSTP);
    signals_.add(SIGCONT);
    if (termios state{}; ::tcgetattr(0, &state) == 0) terminalAsFound = state;
    std::set_terminate([] {
        restoreTerminal();
        std::abort();
    });
    waitForSignal();
}

TerminalLineEditor::~TerminalLineEditor() {
    restoreTerminal();
    current = nullptr;
}

// Keys one at a time, not echoed; Ctrl-C still interrupts, but Ctrl-\ no longer dumps core and
// Ctrl-S no longer freezes the screen. Output keeps its processing: printed lines end in "\n".
void TerminalLineEditor::makeRaw() {
    if (!terminalAsFound) return;
    termios raw = *terminalAsFound;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
    raw.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL | INLCR | IGNCR | ISTRIP);
    raw.c_cc[VMIN] = 1;
    raw.c_cc[VTIME] = 0;
    raw.c_cc[VQUIT] = _POSIX_VDISABLE;
    ::tcsetattr(0, TCSADRAIN, &raw);
}

void TerminalLineEditor::waitForSignal() {
    signals_.async_wait([this](const boost::system::error_code& failure, int signal) {
        if (failure) return;
        if (signal == SIGWINCH) {
            if (started_) {
                editor_.resize(terminalSize());
                flush();
            }
        } else if (signal == SIGTSTP) {
            // Stop with the terminal as the shell expects it, and take it back on return.
            if (started_) {
                editor_.hide();
                flush();
                if (terminalAsFound) ::tcsetattr(0, TCSADRAIN, &*terminalAsFound);
            }
            ::kill(::getpid(), SIGSTOP);
        } else if (signal == SIGCONT) {
            if (started_ && !quitting_) {
                makeRaw();
                editor_.resize(terminalSize());
                flush();
            }
        } else if (signal == SIGINT && quitting_) {
            // A second Ctrl-C does not wait for a goodbye that is stuck.
            restoreTerminal();
            std::_Exit(kInterruptedStatus);
        } else {
            quit();
        }
        waitForSignal();
    });
}

void TerminalLineEditor::start(std::weak_ptr<ChatInput> client, std::shared_ptr<TaskHandle> task) {
    client_ = std::move(client);
    task_ = std::move(task);
    started_ = true;
    makeRaw();
    if (promptBeforeStart_) editor_.showPrompt();
    flush();
    if (quitBeforeStart_) {
        quit();
    } else {
        waitForInput();
    }
}

void TerminalLineEditor::restoreTerminal() noexcept {
    if (current && current->started_) {
        current->editor_.hide();
        current->flush();
        current->editor_.wipe();
        current->unread_ = SecureText();
        current->started_ = false;
    }
    if (terminalAsFound) ::tcsetattr(0, TCSADRAIN, &*terminalAsFound);
}

void TerminalLineEditor::flush() {
    const SecureText out = editor_.takeOutput();
    if (!out.empty()) writeStandardError(out.view());
}

void TerminalLineEditor::waitForInput() {
    input_.async_wait(asio::posix::stream_descriptor::wait_read, [this](const boost::system::error_code& failure) {
        if (!failure && !quitting_) readAvailable();
    });
}

void TerminalLineEditor::readAvailable() {
    Wiped<std::array<char, kReadSize>> buffer;
    for (;;) {
        const ssize_t n = ::read(input_.native_handle(), buffer.value.data(), buffer.value.size());
        if (n > 0) {
            unread_ = SecureText(std::string_view(buffer.value.data(), static_cast<std::size_t>(n)));
            unreadTaken_ = 0;
            takeKeys();
            return;
        }
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            waitForInput();
            return;
        }
        quit();  // the terminal hung up
        return;
    }
}

// Hands the unread bytes to the editor up to the next line entered. A line goes to the client
// before the keys after it are taken: a paste goes out line by line.
void TerminalLineEditor::takeKeys() {
    while (unreadTaken_ < unread_.size()) {
        unreadTaken_ += editor_.feed(unread_.view().substr(unreadTaken_));
        flush();
        if (auto entered = editor_.takeEntered()) {
            handle(std::move(*entered));
            return;
        }
    }
    unread_ = SecureText();
    unreadTaken_ = 0;
    if (editor_.keyPending()) {
        pollfd ready{input_.native_handle(), POLLIN, 0};
        if (::poll(&ready, 1, kRestOfKeyMilliseconds) <= 0) {
            editor_.giveUpKey();
            flush();
        }
    }
    waitForInput();
}

void TerminalLineEditor::handle(LineEditor::Entered entered) {
    if (entered.ending != LineEditor::Ending::line || entered.line == StandardInputReader::quitCommand) {
        quit();
        return;
    }
    auto send = [client = client_, task = task_, line = std::move(entered.line)]() -> asio::awaitable<bool> {
        if (task->isCancelled()) co_return false;
        auto target = client.lock();
        if (!target) co_return true;  // the line is dropped
        co_await target->sendMessage(line);
        co_return !task->isCancelled();
    };
    asio::co_spawn(io_, std::move(send), [this](std::exception_ptr error, bool goOn) {
        if (!error && goOn && !quitting_) takeKeys();
    });
}

void TerminalLineEditor::quit() {
    if (quitting_) return;
    if (!started_) {
        quitBeforeStart_ = true;
        return;
    }
    quitting_ = true;
    input_.cancel();
    auto leave = [client = client_, task = task_]() -> asio::awaitable<void> {
        if (task->isCancelled()) co_return;
        if (auto target = client.lock()) co_await target->quit();
    };
    asio::co_spawn(io_, std::move(leave), asio::detached);
}

void TerminalLineEditor::hide() {
    if (!started_) return;
    editor_.hide();
    flush();
}

void TerminalLineEditor::redraw() {
    if (!started_) return;
    editor_.redraw();
    flush();
}

void TerminalLineEditor::showPrompt() {
    if (!started_) {
        promptBeforeStart_ = true;
        return;
    }
    editor_.showPrompt();
    flush();
}

}  // namespace duoquill::cli
