#pragma once
// The `chat` command: the one place that puts the chat and the readers of the user's lines
// together.

#include <cstdint>
#include <optional>
#include <string>

#include "Duoquill/Transport/Socks5Proxy.h"

namespace duoquill::cli {

// Who the chat is for: a person at a terminal, or a program speaking JSON-RPC (`chat --json`).
enum class ChatInterface : std::uint8_t { person, json };

// How the chat runs, as the command line, the contact and the environment chose.
struct ChatOptions {
    ChatInterface interface = ChatInterface::person;
    // With a proxy, every relay connection goes through it (SOCKS5).
    std::optional<Socks5Proxy> proxy;
    bool steady = false;
};

// Runs the chat on the main thread until it ends the process (status 0 after quitting, 1 after
// a fatal error).
[[noreturn]] void runChat(const std::string& peerPubKeyBase64URL, const std::string& relayBaseURL, ChatOptions options);

}  // namespace duoquill::cli
