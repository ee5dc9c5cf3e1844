#include "Duoquill/System/StandardStreams.h"

#include <poll.h>

#include <cerrno>
#include <unistd.h>

namespace duoquill {

void writeAll(int fd, std::string_view text) noexcept {
    const char* p = text.data();
    std::size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            // A terminal shares its open file with standard input, which the line editor reads
            // without blocking: a full terminal then refuses the rest instead of taking it
            // later. Wait until it takes more, so that no line is shown cut short.
            if (errno == EAGAIN || errno == EWOULDBLOCK) {
                pollfd ready{.fd = fd, .events = POLLOUT, .revents = 0};
                if (::poll(&ready, 1, -1) >= 0 || errno == EINTR) continue;
            }
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace duoquill
