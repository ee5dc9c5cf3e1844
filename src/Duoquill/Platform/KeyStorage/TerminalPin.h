#pragma once
// A token's PIN typed on the process's terminal without echo. Never stored, never read from
// the environment.

#include <string>

#include "Duoquill/Platform/SecureBytes.h"

namespace duoquill::TerminalPin {

// Shows "PIN for token <label>: " on the terminal (/dev/tty) and reads one line with echo
// off. Throws CryptoError when there is no terminal to ask on.
SecureBytes ask(const std::string& tokenLabel);

}  // namespace duoquill::TerminalPin
