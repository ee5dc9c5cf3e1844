#pragma once
// Saved peers of the current identity (DUOQUILL_KEY_LABEL) and the safety code: the commands
// `add`, `contacts`, `remove` and `verify`, and the step that turns `chat <name>` into the key
// and relay saved for that name. Each command prints its errors on standard error and ends the
// process with status 1 on failure.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace duoquill::cli::CLIContactCommands {

inline constexpr std::size_t maxNameLength = 32;

// 1-32 characters of a-z, 0-9, '.', '_' and '-' that are not also a peer key.
bool isValidName(std::string_view name);

// `add <name> <peer-key> [<wss://relay-url>]`, `replace` for --replace, `proxy` for --proxy
// (a socks5h:// URL to save; empty forgets the saved one; nothing keeps it), `steady` for
// --steady or --no-steady (nothing keeps the saved mode). Refuses the user's own key.
void add(const std::vector<std::string>& operands, bool replace, const std::optional<std::string>& proxy = std::nullopt,
         std::optional<bool> steady = std::nullopt);
// `contacts`: one line per contact on standard output.
void list();
// `remove <name>`.
void remove(const std::vector<std::string>& operands);
// `verify <name|peer-key>`: prints the safety code on standard output, asks on standard error
// whether it matched and reads the answer from standard input; only "yes" marks the key
// verified. Ends with status 1 unless it was confirmed. Refuses the user's own key.
void verify(const std::vector<std::string>& operands);

// For `chat <name> [<wss://relay-url>]` naming a saved contact: the arguments with the name
// replaced by its key and the relay filled in from the contact when not given, and the
// contact's proxy and steady mode. Shows, once, that the contact's key was replaced since the
// last chat. Nothing when the operand is not a saved name, so every other form goes on exactly as before.
struct SavedChat {
    std::vector<std::string> arguments;
    std::optional<std::string> proxy;
    bool steady = false;
};
std::optional<SavedChat> resolveChat(const std::vector<std::string>& args);

}  // namespace duoquill::cli::CLIContactCommands
