#pragma once
// A real `duoquill-cli chat` process for end-to-end tests: its own HOME and key label, the
// test CA trusted through SSL_CERT_FILE, standard input fed line by line, standard error
// collected as it runs.

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>

#include "Support/Paths.h"

namespace duoquill::test {

using namespace std::chrono_literals;

// A user: a HOME of its own holding one identity made with `duoquill-cli keygen`.
class ChatUser {
public:
    explicit ChatUser(std::string label);
    const std::string& publicKey() const { return publicKey_; }
    const std::string& label() const { return label_; }
    std::string home() const { return home_.str(); }

private:
    TempDir home_;
    std::string label_;
    std::string publicKey_;
};

class ChatCliProcess {
public:
    ChatCliProcess(const ChatUser& user, const std::string& peerKey, const std::string& relayURL);
    ~ChatCliProcess();
    ChatCliProcess(const ChatCliProcess&) = delete;
    ChatCliProcess& operator=(const ChatCliProcess&) = delete;

    void type(std::string_view line);  // the line and "\n"
    void closeInput();
    void kill();  // SIGKILL, as a crash would

    // Waits until standard error, as plain text, holds `text` at least `count` times.
    bool waitFor(std::string_view text, std::chrono::milliseconds timeout = 20s, std::size_t count = 1) const;
    std::size_t count(std::string_view text) const;
    std::string standardError() const;
    // Waits until the process has closed standard error (it has ended): standardError() is
    // then complete.
    bool waitForEndOfOutput(std::chrono::milliseconds timeout = 20s) const;
    // Waits for the process to end; its exit status, or nothing when it did not end in time
    // (or was killed by a signal: -signal).
    std::optional<int> waitForExit(std::chrono::milliseconds timeout = 20s);

private:
    void collect(int fd);

    pid_t pid_ = -1;
    int input_ = -1;
    std::thread reader_;
    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::string error_;
    bool errorClosed_ = false;
    std::optional<int> status_;
};

// The lines of a display with colours and cursor movement taken out.
std::string plainText(std::string_view terminal);

}  // namespace duoquill::test
