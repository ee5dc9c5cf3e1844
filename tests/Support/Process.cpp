#include "Support/Process.h"

#include <cerrno>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

extern char** environ;

namespace duoquill::test {
namespace {

std::vector<std::string> buildEnvironment(const ProcessOptions& options) {
    std::map<std::string, std::string> env;
    if (!options.clearEnvironment) {
        for (char** e = environ; *e != nullptr; ++e) {
            std::string entry(*e);
            const auto eq = entry.find('=');
            if (eq != std::string::npos) env[entry.substr(0, eq)] = entry.substr(eq + 1);
        }
    }
    for (const auto& name : options.unsetEnvironment) env.erase(name);
    for (const auto& [k, v] : options.environment) env[k] = v;
    std::vector<std::string> out;
    for (const auto& [k, v] : env) out.push_back(k + "=" + v);
    return out;
}

}  // namespace

ProcessResult runProcess(const std::string& program, const std::vector<std::string>& arguments,
                         const ProcessOptions& options) {
    int in[2], out[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    std::vector<std::string> envStrings = buildEnvironment(options);
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(program.c_str()));
    for (const auto& a : arguments) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    std::vector<char*> envp;
    for (auto& e : envStrings) envp.push_back(e.data());
    envp.push_back(nullptr);

    const pid_t pid = ::fork();
    if (pid < 0) throw std::runtime_error("fork failed");
    if (pid == 0) {
        ::dup2(in[0], 0);
        ::dup2(out[1], 1);
        ::dup2(err[1], 2);
        ::execve(program.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(out[1]);
    ::close(err[1]);
    ::signal(SIGPIPE, SIG_IGN);

    ProcessResult result;
    std::size_t written = 0;
    int inFd = in[1];
    if (options.standardInput.empty()) {
        ::close(inFd);
        inFd = -1;
    } else {
        ::fcntl(inFd, F_SETFL, O_NONBLOCK);
    }
    int outFd = out[0], errFd = err[0];
    const auto deadline = std::chrono::steady_clock::now() + options.timeout;
    char buffer[65536];
    while (outFd >= 0 || errFd >= 0) {
        const auto now = std::chrono::steady_clock::now();
        if (now >= deadline) {
            result.timedOut = true;
            ::kill(pid, SIGKILL);
            break;
        }
        pollfd fds[3];
        int n = 0;
        if (outFd >= 0) fds[n++] = {outFd, POLLIN, 0};
        if (errFd >= 0) fds[n++] = {errFd, POLLIN, 0};
        if (inFd >= 0) fds[n++] = {inFd, POLLOUT, 0};
        const auto ms = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - now).count();
        if (::poll(fds, static_cast<nfds_t>(n), static_cast<int>(std::min<long long>(ms, 1000))) < 0) {
            if (errno == EINTR) continue;
            break;
        }
        for (int i = 0; i < n; ++i) {
            if (fds[i].revents == 0) continue;
            if (fds[i].fd == inFd) {
                const ssize_t w = ::write(inFd, options.standardInput.data() + written, options.standardInput.size() - written);
                if (w > 0) written += static_cast<std::size_t>(w);
                if (w < 0 && errno != EAGAIN) written = options.standardInput.size();
                if (written == options.standardInput.size()) {
                    ::close(inFd);
                    inFd = -1;
                }
                continue;
            }
            const ssize_t r = ::read(fds[i].fd, buffer, sizeof buffer);
            if (r <= 0) {
                if (r < 0 && errno == EINTR) continue;
                ::close(fds[i].fd);
                (fds[i].fd == outFd ? outFd : errFd) = -1;
            } else {
                (fds[i].fd == outFd ? result.standardOutput : result.standardError).append(buffer, static_cast<std::size_t>(r));
            }
        }
    }
    if (inFd >= 0) ::close(inFd);
    if (outFd >= 0) ::close(outFd);
    if (errFd >= 0) ::close(errFd);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (WIFEXITED(status)) result.exitStatus = WEXITSTATUS(status);
    if (WIFSIGNALED(status)) result.signal = WTERMSIG(status);
    return result;
}

}  // namespace duoquill::test
