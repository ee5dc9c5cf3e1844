#include "Duoquill/System/StandardStreams.h"

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
            return;
        }
        p += n;
        left -= static_cast<std::size_t>(n);
    }
}

}  // namespace duoquill
