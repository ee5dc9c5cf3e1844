#pragma once
// Per-user directories.

#include <filesystem>

namespace duoquill::paths {

// $XDG_DATA_HOME when set to an absolute path, else $HOME/.local/share. Throws
// std::runtime_error when neither can be found.
std::filesystem::path applicationSupportDirectory();

}  // namespace duoquill::paths
