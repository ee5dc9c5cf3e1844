#include "DuoquillCLI/CLIKeyCommands.h"

#include <cstdlib>

#include "Duoquill/Platform/StandardStreams.h"

namespace duoquill::cli::CLIKeyCommands {

void keygen() {
    writeStandardError("Error generating key: the identity key store is not built yet\n");
    std::exit(1);
}

void pubkey() {
    writeStandardError("Error retrieving key: the identity key store is not built yet\n");
    std::exit(1);
}

}  // namespace duoquill::cli::CLIKeyCommands
