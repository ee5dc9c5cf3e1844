// duoquill-cli: argument dispatch, usage text and command-line errors.

#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "Duoquill/Platform/System/ProcessHardening.h"
#include "Duoquill/Platform/System/StandardStreams.h"
#include "Duoquill/Utilities/KeyHelpers.h"
#include "DuoquillCLI/CLIChatClient.h"
#include "DuoquillCLI/CLIContactCommands.h"
#include "DuoquillCLI/CLIKeyCommands.h"

namespace {

// 258 bytes, no final line feed; the ellipsis is U+2026.
constexpr std::string_view kUsage =
    "Usage:\n"
    "  duoquill-cli keygen                              Generate P-256 SE key, print pubkey\n"
    "  duoquill-cli pubkey                              Print existing pubkey (base64url)\n"
    "  duoquill-cli chat <peer-pubkey-b64url> <wss://\xE2\x80\xA6> Interactive encrypted chat";

// What --help adds below the usage: the commands for contacts and for programs, which the
// refusal's usage leaves out.
constexpr std::string_view kContactHelp =
    "  duoquill-cli chat <name> [<wss://\xE2\x80\xA6>]             Chat with a saved contact\n"
    "  duoquill-cli chat --json <name|peer-key> [<wss://\xE2\x80\xA6>]\n"
    "                                                   The chat as JSON-RPC lines, for programs\n"
    "  duoquill-cli add <name> <peer-key> [<wss://\xE2\x80\xA6>]   Save a contact (--replace: a new key for it)\n"
    "  duoquill-cli contacts                            List contacts, and who is verified\n"
    "  duoquill-cli remove <name>                       Forget a contact\n"
    "  duoquill-cli verify <name|peer-key>              Print the safety code to compare aloud\n";

[[noreturn]] void printUsage() {
    duoquill::writeStandardError(kUsage);
    std::exit(1);
}

[[noreturn]] void fail(std::string_view line) {
    duoquill::writeStandardError(line);
    std::exit(1);
}

// The contact commands; false when the word names none of them.
bool runContactCommand(const std::vector<std::string>& args) {
    namespace contacts = duoquill::cli::CLIContactCommands;
    const std::string& command = args[1];
    const std::vector<std::string> operands(args.begin() + 2, args.end());
    if (command == "add") {
        contacts::add(operands);
    } else if (command == "contacts") {
        contacts::list();
    } else if (command == "remove") {
        contacts::remove(operands);
    } else if (command == "verify") {
        duoquill::ProcessHardening::protectSecrets();  // may re-create the identity key
        contacts::verify(operands);
    } else {
        return false;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    const std::vector<std::string> args(argv, argv + (argc > 0 ? argc : 0));
    namespace keys = duoquill::cli::CLIKeyCommands;

    if (args.size() < 2) printUsage();
    const std::string& command = args[1];
    if (command == "--help" || command == "-h") {
        duoquill::writeStandardOutput(std::string(kUsage) + "\n" + std::string(kContactHelp));
        return 0;
    }
    if (command == "--version") {
        duoquill::writeStandardOutput("duoquill-cli " DUOQUILL_VERSION "\n");
        return 0;
    }
    // The key commands hold the identity scalar too.
    if (command == "keygen" || command == "pubkey") duoquill::ProcessHardening::protectSecrets();
    if (command == "keygen") {
        keys::keygen();
        return 0;
    }
    if (command == "pubkey") {
        keys::pubkey();
        return 0;
    }
    if (runContactCommand(args)) return 0;
    if (command != "chat") {
        duoquill::writeStandardError("Unknown command: " + command + "\n");
        printUsage();
    }
    // `chat --json ...`: the same chat for a program; the operands follow as usual.
    std::vector<std::string> operands = args;
    const bool json = operands.size() > 2 && operands[2] == "--json";
    if (json) operands.erase(operands.begin() + 2);
    // A saved contact's name stands for its key and relay.
    const std::vector<std::string> chatArgs = duoquill::cli::CLIContactCommands::resolveChat(operands).value_or(operands);
    if (chatArgs.size() < 4) {
        duoquill::writeStandardError("Error: chat requires <peer-pubkey-b64url> <wss://relay-url>\n");
        printUsage();
    }
    const std::string& peerKey = chatArgs[2];
    const std::string& relayURL = chatArgs[3];
    if (!relayURL.starts_with("wss://")) fail("Error: relay URL must use wss://\n");
    if (!duoquill::KeyHelpers::isValidPublicKey(peerKey)) fail("Error: invalid peer public key\n");
    duoquill::ProcessHardening::protectSecrets();
    duoquill::cli::runChat(peerKey, relayURL,
                           json ? duoquill::cli::ChatInterface::json : duoquill::cli::ChatInterface::person);
}
