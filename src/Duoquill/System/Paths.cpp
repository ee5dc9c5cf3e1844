#include "Duoquill/System/Paths.h"

#include <cstdlib>
#include <pwd.h>
#include <stdexcept>
#include <unistd.h>

namespace duoquill::paths {

std::filesystem::path applicationSupportDirectory() {
    if (const char* xdg = std::getenv("XDG_DATA_HOME"); xdg != nullptr && xdg[0] == '/') {
        return xdg;
    }
    const char* home = std::getenv("HOME");
    if (home == nullptr || home[0] == '\0') {
        const passwd* pw = ::getpwuid(::getuid());
        home = pw != nullptr ? pw->pw_dir : nullptr;
    }
    if (home == nullptr || home[0] == '\0') {
        throw std::runtime_error("cannot find the home directory (HOME is not set)");
    }
    return std::filesystem::path(home) / ".local" / "share";
}

}  // namespace duoquill::paths
