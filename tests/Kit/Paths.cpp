#include "Kit/Paths.h"

#include <cstdlib>
#include <fstream>
#include <stdexcept>
#include <iterator>

namespace duoquill::test {

std::filesystem::path sourceDir() { return DUOQUILL_SOURCE_DIR; }

std::filesystem::path testVectorsDir() {
    if (const char* env = std::getenv("DUOQUILL_TESTVECTORS"); env != nullptr && *env != '\0') return env;
    return sourceDir() / "tests" / "vectors";
}

std::filesystem::path cliPath() { return DUOQUILL_CLI_PATH; }
std::filesystem::path relayPath() { return DUOQUILL_RELAY_PATH; }

TempDir::TempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "duoquill-test-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = pattern;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    return {std::istreambuf_iterator<char>(in), {}};
}

}  // namespace duoquill::test
