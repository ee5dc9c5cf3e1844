#include "Kit/ChatCliProcess.h"

#include <stdexcept>

#include "Kit/TestCertificates.h"

namespace duoquill::test {

namespace {

ProcessOptions userEnvironment(const ChatUser& user) {
    ProcessOptions options;
    options.environment = {{"HOME", user.home()},
                           {"DUOQUILL_KEY_LABEL", user.label()},
                           {"SSL_CERT_FILE", TestCertificates::shared().caFile().string()},
                           // Never a TPM the machine may have.
                           {"DUOQUILL_KEY_STORE", "software"}};
    options.unsetEnvironment = {"XDG_DATA_HOME", "SSL_CERT_DIR"};
    return options;
}

std::size_t timesIn(std::string_view error, std::string_view text) {
    const std::string shown = plainText(error);
    std::size_t n = 0;
    for (auto at = shown.find(text); at != std::string::npos; at = shown.find(text, at + text.size())) ++n;
    return n;
}

}  // namespace

ChatUser::ChatUser(std::string label) : label_(std::move(label)) {
    const auto result = runProcess(cliPath().string(), {"keygen"}, userEnvironment(*this));
    if (result.exitStatus != 0) throw std::runtime_error("keygen failed: " + result.standardError);
    publicKey_ = result.standardOutput.substr(0, result.standardOutput.find('\n'));
}

ChatCliProcess::ChatCliProcess(const ChatUser& user, const std::string& peerKey, const std::string& relayURL,
                               bool inTerminal)
    : RunningProcess(cliPath().string(), {"chat", peerKey, relayURL}, [&] {
          auto options = userEnvironment(user);
          options.terminal = inTerminal;
          if (inTerminal) options.environment["TERM"] = "xterm";
          return options;
      }()) {}

ChatCliProcess::~ChatCliProcess() {
    killGroup();
    waitForExit(5s);
    waitForEndOfOutput(5s);
    // In a sanitizer build the program reports its faults on standard error and may go on.
    const std::string error = standardError();
    for (const std::string_view report : {"Sanitizer:", "runtime error:"}) {
        if (error.find(report) != std::string::npos) {
            reportFault("sanitizer report from duoquill-cli:\n" + error);
            return;
        }
    }
}

bool ChatCliProcess::waitFor(std::string_view text, std::chrono::milliseconds timeout, std::size_t wanted) const {
    return waitForStandardError([&](const std::string& error) { return timesIn(error, text) >= wanted; }, timeout);
}

std::size_t ChatCliProcess::timesShown(std::string_view text) const { return timesIn(standardError(), text); }

std::string plainText(std::string_view terminal) {
    std::string out;
    for (std::size_t i = 0; i < terminal.size(); ++i) {
        if (terminal[i] == '\x1b' && i + 1 < terminal.size() && terminal[i + 1] == '[') {
            i += 2;
            while (i < terminal.size() && !(terminal[i] >= '@' && terminal[i] <= '~')) ++i;
        } else if (terminal[i] != '\r') {
            out.push_back(terminal[i]);
        }
    }
    return out;
}

bool inOrder(std::string_view shown, const std::vector<std::string>& texts) {
    std::size_t from = 0;
    for (const auto& text : texts) {
        if ((from = shown.find(text, from)) == std::string::npos) return false;
        from += text.size();
    }
    return true;
}

}  // namespace duoquill::test
