#pragma once

#include <string>

namespace duoquill::cli {

// Runs the interactive chat with the peer through the relay; returns only by ending the
// process (status 0 after quitting, 1 after a fatal error).
[[noreturn]] void runChat(const std::string& peerPubKeyBase64URL, const std::string& relayBaseURL);

}  // namespace duoquill::cli
