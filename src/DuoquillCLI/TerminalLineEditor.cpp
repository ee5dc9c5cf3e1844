#include "DuoquillCLI/TerminalLineEditor.h"

// libedit's readline interface declares FILE without including <stdio.h>.
#include <cstdio>
#include <editline/readline.h>

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/detached.hpp>
#include <cerrno>
#include <clocale>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <langinfo.h>
#include <poll.h>
#include <string>
#include <termios.h>
#include <unistd.h>

#include "Duoquill/Platform/System/StandardStreams.h"
#include "Duoquill/Platform/Utf8.h"
#include "DuoquillCLI/CLIChatClient.h"
#include "DuoquillCLI/StandardInputReader.h"

namespace asio = boost::asio;

namespace duoquill::cli {
namespace {

// CLIUI's prompt bytes; the \1..\2 marks tell libedit the escapes take no columns.
constexpr const char* kPrompt = "\001\x1B[1m\x1B[32m\002>\001\x1B[0m\002 ";
constexpr int kPromptColumns = 2;
constexpr std::string_view kClearToEnd = "\r\x1B[J";
constexpr int kInterruptedStatus = 130;

TerminalLineEditor* current = nullptr;
std::optional<termios> terminalAsFound;
cc_t endOfFileCharacter = 4;

// How long a key sequence (Esc [ A) or a UTF-8 character may take to arrive whole. A lone Esc
// or a cut-off character is given up after it, so the chat never waits on the next key.
constexpr int kRestOfKeyMilliseconds = 100;

enum class Read { byte, timedOut, ended };

Read readByte(unsigned char& byte, int waitMilliseconds) {
    for (;;) {
        pollfd ready{0, POLLIN, 0};
        const int polled = ::poll(&ready, 1, waitMilliseconds);
        if (polled < 0 && errno == EINTR) continue;
        if (polled == 0) return Read::timedOut;
        const ssize_t n = ::read(0, &byte, 1);
        if (n == 1) return Read::byte;
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        return Read::ended;
    }
}

}  // namespace

bool TerminalLineEditor::worksHere() { return ::isatty(0) == 1 && ::isatty(2) == 1; }

TerminalLineEditor::TerminalLineEditor(asio::io_context& io)
    : io_(io), input_(io, ::dup(0)), signals_(io, SIGINT, SIGTERM, SIGHUP) {
    current = this;
    signals_.add(SIGWINCH);
    if (termios state{}; ::tcgetattr(0, &state) == 0) {
        terminalAsFound = state;
        endOfFileCharacter = state.c_cc[VEOF];
    }
    // Lines are UTF-8 whatever the locale says; libedit encodes what it draws by LC_CTYPE.
    std::setlocale(LC_CTYPE, "");
    if (std::string_view(::nl_langinfo(CODESET)) != "UTF-8") std::setlocale(LC_CTYPE, "C.UTF-8");

    rl_readline_name = "duoquill";
    rl_instream = stdin;
    rl_outstream = stderr;
    rl_catch_signals = 0;
    rl_catch_sigwinch = 0;
    rl_inhibit_completion = 1;
    rl_getc_function = readCharacter;
    // No ~/.editrc: the keys are the ones the README lists, whatever a file says.
    const char* editrc = std::getenv("EDITRC");
    const std::optional<std::string> editrcBefore = editrc ? std::optional<std::string>(editrc) : std::nullopt;
    ::setenv("EDITRC", "/dev/null", 1);
    rl_initialize();
    if (editrcBefore) {
        ::setenv("EDITRC", editrcBefore->c_str(), 1);
    } else {
        ::unsetenv("EDITRC");
    }
    std::set_terminate([] {
        restoreTerminal();
        std::abort();
    });

    waitForSignal();
}

void TerminalLineEditor::waitForSignal() {
    signals_.async_wait([this](const boost::system::error_code& failure, int signal) {
        if (failure) return;
        if (signal == SIGWINCH) {
            rl_resize_terminal();
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

TerminalLineEditor::~TerminalLineEditor() {
    restoreTerminal();
    current = nullptr;
}

void TerminalLineEditor::start(std::weak_ptr<CLIChatClient> client, std::shared_ptr<TaskHandle> task) {
    client_ = std::move(client);
    task_ = std::move(task);
    installed_ = true;
    rl_callback_handler_install(promptOn_ ? kPrompt : "", onLine);
    if (quitBeforeStart_) {
        quit();
    } else {
        waitForInput();
    }
}

void TerminalLineEditor::restoreTerminal() noexcept {
    if (current && current->installed_) {
        if (current->somethingShown()) writeStandardError(kClearToEnd);
        rl_callback_handler_remove();
        current->installed_ = false;
    }
    if (terminalAsFound) ::tcsetattr(0, TCSADRAIN, &*terminalAsFound);
    for (int i = 0; i < history_length; ++i) {
        if (HIST_ENTRY* entry = history_get(history_base + i); entry && entry->line) {
            secureWipe(const_cast<char*>(entry->line), std::strlen(entry->line));
        }
    }
    clear_history();
}

int TerminalLineEditor::readCharacter(FILE*) {
    const auto end = [] {
        if (current) current->endOfInput_ = true;
        return EOF;
    };
    // The first byte of a key is there (the descriptor was ready); later ones finish it.
    const bool first = current && current->firstRead_;
    if (current) current->firstRead_ = false;
    unsigned char byte = 0;
    switch (readByte(byte, first ? -1 : kRestOfKeyMilliseconds)) {
        case Read::byte: break;
        case Read::timedOut: return EOF;  // libedit drops the unfinished sequence, keeps the line
        case Read::ended: return end();
    }
    if (byte == endOfFileCharacter && current && current->typedLength_ == 0) return end();
    if (byte < 0x80) return byte;
    // libedit takes whole characters from here, so UTF-8 is decoded here.
    const int more = (byte & 0xE0) == 0xC0 ? 1 : (byte & 0xF0) == 0xE0 ? 2 : (byte & 0xF8) == 0xF0 ? 3 : 0;
    if (more == 0) return 0xFFFD;
    char32_t code = byte & (0x3F >> more);
    for (int i = 0; i < more; ++i) {
        switch (readByte(byte, kRestOfKeyMilliseconds)) {
            case Read::byte: break;
            case Read::timedOut: return 0xFFFD;
            case Read::ended: return end();
        }
        if ((byte & 0xC0) != 0x80) return 0xFFFD;
        code = (code << 6) | (byte & 0x3F);
    }
    constexpr char32_t smallest[] = {0, 0x80, 0x800, 0x10000};
    if (code < smallest[more] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0xFFFD;
    return static_cast<int>(code);
}

void TerminalLineEditor::onLine(char* line) {
    if (line == nullptr) {
        if (current) current->endOfInput_ = true;
        return;
    }
    if (current) current->line_.emplace(std::string_view(line));
    secureWipe(line, std::strlen(line));
    std::free(line);
}

void TerminalLineEditor::waitForInput() {
    input_.async_wait(asio::posix::stream_descriptor::wait_read, [this](const boost::system::error_code& failure) {
        if (!failure && !quitting_) readAvailable();
    });
}

void TerminalLineEditor::readAvailable() {
    line_.reset();
    endOfInput_ = false;
    firstRead_ = true;
    rl_callback_read_char();
    if (endOfInput_) {
        quit();
        return;
    }
    if (!line_) {
        typedLength_ = rl_end;
        typedPoint_ = rl_point;
        waitForInput();
        return;
    }
    typedLength_ = typedPoint_ = 0;
    if (rl_line_buffer) secureWipe(rl_line_buffer, std::strlen(rl_line_buffer));
    // libedit leaves the terminal cooked after a line: keys typed while it is handled would
    // echo. Installing again makes it raw and draws the prompt on the new row.
    rl_callback_handler_install(promptOn_ ? kPrompt : "", onLine);
    SecureText line = std::move(*line_);
    line_.reset();
    handle(std::move(line));
}

void TerminalLineEditor::handle(SecureText line) {
    if (line == StandardInputReader::quitCommand) {
        quit();
        return;
    }
    if (!line.empty()) {
        SecureText entry = line;
        entry += '\0';
        add_history(entry.view().data());
    }
    line = withUtf8Replacements<SecureText>(line.view());
    auto send = [client = client_, task = task_, line = std::move(line)]() -> asio::awaitable<bool> {
        if (task->isCancelled()) co_return false;
        auto target = client.lock();
        if (!target) co_return true;  // the line is dropped
        co_await target->sendMessage(line);
        co_return !task->isCancelled();
    };
    // The next key is read only once this line is handled: a paste goes out line by line.
    asio::co_spawn(io_, std::move(send), [this](std::exception_ptr error, bool goOn) {
        if (!error && goOn && !quitting_) waitForInput();
    });
}

void TerminalLineEditor::quit() {
    if (quitting_) return;
    if (!installed_) {
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

bool TerminalLineEditor::somethingShown() const { return promptOn_ || typedLength_ > 0; }

void TerminalLineEditor::hide() {
    if (!installed_ || !somethingShown()) return;
    int rows = 0, columns = 0;
    rl_get_screen_size(&rows, &columns);
    // Rows above the cursor's when the line wraps; characters counted as one column each.
    int before = promptOn_ ? kPromptColumns : 0;
    if (rl_line_buffer) {
        const std::size_t length = std::strlen(rl_line_buffer);
        for (std::size_t i = 0; i < length && i < static_cast<std::size_t>(typedPoint_); ++i) {
            if ((static_cast<unsigned char>(rl_line_buffer[i]) & 0xC0) != 0x80) ++before;
        }
    }
    const int up = columns > 0 ? before / columns : 0;
    if (up > 0) writeStandardError("\x1B[" + std::to_string(up) + "A");
    writeStandardError(kClearToEnd);
}

void TerminalLineEditor::redraw() {
    if (installed_ && somethingShown()) rl_forced_update_display();
}

void TerminalLineEditor::showPrompt() {
    if (promptOn_) return;
    if (installed_ && typedLength_ > 0) hide();
    promptOn_ = true;
    if (!installed_) return;
    rl_set_prompt(kPrompt);
    rl_forced_update_display();
}

}  // namespace duoquill::cli
