#include "Support/ChatCliProcess.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <stdexcept>
#include <vector>

#include "Support/Process.h"
#include "Support/TestCertificates.h"

extern char** environ;

namespace duoquill::test {

namespace {

std::vector<std::string> chatEnvironment(const std::string& home, const std::string& label) {
    std::vector<std::string> env;
    for (char** e = environ; *e != nullptr; ++e) {
        const std::string entry(*e);
        if (entry.starts_with("HOME=") || entry.starts_with("XDG_DATA_HOME=") ||
            entry.starts_with("DUOQUILL_KEY_LABEL=") || entry.starts_with("SSL_CERT_FILE=") ||
            entry.starts_with("SSL_CERT_DIR=")) {
            continue;
        }
        env.push_back(entry);
    }
    env.push_back("HOME=" + home);
    env.push_back("DUOQUILL_KEY_LABEL=" + label);
    env.push_back("SSL_CERT_FILE=" + TestCertificates::shared().caFile().string());
    return env;
}

}  // namespace

ChatUser::ChatUser(std::string label) : label_(std::move(label)) {
    ProcessOptions options;
    options.environment = {{"HOME", home_.str()}, {"DUOQUILL_KEY_LABEL", label_}};
    options.unsetEnvironment = {"XDG_DATA_HOME"};
    const auto result = runProcess(cliPath().string(), {"keygen"}, options);
    if (result.exitStatus != 0) throw std::runtime_error("keygen failed: " + result.standardError);
    publicKey_ = result.standardOutput.substr(0, result.standardOutput.find('\n'));
}

ChatCliProcess::ChatCliProcess(const ChatUser& user, const std::string& peerKey, const std::string& relayURL) {
    int in[2], err[2];
    if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
    std::vector<std::string> args{cliPath().string(), "chat", peerKey, relayURL};
    std::vector<std::string> env = chatEnvironment(user.home(), user.label());
    std::vector<char*> argv, envp;
    for (auto& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    pid_ = ::fork();
    if (pid_ < 0) throw std::runtime_error("fork failed");
    if (pid_ == 0) {
        ::dup2(in[0], 0);
        const int devnull = ::open("/dev/null", O_WRONLY);
        ::dup2(devnull, 1);
        ::dup2(err[1], 2);
        ::execve(argv[0], argv.data(), envp.data());
        _exit(127);
    }
    ::close(in[0]);
    ::close(err[1]);
    input_ = in[1];
    reader_ = std::thread([this, fd = err[0]] { collect(fd); });
}

ChatCliProcess::~ChatCliProcess() {
    if (!status_) {
        kill();
        waitForExit(5s);
    }
    closeInput();
    if (reader_.joinable()) reader_.join();
    // In a sanitizer build the program reports its faults on standard error and may go on.
    for (const std::string_view report : {"Sanitizer:", "runtime error:"}) {
        if (error_.find(report) != std::string::npos) ADD_FAILURE() << "sanitizer report from duoquill-cli:\n" << error_;
    }
}

void ChatCliProcess::collect(int fd) {
    char buffer[65536];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        std::lock_guard lock(mutex_);
        if (n <= 0) {
            errorClosed_ = true;
            changed_.notify_all();
            break;
        }
        error_.append(buffer, static_cast<std::size_t>(n));
        changed_.notify_all();
    }
    ::close(fd);
}

void ChatCliProcess::type(std::string_view line) {
    std::string data(line);
    data.push_back('\n');
    std::size_t written = 0;
    while (input_ >= 0 && written < data.size()) {
        const ssize_t n = ::write(input_, data.data() + written, data.size() - written);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        written += static_cast<std::size_t>(n);
    }
}

void ChatCliProcess::closeInput() {
    if (input_ >= 0) ::close(input_);
    input_ = -1;
}

void ChatCliProcess::kill() {
    if (pid_ > 0 && !status_) ::kill(pid_, SIGKILL);
}

std::size_t ChatCliProcess::count(std::string_view text) const {
    std::lock_guard lock(mutex_);
    std::size_t n = 0;
    for (auto at = error_.find(text); at != std::string::npos; at = error_.find(text, at + text.size())) ++n;
    return n;
}

bool ChatCliProcess::waitFor(std::string_view text, std::chrono::milliseconds timeout, std::size_t wanted) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] {
        const std::string shown = plainText(error_);
        std::size_t n = 0;
        for (auto at = shown.find(text); at != std::string::npos; at = shown.find(text, at + text.size())) ++n;
        return n >= wanted;
    });
}

std::string ChatCliProcess::standardError() const {
    std::lock_guard lock(mutex_);
    return error_;
}

bool ChatCliProcess::waitForEndOfOutput(std::chrono::milliseconds timeout) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, timeout, [&] { return errorClosed_; });
}

std::optional<int> ChatCliProcess::waitForExit(std::chrono::milliseconds timeout) {
    if (status_) return status_;
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        const pid_t done = ::waitpid(pid_, &status, WNOHANG);
        if (done == pid_) {
            status_ = WIFEXITED(status) ? WEXITSTATUS(status) : -WTERMSIG(status);
            return status_;
        }
        if (std::chrono::steady_clock::now() >= deadline) return std::nullopt;
        std::this_thread::sleep_for(10ms);
    }
}

std::string plainText(std::string_view terminal) {
    std::string out;
    for (std::size_t i = 0; i < terminal.size(); ++i) {
        if (terminal[i] == '\x1b' && i + 1 < terminal.size() && terminal[i + 1] == '[') {
            i += 2;
            while (i < terminal.size() && !(terminal[i] >= '@' && terminal[i] <= '~')) ++i;
            continue;
        }
        if (terminal[i] == '\r') continue;
        out.push_back(terminal[i]);
    }
    return out;
}

}  // namespace duoquill::test
