#pragma once
// Direct access to a keychain file, for tests that inspect or tamper with it the way another
// program (or a damaged disk) could.

#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <vector>

namespace duoquill::test {

// Runs SQL on the file; throws std::runtime_error with SQLite's message on failure.
void executeSql(const std::filesystem::path& file, const std::string& sql);
// The single integer the query yields.
long long queryInteger(const std::filesystem::path& file, const std::string& sql);
// The text column of each row the query yields.
std::vector<std::string> queryTexts(const std::filesystem::path& file, const std::string& sql);

// Permission bits of the path (mode & 07777).
mode_t permissions(const std::filesystem::path& path);

void writeFile(const std::filesystem::path& path, const std::string& bytes);

}  // namespace duoquill::test
