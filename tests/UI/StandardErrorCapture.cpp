#include "StandardErrorCapture.h"

#include <cerrno>
#include <stdexcept>
#include <sys/socket.h>
#include <unistd.h>

namespace duoquill::test {

StandardErrorCapture::StandardErrorCapture() {
    int fds[2];
    if (::socketpair(AF_UNIX, SOCK_SEQPACKET, 0, fds) != 0) throw std::runtime_error("socketpair failed");
    const int size = 1 << 20;
    ::setsockopt(fds[0], SOL_SOCKET, SO_SNDBUF, &size, sizeof size);
    ::setsockopt(fds[1], SOL_SOCKET, SO_RCVBUF, &size, sizeof size);
    savedStandardError_ = ::dup(2);
    ::dup2(fds[0], 2);
    ::close(fds[0]);
    reader_ = fds[1];
}

StandardErrorCapture::~StandardErrorCapture() {
    ::dup2(savedStandardError_, 2);
    ::close(savedStandardError_);
    ::close(reader_);
}

std::vector<std::string> StandardErrorCapture::writes() {
    std::vector<std::string> out;
    std::string buffer(1 << 20, '\0');
    for (;;) {
        const ssize_t n = ::recv(reader_, buffer.data(), buffer.size(), MSG_DONTWAIT);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        out.emplace_back(buffer.data(), static_cast<std::size_t>(n));
    }
    return out;
}

}  // namespace duoquill::test
