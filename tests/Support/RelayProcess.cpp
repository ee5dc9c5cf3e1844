#include "Support/RelayProcess.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <stdexcept>
#include <sys/wait.h>
#include <unistd.h>

#include "Support/Paths.h"
#include "Support/TestCertificates.h"

namespace duoquill::test {

RelayProcess::RelayProcess() : RelayProcess(Options{}) {}

RelayProcess::RelayProcess(Options options) : plain_(options.plain) {
    std::vector<std::string> arguments{relayPath().string(), "--listen", "127.0.0.1:0"};
    if (options.plain) {
        arguments.push_back("--plain");
    } else {
        const auto& certificates = TestCertificates::shared();
        arguments.insert(arguments.end(), {"--cert", certificates.certificateFile().string(), "--key",
                                           certificates.privateKeyFile().string()});
    }
    arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
    std::vector<char*> argv;
    for (auto& a : arguments) argv.push_back(a.data());
    argv.push_back(nullptr);

    int err[2];
    if (::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        const int null = ::open("/dev/null", O_RDWR);
        ::dup2(null, 0);
        ::dup2(null, 1);
        ::dup2(err[1], 2);
        ::execv(argv[0], argv.data());
        _exit(127);
    }
    ::close(err[1]);
    reader_ = std::thread([this, fd = err[0]] { collect(fd); });

    const std::string marker = "listening on 127.0.0.1:";
    std::unique_lock lock(mutex_);
    changed_.wait_for(lock, options.startTimeout, [&] { return closed_ || log_.find(marker) != std::string::npos; });
    const auto at = log_.find(marker);
    if (at == std::string::npos) {
        const std::string output = log_;
        lock.unlock();
        stop(SIGKILL);
        throw std::runtime_error("duoquill-relay did not start: " + output);
    }
    port_ = static_cast<std::uint16_t>(std::stoul(log_.substr(at + marker.size())));
}

RelayProcess::~RelayProcess() {
    if (running()) stop(SIGKILL);
    if (reader_.joinable()) reader_.join();
}

std::string RelayProcess::url() const {
    return std::string(plain_ ? "ws" : "wss") + "://127.0.0.1:" + std::to_string(port_);
}

void RelayProcess::collect(int fd) {
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard lock(mutex_);
        if (n <= 0) {
            closed_ = true;
            changed_.notify_all();
            break;
        }
        log_.append(buffer, static_cast<std::size_t>(n));
        changed_.notify_all();
    }
    ::close(fd);
}

int RelayProcess::stop(int signal, std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    ::kill(pid_, signal);
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    int status = 0;
    for (;;) {
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) break;
        if (done < 0 && errno != EINTR) break;
        if (std::chrono::steady_clock::now() >= deadline) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, &status, 0);
            status = -1;
            break;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    pid_ = -1;
    return (status != -1 && WIFEXITED(status)) ? WEXITSTATUS(status) : -1;
}

std::string RelayProcess::log() const {
    std::lock_guard lock(mutex_);
    return log_;
}

bool RelayProcess::waitForLog(std::string_view text, std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return log_.find(text) != std::string::npos; });
}

}  // namespace duoquill::test
