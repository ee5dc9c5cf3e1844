#pragma once
// A token's PIN typed on the process's terminal without echo. Never stored, never read from
// the environment.

#include <string>

#include "Duoquill/Platform/PlatformError.h"
#include "Duoquill/Platform/SecureBytes.h"

namespace duoquill::TerminalPin {

// The process has no terminal (a service, a script, `chat --json` under a program).
class NoTerminal : public CryptoError {
public:
    NoTerminal() : CryptoError("the token needs a PIN and there is no terminal to ask for it on") {}
};

// Shows "PIN for token <label>: " on the terminal (/dev/tty) and reads one line with echo
// off. Throws NoTerminal when there is no terminal to ask on, CryptoError when it fails.
SecureBytes ask(const std::string& tokenLabel);

}  // namespace duoquill::TerminalPin
