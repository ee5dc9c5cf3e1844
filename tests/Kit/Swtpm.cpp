#include "Kit/Swtpm.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <stdexcept>
#include <thread>

namespace duoquill::test {
namespace {

// Whether something listens there; the connection is closed at once.
bool accepts(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(port);
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool connected = ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0;
    ::close(fd);
    return connected;
}

// A port the system hands out now; swtpm's control channel goes on the next one.
std::uint16_t freePort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof address;
    ::bind(fd, reinterpret_cast<sockaddr*>(&address), size);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
    ::close(fd);
    return ntohs(address.sin_port);
}

}  // namespace

bool Swtpm::available() {
    return runProcess("/bin/sh", {"-c", "test -x /usr/bin/swtpm"}).exitStatus == 0 &&
           runProcess("/bin/sh", {"-c", "test -f \"$(openssl version -m | cut -d'\"' -f2)/tpm2.so\""}).exitStatus == 0;
}

Swtpm::Swtpm() {
    for (int attempt = 0; attempt < 10 && !process_; ++attempt) {
        const std::uint16_t port = freePort();
        if (port == 0 || port == 65535 || accepts(static_cast<std::uint16_t>(port + 1))) continue;
        const std::string server = "type=tcp,bindaddr=127.0.0.1,port=" + std::to_string(port);
        const std::string control = "type=tcp,bindaddr=127.0.0.1,port=" + std::to_string(port + 1);
        auto process = std::make_unique<RunningProcess>(
            "/usr/bin/swtpm", std::vector<std::string>{"socket", "--tpm2", "--tpmstate", "dir=" + state_.str(), "--server", server,
                                              "--ctrl", control, "--flags", "not-need-init,startup-clear"});
        for (int wait = 0; wait < 100; ++wait) {
            if (accepts(port)) {
                tcti_ = "swtpm:host=127.0.0.1,port=" + std::to_string(port);
                process_ = std::move(process);
                break;
            }
            if (process->waitForExit(std::chrono::milliseconds(50))) break;  // the port was taken meanwhile
        }
    }
    if (!process_) throw std::runtime_error("swtpm did not start");
}

}  // namespace duoquill::test
