#include "Kit/ChatCliProcess.h"

#include <stdexcept>

#include "Kit/TestCertificates.h"

namespace duoquill::test {

namespace {

std::size_t timesIn(std::string_view error, std::string_view text) {
    const std::string shown = plainText(error);
    std::size_t n = 0;
    for (auto at = shown.find(text); at != std::string::npos; at = shown.find(text, at + text.size())) ++n;
    return n;
}

}  // namespace

ProcessOptions ChatUser::processOptions(bool inTerminal) const {
    ProcessOptions options{.environment = {{"HOME", home()},
                                           {"DUOQUILL_KEY_LABEL", label_},
                                           {"SSL_CERT_FILE", TestCertificates::shared().caFile().string()},
                                           // Never a TPM the machine may have.
                                           {"DUOQUILL_KEY_STORE", "software"}},
                           .unsetEnvironment = {"XDG_DATA_HOME", "SSL_CERT_DIR", "DUOQUILL_PROXY", "DUOQUILL_STEADY"},
                           .terminal = inTerminal};
    if (inTerminal) options.environment["TERM"] = "xterm";
    for (const auto& [name, value] : environment_) options.environment[name] = value;
    for (const std::string& name : unset_) {
        options.environment.erase(name);
        options.unsetEnvironment.push_back(name);
    }
    return options;
}

void ChatUser::setForLaterRuns(const std::string& name, std::optional<std::string> value) {
    std::erase(unset_, name);
    if (value) {
        environment_[name] = *value;
    } else {
        environment_.erase(name);
        unset_.push_back(name);
    }
}

constexpr std::string_view kPinPrompt = "PIN for token ";

ChatUser::ChatUser(std::string label, std::map<std::string, std::string> environment, std::string pin)
    : label_(std::move(label)), environment_(std::move(environment)), pin_(std::move(pin)) {
    if (pin_.empty()) {
        const auto result = runProcess(cliPath().string(), {"keygen"}, processOptions());
        if (result.exitStatus != 0) throw std::runtime_error("keygen failed: " + result.standardError);
        publicKey_ = result.standardOutput.substr(0, result.standardOutput.find('\n'));
        keygenMessage_ = result.standardError;
        return;
    }
    // In a terminal both outputs arrive together: the message line, then the key's.
    RunningProcess keygen(cliPath().string(), {"keygen"}, processOptions(true));
    if (!keygen.waitForStandardError([](const std::string& shown) { return shown.find(kPinPrompt) != std::string::npos; }, 20s)) {
        throw std::runtime_error("keygen asked for no PIN: " + keygen.standardError());
    }
    keygen.write(pin_ + "\n");
    const int status = keygen.stop(0, 20s);
    const std::string shown = plainText(keygen.standardError());
    if (status != 0) throw std::runtime_error("keygen failed: " + shown);
    const auto end = shown.find_last_not_of('\n');
    const auto start = shown.rfind('\n', end);
    publicKey_ = shown.substr(start + 1, end - start);
    const auto message = shown.rfind('\n', start - 1);
    keygenMessage_ = shown.substr(message + 1, start - message);
}

ProcessResult ChatUser::run(const std::vector<std::string>& arguments, const std::string& input) const {
    auto options = processOptions();
    options.standardInput = input;
    return runProcess(cliPath().string(), arguments, options);
}

ChatCliProcess::ChatCliProcess(const ChatUser& user, const std::string& peerKey, const std::string& relayURL,
                               bool inTerminal, const std::vector<std::string>& options)
    : RunningProcess(cliPath().string(),
                     [&] {
                         std::vector<std::string> arguments{"chat"};
                         arguments.insert(arguments.end(), options.begin(), options.end());
                         arguments.push_back(peerKey);
                         if (!relayURL.empty()) arguments.push_back(relayURL);
                         return arguments;
                     }(),
                     user.processOptions(inTerminal || !user.pin().empty())) {
    if (user.pin().empty()) return;
    if (waitFor(kPinPrompt)) write(user.pin() + "\n");
}

ChatCliProcess::~ChatCliProcess() {
    stop(SIGKILL, 5s);
    // In a sanitizer build the program reports its faults on standard error and may go on.
    const std::string error = standardError();
    const auto holds = [&](std::string_view report) { return error.find(report) != std::string::npos; };
    if (holds("Sanitizer:") || holds("runtime error:")) reportFault("sanitizer report from duoquill-cli:\n" + error);
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
