#include "DuoquillCLI/Terminal/TerminalPin.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include "Duoquill/Keys/Hardware/Pkcs11KeyStore.h"
#include "Duoquill/Base/PlatformError.h"

namespace duoquill::cli::TerminalPin {
namespace {

class Terminal {
public:
    Terminal() : fd_(::open("/dev/tty", O_RDWR | O_CLOEXEC | O_NOCTTY)) {
        if (fd_ < 0) throw Pkcs11KeyStore::NoPinSource();
        if (::tcgetattr(fd_, &saved_) == 0) {
            termios quiet = saved_;
            quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            quiet.c_lflag |= ICANON;
            restore_ = ::tcsetattr(fd_, TCSAFLUSH, &quiet) == 0;
        }
    }
    ~Terminal() {
        if (restore_) ::tcsetattr(fd_, TCSAFLUSH, &saved_);
        ::close(fd_);
    }
    Terminal(const Terminal&) = delete;
    Terminal& operator=(const Terminal&) = delete;

    void show(const std::string& text) const {
        for (std::size_t done = 0; done < text.size();) {
            const ssize_t n = ::write(fd_, text.data() + done, text.size() - done);
            if (n <= 0) return;
            done += static_cast<std::size_t>(n);
        }
    }

    SecureBytes readLine() const {
        SecureBytes line;
        for (std::uint8_t c = 0;;) {
            const ssize_t n = ::read(fd_, &c, 1);
            if (n < 0) throw CryptoError("the PIN could not be read from the terminal");
            if (n == 0 || c == '\n' || c == '\r') break;
            line.push_back(c);
        }
        return line;
    }

private:
    int fd_;
    termios saved_{};
    bool restore_ = false;
};

}  // namespace

SecureBytes ask(const std::string& tokenLabel) {
    const Terminal terminal;
    terminal.show("PIN for token " + tokenLabel + ": ");
    SecureBytes pin = terminal.readLine();
    terminal.show("\n");
    return pin;
}

}  // namespace duoquill::cli::TerminalPin
