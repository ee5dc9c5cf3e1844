#pragma once
// A real `duoquill-cli chat` process for end-to-end tests: its own HOME and key label, the
// test CA trusted through SSL_CERT_FILE, standard input fed line by line, standard error
// collected as it runs.

#include <chrono>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Kit/Paths.h"
#include "Kit/Process.h"

namespace duoquill::test {

using namespace std::chrono_literals;

// What a chat shows once its session is active. Not "connected" alone: "disconnected" holds it too.
inline constexpr std::string_view kConnectedLine = " connected — PQ handshake complete";

// A user: a HOME of its own holding one identity made with `duoquill-cli keygen`, a software
// key unless `environment` names another store (Swtpm, SoftHsmToken). With a PIN, keygen and
// chat run in a terminal and the PIN is typed at their prompt.
class ChatUser {
public:
    explicit ChatUser(std::string label, std::map<std::string, std::string> environment = {}, std::string pin = {});
    const std::string& publicKey() const { return publicKey_; }
    std::string home() const { return home_.str(); }
    const std::map<std::string, std::string>& environment() const { return environment_; }
    // The environment every process of this user runs with: its HOME, label, store and CA; in a
    // terminal of its own (ProcessOptions::terminal), an xterm's.
    ProcessOptions processOptions(bool inTerminal = false) const;
    const std::string& pin() const { return pin_; }
    // What keygen said on standard error.
    const std::string& keygenMessage() const { return keygenMessage_; }
    // For the processes started from now on, as a user who set a variable for keygen alone:
    // `name` set to `value`, or left out of the environment altogether.
    void setForLaterRuns(const std::string& name, std::optional<std::string> value);
    // Runs duoquill-cli to completion as this user, `input` on its standard input.
    ProcessResult run(const std::vector<std::string>& arguments, const std::string& input = {}) const;

private:
    TempDir home_;
    std::string label_;
    std::map<std::string, std::string> environment_;
    std::vector<std::string> unset_;
    std::string pin_;
    std::string publicKey_;
    std::string keygenMessage_;
};

class ChatCliProcess : public RunningProcess {
public:
    // An empty relayURL leaves the operand out (`chat <name>`).
    // inTerminal: standard input and error a pseudo-terminal (ProcessOptions::terminal); always
    // for a user with a PIN, which is typed once the program asks for it. `options` go
    // right after "chat".
    ChatCliProcess(const ChatUser& user, const std::string& peerKey, const std::string& relayURL,
                   bool inTerminal = false, const std::vector<std::string>& options = {});
    // Reports a fault (reportFault) when a sanitizer reported one on standard error.
    ~ChatCliProcess() override;

    void type(std::string_view line) { write(std::string(line) + "\n"); }
    // Waits until standard error, as plain text, holds `text` at least `count` times.
    bool waitFor(std::string_view text, std::chrono::milliseconds timeout = 20s, std::size_t count = 1) const;
    // How many times standard error, as plain text, holds `text` so far.
    std::size_t timesShown(std::string_view text) const;
};

// The lines of a display with colours and cursor movement taken out.
std::string plainText(std::string_view terminal);
// Whether `texts` appear in `shown` in this order.
bool inOrder(std::string_view shown, const std::vector<std::string>& texts);

}  // namespace duoquill::test
