#pragma once
// Points one of this process's standard descriptors at a file while it lives: what the real
// display writes goes there instead of the test's log, what a reader reads comes from there.

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

namespace duoquill::test {

class Redirection {
public:
    explicit Redirection(int fd, const std::filesystem::path& path = "/dev/null", int flags = O_WRONLY | O_CREAT | O_TRUNC)
        : fd_(fd), saved_(dup(fd)) {
        const int file = open(path.c_str(), flags, 0600);
        dup2(file, fd);
        close(file);
    }
    ~Redirection() { dup2(saved_, fd_); close(saved_); }
    Redirection(Redirection&&) = delete;  // and with it every copy

private:
    int fd_, saved_;
};

}  // namespace duoquill::test
