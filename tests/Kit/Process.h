#pragma once
// Runs a real program as a child process: arguments, environment, standard input fed by
// the test, standard output and error captured.

#include <signal.h>
#include <sys/types.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace duoquill::test {

// A fault the kit finds on its own, such as a child's sanitizer report. Test programs fail the
// running test (tests/Support); by default it is printed and the program aborts.
void setFaultHandler(std::function<void(const std::string&)> handler);
void reportFault(const std::string& report);

struct ProcessResult {
    int exitStatus = -1;  // exit code, or -1 when killed by a signal
    bool timedOut = false;
    std::string standardOutput;
    std::string standardError;
};

struct ProcessOptions {
    // Variables set on top of the test's environment.
    std::map<std::string, std::string> environment{};
    std::vector<std::string> unsetEnvironment{};
    std::string standardInput{};
    std::chrono::milliseconds timeout{30000};
    // Standard input, output and error one pseudo-terminal of the program's own, as a user's
    // shell gives it: write() types into it and everything shown is collected as standard error.
    bool terminal = false;
    // Without a terminal: in a session of its own, so not even the test's controlling terminal
    // (/dev/tty) is there, as for a service. For runs to completion: its group forms only once
    // the program has started.
    bool ownSession = false;
};

// Runs to completion (or kills it at the time-out).
ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options = {});

// A program left running while the test talks to it, in a process group of its own: standard
// input a pipe the test writes to (or a terminal), standard output and error collected as it runs. The
// destructor kills the group if the program is still running.
class RunningProcess {
public:
    RunningProcess(const std::string& program, const std::vector<std::string>& arguments,
                   const ProcessOptions& options = {});
    virtual ~RunningProcess();

    pid_t pid() const { return pid_; }
    // The terminal's side the test holds (its modes are the program's), or -1 without one.
    int terminal() const { return terminal_ ? input_ : -1; }
    void write(std::string_view text);
    void closeInput() {
        if (input_ >= 0) ::close(input_);
        input_ = -1;
    }
    // SIGKILL to the program and everything it started.
    void killGroup() {
        if (!status_) ::kill(-pid_, SIGKILL);
    }
    // Its exit status (or -signal) once it has ended; nothing when it does not end in time.
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    // Sends the signal to its group (0: none) and waits for its end, killing the group when it does
    // not come in time, then for its outputs. The exit status, or -1 when a signal ended it.
    int stop(int signal, std::chrono::milliseconds timeout = std::chrono::seconds(10));

    // Collected so far.
    std::string standardOutput() const { return locked(output_); }
    std::string standardError() const { return locked(error_); }
    // Waits until standard error satisfies `condition` (called under a lock).
    bool waitForStandardError(const std::function<bool(const std::string&)>& condition,
                              std::chrono::milliseconds timeout) const {
        return waitUntil([&] { return condition(error_); }, timeout);
    }
    // Waits until the program has closed both outputs: what was collected is then complete.
    bool waitForEndOfOutput(std::chrono::milliseconds timeout = std::chrono::seconds(20)) const {
        return waitUntil([this] { return openOutputs_ == 0; }, timeout);
    }

private:
    bool waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const;
    std::string locked(const std::string& text) const;
    void collect(int fd, std::string& into);

    pid_t pid_ = -1;
    int input_ = -1;
    bool terminal_ = false;
    std::optional<int> status_;
    std::thread readers_[2];
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string output_, error_;
    int openOutputs_ = 2;
};

// Calls `condition` every 10 ms until it holds or the time is up; whether it held.
bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);

// For the servers tests start on loopback: a port nothing listens on at the moment of asking,
// whether something listens on one, and a socket connected to it (-1 when nothing does).
std::uint16_t freeLoopbackPort();
bool listensOnLoopback(std::uint16_t port);
int connectLoopback(std::uint16_t port);
// Writes `request` on a connected socket, reads until the other end closes (waiting at most 5 s
// for each read) and closes it; empty when `socket` is -1.
std::string exchange(int socket, std::string_view request);

}  // namespace duoquill::test
