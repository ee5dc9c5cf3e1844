#pragma once
// A fresh directory under the system's temporary directory, removed with its contents at
// the end: where the session benchmarks keep their epoch files.

#include <filesystem>

#include "Duoquill/Crypto/CryptoCore.h"
#include "Duoquill/Platform/Primitives/Random.h"

namespace duoquill {

struct ScratchDirectory {
    ScratchDirectory()
        : path(std::filesystem::temp_directory_path() / ("duoquill-bench-" + hexString(random::bytes(8)))) {}
    ~ScratchDirectory() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    ScratchDirectory(const ScratchDirectory&) = delete;
    ScratchDirectory& operator=(const ScratchDirectory&) = delete;

    std::filesystem::path path;
};

}  // namespace duoquill
