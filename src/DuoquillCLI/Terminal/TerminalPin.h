#pragma once
// A token's PIN typed on the process's terminal without echo: the client's PIN source for
// PKCS#11 tokens. Never stored, never read from the environment.

#include <string>

#include "Duoquill/Base/SecureBytes.h"

namespace duoquill::cli::TerminalPin {

// Shows "PIN for token <label>: " on the terminal (/dev/tty) and reads one line with echo
// off. Throws Pkcs11KeyStore::NoPinSource when there is no terminal to ask on (a service, a
// script, `chat --json` under a program), CryptoError when it fails.
SecureBytes ask(const std::string& tokenLabel);

}  // namespace duoquill::cli::TerminalPin
