#pragma once
// Points one of this process's outputs (1 or 2) at a file while it lives: what the real
// display writes goes there instead of the test's log.

#include <fcntl.h>
#include <unistd.h>

#include <filesystem>

namespace duoquill::test {

class RedirectedOutput {
public:
    explicit RedirectedOutput(int fd, const std::filesystem::path& path = "/dev/null") : fd_(fd), saved_(dup(fd)) {
        const int file = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        dup2(file, fd);
        close(file);
    }
    ~RedirectedOutput() {
        dup2(saved_, fd_);
        close(saved_);
    }
    RedirectedOutput(const RedirectedOutput&) = delete;
    RedirectedOutput& operator=(const RedirectedOutput&) = delete;

private:
    int fd_, saved_;
};

}  // namespace duoquill::test
