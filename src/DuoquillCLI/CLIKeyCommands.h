#pragma once
// The user's long-term identity: one P-256 key-agreement key per label, kept in the
// keychain with a cached copy of its public key.

namespace duoquill::cli::CLIKeyCommands {

// `keygen` and `pubkey`: print the key on standard output; on failure print the error on
// standard error and end the process with status 1.
void keygen();
void pubkey();

}  // namespace duoquill::cli::CLIKeyCommands
