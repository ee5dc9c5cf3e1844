#include "ChildProcess.h"

#include <csignal>
#include <cstdlib>
#include <sys/wait.h>
#include <unistd.h>

namespace duoquill::test {

std::string failuresInChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) return "pipe failed\n";
    const pid_t pid = fork();
    if (pid < 0) return "fork failed\n";
    if (pid == 0) {
        close(fds[0]);
        const std::string failures = body();
        std::size_t written = 0;
        while (written < failures.size()) {
            const ssize_t n = write(fds[1], failures.data() + written, failures.size() - written);
            if (n <= 0) break;
            written += static_cast<std::size_t>(n);
        }
        _exit(0);  // no destructors, no sanitizer report of the parent's objects
    }
    close(fds[1]);
    std::string failures;
    char buffer[512];
    for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;) failures.append(buffer, static_cast<std::size_t>(n));
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) failures += "child did not finish normally\n";
    return failures;
}

WaitingChild::WaitingChild(const std::function<void()>& setup) {
    int fds[2];
    if (pipe(fds) != 0) return;
    pid_ = fork();
    if (pid_ == 0) {
        close(fds[0]);
        setup();
        const char ready = 1;
        (void)!write(fds[1], &ready, 1);
        for (;;) pause();
    }
    close(fds[1]);
    char ready = 0;
    if (pid_ > 0 && read(fds[0], &ready, 1) != 1) {
        kill(pid_, SIGKILL);
        waitpid(pid_, nullptr, 0);
        pid_ = -1;
    }
    close(fds[0]);
}

WaitingChild::~WaitingChild() {
    if (pid_ <= 0) return;
    kill(pid_, SIGKILL);
    waitpid(pid_, nullptr, 0);
}

}  // namespace duoquill::test
