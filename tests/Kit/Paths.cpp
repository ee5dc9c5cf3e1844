#include "Kit/Paths.h"

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <vector>

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
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) throw std::runtime_error("mkdtemp failed");
    path_ = buffer.data();
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) throw std::runtime_error("cannot read " + path.string());
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace duoquill::test
