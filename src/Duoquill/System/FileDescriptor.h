#pragma once
// A file descriptor closed when it goes out of scope. It also holds -1 (a failed open or
// socket), so the caller checks get() and reads errno as the failed call left it.

#include <unistd.h>

namespace duoquill {

class FileDescriptor {
public:
    explicit FileDescriptor(int fd) noexcept : fd_(fd) {}
    ~FileDescriptor() {
        if (fd_ >= 0) ::close(fd_);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;

    int get() const noexcept { return fd_; }

private:
    int fd_;
};

}  // namespace duoquill
