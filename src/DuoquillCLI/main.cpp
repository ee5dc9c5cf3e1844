// duoquill-cli: argument dispatch, usage text and command-line errors.

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Duoquill/Identity/KeyHelpers.h"
#include "Duoquill/Keys/Hardware/Pkcs11KeyStore.h"
#include "Duoquill/System/ProcessHardening.h"
#include "Duoquill/System/StandardStreams.h"
#include "Duoquill/Transport/Socks5Proxy.h"
#include "DuoquillCLI/Commands/CLIContactCommands.h"
#include "DuoquillCLI/Commands/CLIKeyCommands.h"
#include "DuoquillCLI/RunChat.h"
#include "DuoquillCLI/Terminal/TerminalPin.h"

namespace {

// 258 bytes, no final line feed; the ellipsis is U+2026.
constexpr std::string_view kUsage =
    "Usage:\n"
    "  duoquill-cli keygen                              Generate P-256 SE key, print pubkey\n"
    "  duoquill-cli pubkey                              Print existing pubkey (base64url)\n"
    "  duoquill-cli chat <peer-pubkey-b64url> <wss://\xE2\x80\xA6> Interactive encrypted chat";

// What --help adds below the usage: keygen's option and the commands for contacts and for
// programs, which the refusal's usage leaves out.
constexpr std::string_view kMoreHelp =
    "  duoquill-cli keygen --force                      Replace the identity without asking\n"
    "  duoquill-cli chat <name> [<wss://\xE2\x80\xA6>]             Chat with a saved contact\n"
    "  duoquill-cli chat --json <name|peer-key> [<wss://\xE2\x80\xA6>]\n"
    "                                                   The chat as JSON-RPC lines, for programs\n"
    "  duoquill-cli chat --proxy socks5h://HOST:PORT <name|peer-key> [<wss://\xE2\x80\xA6>]\n"
    "                                                   Through a SOCKS5 proxy such as Tor's\n"
    "                                                   (socks5h://127.0.0.1:9050; or set DUOQUILL_PROXY)\n"
    "  duoquill-cli chat --steady <name|peer-key> [<wss://\xE2\x80\xA6>]\n"
    "                                                   One frame every 2-5 s, typed or not, so the\n"
    "                                                   traffic does not show when you type\n"
    "                                                   (or set DUOQUILL_STEADY=1; --no-steady: off)\n"
    "  duoquill-cli add <name> <peer-key> [<wss://\xE2\x80\xA6>]   Save a contact (--replace: a new key for it;\n"
    "                                                   --proxy socks5h://HOST:PORT: its proxy;\n"
    "                                                   --steady, --no-steady: its steady mode)\n"
    "  duoquill-cli contacts                            List contacts, and who is verified\n"
    "  duoquill-cli remove <name>                       Forget a contact\n"
    "  duoquill-cli verify <name|peer-key>              Print the safety code to compare aloud\n";

std::string fullHelp() { return std::string(kUsage) + "\n" + std::string(kMoreHelp); }

// What a command takes after its word: these options, anywhere, and at most this many operands.
struct Grammar {
    std::vector<std::string_view> options;
    // Options that take the next word (or "=value") as their value.
    std::vector<std::string_view> valuedOptions;
    std::size_t maxOperands = 0;
    // chat: words after its operands were always ignored, and scripts may pass them.
    bool ignoresExtraOperands = false;
    // The usage shown on a refusal leaves these commands out; theirs shows them.
    bool showsContactHelp = false;
};

std::optional<Grammar> grammarOf(std::string_view command) {
    if (command == "keygen") return Grammar{{"--force"}, {}, 0};
    if (command == "pubkey" || command == "--help" || command == "-h" || command == "--version") return Grammar{{}, {}, 0};
    if (command == "chat") return Grammar{{"--json", "--steady", "--no-steady"}, {"--proxy"}, 2, true};
    if (command == "add") return Grammar{{"--replace", "--steady", "--no-steady"}, {"--proxy"}, 3, false, true};
    if (command == "contacts") return Grammar{{}, {}, 0, false, true};
    if (command == "remove" || command == "verify") return Grammar{{}, {}, 1, false, true};
    return std::nullopt;
}

struct Arguments {
    std::vector<std::string> options;
    std::vector<std::string> operands;
    std::map<std::string, std::string, std::less<>> values;
    bool has(std::string_view option) const { return std::find(options.begin(), options.end(), option) != options.end(); }
};

[[noreturn]] void printUsage() {
    duoquill::writeStandardError(kUsage);
    std::exit(1);
}

[[noreturn]] void refuse(const std::string& line, const Grammar& grammar) {
    duoquill::writeStandardError(line + (grammar.showsContactHelp ? fullHelp() : std::string(kUsage)));
    std::exit(1);
}

[[noreturn]] void fail(std::string_view line) {
    duoquill::writeStandardError(line);
    std::exit(1);
}

// A word that begins with "--" is an option, unless it is a key (a raw key in base64url may
// begin so). Any word the command does not know ends the process with the usage: a mistyped
// option must not run the command as if it were absent, nor become a contact's name.
Arguments parse(const std::vector<std::string>& args, const Grammar& grammar) {
    Arguments parsed;
    for (auto word = args.begin() + 2; word != args.end(); ++word) {
        if (word->starts_with("--") && !duoquill::KeyHelpers::isValidPublicKey(*word)) {
            const std::string name = word->substr(0, word->find('='));
            if (std::find(grammar.valuedOptions.begin(), grammar.valuedOptions.end(), name) != grammar.valuedOptions.end()) {
                if (name.size() < word->size()) {
                    parsed.values[name] = word->substr(name.size() + 1);
                } else if (word + 1 != args.end()) {
                    parsed.values[name] = *++word;
                } else {
                    refuse("Option " + name + " needs a value\n", grammar);
                }
                continue;
            }
            const bool known = std::find(grammar.options.begin(), grammar.options.end(), *word) != grammar.options.end();
            if (!known) refuse("Unknown option: " + *word + "\n", grammar);
            parsed.options.push_back(*word);
        } else if (parsed.operands.size() < grammar.maxOperands) {
            parsed.operands.push_back(*word);
        } else if (!grammar.ignoresExtraOperands) {
            refuse("Unexpected argument: " + *word + "\n", grammar);
        }
    }
    return parsed;
}

// --steady or --no-steady, the later one given winning; nothing when neither is.
std::optional<bool> steadyOption(const Arguments& arguments) {
    std::optional<bool> steady;
    for (const auto& option : arguments.options) {
        if (option == "--steady") steady = true;
        if (option == "--no-steady") steady = false;
    }
    return steady;
}

// The contact commands; false when the word names none of them.
bool runContactCommand(const std::string& command, const Arguments& arguments) {
    namespace contacts = duoquill::cli::CLIContactCommands;
    if (command == "add") {
        duoquill::ProcessHardening::protectSecrets();  // the own-key check may re-create the identity key
        const auto proxy = arguments.values.find("--proxy");
        contacts::add(arguments.operands, arguments.has("--replace"),
                      proxy == arguments.values.end() ? std::nullopt : std::optional<std::string>(proxy->second),
                      steadyOption(arguments));
    } else if (command == "contacts") {
        contacts::list();
    } else if (command == "remove") {
        contacts::remove(arguments.operands);
    } else if (command == "verify") {
        duoquill::ProcessHardening::protectSecrets();  // may re-create the identity key
        contacts::verify(arguments.operands);
    } else {
        return false;
    }
    return true;
}

// The chat's proxy: --proxy, else the contact's, else DUOQUILL_PROXY; none when none is given
// (or the first given is empty).
std::optional<duoquill::Socks5Proxy> proxyOf(const Arguments& arguments, const std::optional<std::string>& saved) {
    std::string text;
    if (const auto option = arguments.values.find("--proxy"); option != arguments.values.end()) {
        text = option->second;
    } else if (saved) {
        text = *saved;
    } else if (const char* variable = std::getenv("DUOQUILL_PROXY")) {
        text = variable;
    }
    if (text.empty()) return std::nullopt;
    auto proxy = duoquill::parseProxyUrl(text);
    if (!proxy) fail("Error: the proxy must be given as socks5h://HOST:PORT\n");
    return proxy;
}

// The steady mode: --steady or --no-steady, else on when the contact has it, else
// DUOQUILL_STEADY ("1" on; "0" or empty off).
bool steadyOf(const Arguments& arguments, bool saved) {
    if (const auto option = steadyOption(arguments)) return *option;
    if (saved) return true;
    const char* variable = std::getenv("DUOQUILL_STEADY");
    const std::string_view text = variable ? variable : "";
    if (text.empty() || text == "0") return false;
    if (text != "1") fail("Error: DUOQUILL_STEADY must be 1 or 0\n");
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + (argc > 0 ? argc : 0));
    namespace keys = duoquill::cli::CLIKeyCommands;

    if (args.size() < 2) printUsage();
    const std::string& command = args[1];
    const std::optional<Grammar> grammar = grammarOf(command);
    if (!grammar) {
        duoquill::writeStandardError("Unknown command: " + command + "\n");
        printUsage();
    }
    const Arguments arguments = parse(args, *grammar);
    duoquill::Pkcs11KeyStore::setPinSource(&duoquill::cli::TerminalPin::ask);
    if (command == "--help" || command == "-h") {
        duoquill::writeStandardOutput(fullHelp());
        return 0;
    }
    if (command == "--version") {
        duoquill::writeStandardOutput("duoquill-cli " DUOQUILL_VERSION "\n");
        return 0;
    }
    // The key commands hold the identity scalar too.
    if (command == "keygen" || command == "pubkey") duoquill::ProcessHardening::protectSecrets();
    if (command == "keygen") {
        keys::keygen(arguments.has("--force"));
        return 0;
    }
    if (command == "pubkey") {
        keys::pubkey();
        return 0;
    }
    if (runContactCommand(command, arguments)) return 0;

    // `chat`; --json gives the same chat to a program. A saved contact's name stands for its
    // key and relay.
    const bool json = arguments.has("--json");
    std::vector<std::string> operands{args[0], command};
    operands.insert(operands.end(), arguments.operands.begin(), arguments.operands.end());
    const auto saved = duoquill::cli::CLIContactCommands::resolveChat(operands);
    const std::vector<std::string> chatArgs = saved ? saved->arguments : operands;
    if (chatArgs.size() < 4) {
        duoquill::writeStandardError("Error: chat requires <peer-pubkey-b64url> <wss://relay-url>\n");
        printUsage();
    }
    const std::string& peerKey = chatArgs[2];
    const std::string& relayURL = chatArgs[3];
    if (!relayURL.starts_with("wss://")) fail("Error: relay URL must use wss://\n");
    const std::optional<duoquill::Socks5Proxy> proxy = proxyOf(arguments, saved ? saved->proxy : std::nullopt);
    const bool steady = steadyOf(arguments, saved && saved->steady);
    // An onion name looked up outside Tor would tell the local resolver where the chat goes.
    if (!proxy && duoquill::isOnionRelay(relayURL)) fail("Error: a .onion relay needs --proxy\n");
    if (!duoquill::KeyHelpers::isValidPublicKey(peerKey)) fail("Error: invalid peer public key\n");
    duoquill::ProcessHardening::protectSecrets();
    // Both ends would be this one identity: the room would wait for a peer forever.
    if (keys::isOwnKey(peerKey)) fail("Error: that is your own key\n");
    duoquill::cli::runChat(peerKey, relayURL,
                           {.interface = json ? duoquill::cli::ChatInterface::json : duoquill::cli::ChatInterface::person,
                            .proxy = proxy,
                            .steady = steady});
}
