#include "Kit/Process.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <pty.h>
#include <stdexcept>
#include <sys/wait.h>

extern char** environ;

namespace duoquill::test {

using namespace std::chrono_literals;

namespace {
std::function<void(const std::string&)> faultHandler = [](const std::string& report) {
    std::fprintf(stderr, "%s\n", report.c_str());
    std::abort();
};

sockaddr_in loopback(std::uint16_t port) {
    return {.sin_family = AF_INET, .sin_port = htons(port), .sin_addr = {htonl(INADDR_LOOPBACK)}, .sin_zero = {}};
}

}  // namespace

void setFaultHandler(std::function<void(const std::string&)> handler) { faultHandler = std::move(handler); }
void reportFault(const std::string& report) { faultHandler(report); }

RunningProcess::RunningProcess(const std::string& program, const std::vector<std::string>& arguments,
                               const ProcessOptions& options) {
    std::map<std::string, std::string> variables;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        if (const auto eq = entry.find('='); eq != std::string::npos) variables[entry.substr(0, eq)] = entry.substr(eq + 1);
    }
    for (const auto& name : options.unsetEnvironment) variables.erase(name);
    for (const auto& [name, value] : options.environment) variables[name] = value;
    std::vector<std::string> argumentList{program}, environment;
    argumentList.insert(argumentList.end(), arguments.begin(), arguments.end());
    for (const auto& [name, value] : variables) environment.push_back(name + "=" + value);
    // execve's arrays: pointers into the strings above, each ended by a null pointer.
    std::vector<char*> argv(argumentList.size() + 1), envp(environment.size() + 1);
    std::ranges::transform(argumentList, argv.begin(), [](std::string& a) { return a.data(); });
    std::ranges::transform(environment, envp.begin(), [](std::string& e) { return e.data(); });

    const auto exec = [&] {
        ::execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    };
    ::signal(SIGPIPE, SIG_IGN);
    if (options.terminal) {
        winsize size{.ws_row = 40, .ws_col = 200, .ws_xpixel = 0, .ws_ypixel = 0};  // no line of the chat wraps
        int terminal = -1;
        pid_ = ::forkpty(&terminal, nullptr, nullptr, &size);
        if (pid_ < 0) throw std::runtime_error("forkpty failed");
        if (pid_ == 0) exec();
        ::fcntl(terminal, F_SETFD, FD_CLOEXEC);
        input_ = terminal;
        terminal_ = true;
        openOutputs_ = 1;
        readers_[0] = std::thread([this, fd = ::fcntl(terminal, F_DUPFD_CLOEXEC, 0)] { collect(fd, error_); });
        return;
    }
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        if (options.ownSession) ::setsid(); else ::setpgid(0, 0);
        const int ends[] = {in[0], out[1], err[1]};
        for (int fd = 0; fd < 3; ++fd) ::dup2(ends[fd], fd);
        exec();
    }
    if (!options.ownSession) ::setpgid(pid_, pid_);  // as the child does: the group exists before either goes on
    for (const int fd : {in[0], out[1], err[1]}) ::close(fd);
    input_ = in[1];
    readers_[0] = std::thread([this, fd = out[0]] { collect(fd, output_); });
    readers_[1] = std::thread([this, fd = err[0]] { collect(fd, error_); });
}

RunningProcess::~RunningProcess() {
    if (!status_) {
        killGroup();
        waitForExit(5s);
    }
    closeInput();
    // Whatever it started and left behind holds the outputs open: it goes too.
    if (!waitForEndOfOutput(2s)) ::kill(-pid_, SIGKILL);
    for (auto& reader : readers_) if (reader.joinable()) reader.join();
}

void RunningProcess::collect(int fd, std::string& into) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard lock(mutex_);
        if (n > 0) into.append(buffer, static_cast<std::size_t>(n)); else --openOutputs_;
        changed_.notify_all();
        if (n <= 0) break;
    }
    ::close(fd);
}

void RunningProcess::write(std::string_view text) {
    while (input_ >= 0 && !text.empty()) {
        const ssize_t n = ::write(input_, text.data(), text.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
}

std::optional<int> RunningProcess::waitForExit(std::chrono::milliseconds timeout) {
    pollUntil([this] {
        int status = 0;
        if (!status_ && ::waitpid(pid_, &status, WNOHANG) == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
        }
        return status_.has_value();
    }, timeout);
    return status_;
}

int RunningProcess::stop(int signal, std::chrono::milliseconds timeout) {
    if (signal != 0 && !status_) ::kill(-pid_, signal);
    if (!waitForExit(timeout)) {
        killGroup();
        waitForExit();
    }
    waitForEndOfOutput(5s);
    return status_.value_or(-1) >= 0 ? *status_ : -1;
}

std::string RunningProcess::locked(const std::string& text) const {
    std::lock_guard lock(mutex_);
    return text;
}

bool RunningProcess::waitUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, condition);
}

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options) {
    RunningProcess process(program, arguments, options);
    // A program that never reads its input fails the writes once it has ended.
    std::thread feeder([&] {
        process.write(options.standardInput);
        process.closeInput();
    });
    ProcessResult result;
    result.timedOut = !process.waitForExit(options.timeout);
    result.exitStatus = process.stop(0, 0ms);
    feeder.join();
    result.standardOutput = process.standardOutput();
    result.standardError = process.standardError();
    return result;
}

bool pollUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (!condition()) {
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(10ms);
    }
    return true;
}

std::uint16_t freeLoopbackPort() {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address = loopback(0);
    socklen_t length = sizeof address;
    const bool bound = ::bind(fd, reinterpret_cast<sockaddr*>(&address), length) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length) == 0;
    ::close(fd);
    if (!bound) throw std::runtime_error("no free loopback port");
    return ntohs(address.sin_port);
}

int connectLoopback(std::uint16_t port) {
    const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const sockaddr_in address = loopback(port);
    if (::connect(fd, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0) return fd;
    ::close(fd);
    return -1;
}

bool listensOnLoopback(std::uint16_t port) {
    const int fd = connectLoopback(port);
    if (fd >= 0) ::close(fd);
    return fd >= 0;
}

std::string exchange(int socket, std::string_view request) {
    std::string answer;
    if (socket < 0) return answer;
    const timeval limit{5, 0};
    ::setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (::write(socket, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        char buffer[8192];
        for (ssize_t n; (n = ::read(socket, buffer, sizeof buffer)) > 0;) {
            answer.append(buffer, static_cast<std::size_t>(n));
        }
    }
    ::close(socket);
    return answer;
}

}  // namespace duoquill::test
