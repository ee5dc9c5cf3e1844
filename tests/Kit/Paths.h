#pragma once
// Where tests find the repository, the test vectors and the built programs.

#include <filesystem>
#include <string>

namespace duoquill::test {

std::filesystem::path sourceDir();
// $DUOQUILL_TESTVECTORS when set, else the repository's own tests/vectors.
std::filesystem::path testVectorsDir();
std::filesystem::path cliPath();
std::filesystem::path relayPath();

// A fresh directory removed (with its contents) when the object goes away.
class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    std::string str() const { return path_.string(); }

private:
    std::filesystem::path path_;
};

std::string readFile(const std::filesystem::path& path);

}  // namespace duoquill::test
