#pragma once
// Runs a check in a forked child, for what changes the whole process for good (memory
// locking, dumpability). The body returns the failures it found, one per line; the parent
// gets them back through a pipe.

#include <functional>
#include <string>
#include <sys/types.h>

namespace duoquill::test {

// The body's failures, or a line saying how the child ended if it did not finish.
std::string failuresInChild(const std::function<std::string()>& body);

// A child that runs `setup`, then waits until it is killed. Its id, or -1.
class WaitingChild {
public:
    explicit WaitingChild(const std::function<void()>& setup);
    ~WaitingChild();
    WaitingChild(const WaitingChild&) = delete;
    WaitingChild& operator=(const WaitingChild&) = delete;
    pid_t pid() const noexcept { return pid_; }

private:
    pid_t pid_ = -1;
};

}  // namespace duoquill::test
