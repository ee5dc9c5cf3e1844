#include "DuoquillCLI/CLIChatClient.h"

#include <cstdlib>

#include "Duoquill/Platform/StandardStreams.h"

namespace duoquill::cli {

void runChat(const std::string&, const std::string&) {
    writeStandardError("[error] the chat client is not built yet\n");
    std::exit(1);
}

}  // namespace duoquill::cli
