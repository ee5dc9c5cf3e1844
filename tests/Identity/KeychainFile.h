#pragma once
// Direct access to a keychain file, for tests that inspect or tamper with it the way another
// program (or a damaged disk) could.

#include <sqlite3.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace duoquill::test {

// Runs SQL on the file and returns the first column of every row, as text (NULL as "").
inline std::vector<std::string> sql(const std::filesystem::path& file, const std::string& statements) {
    sqlite3* raw = nullptr;
    const int opened = sqlite3_open_v2(file.c_str(), &raw, SQLITE_OPEN_READWRITE, nullptr);
    const std::unique_ptr<sqlite3, decltype(&sqlite3_close)> db(raw, &sqlite3_close);
    if (opened != SQLITE_OK) throw std::runtime_error("cannot open " + file.string());
    sqlite3_busy_timeout(raw, 5000);
    std::vector<std::string> rows;
    const auto collect = [](void* out, int, char** values, char**) {
        static_cast<std::vector<std::string>*>(out)->emplace_back(values[0] != nullptr ? values[0] : "");
        return 0;
    };
    char* message = nullptr;
    if (sqlite3_exec(raw, statements.c_str(), collect, &rows, &message) != SQLITE_OK) {
        const std::string text = message != nullptr ? message : "unknown error";
        sqlite3_free(message);
        throw std::runtime_error(statements + ": " + text);
    }
    return rows;
}

inline long long count(const std::filesystem::path& file, const std::string& where) {
    return std::stoll(sql(file, "SELECT count(*) FROM items WHERE " + where).at(0));
}

// Permission bits of the path.
inline unsigned mode(const std::filesystem::path& path) {
    return static_cast<unsigned>(std::filesystem::status(path).permissions());
}

inline void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary | std::ios::trunc) << bytes;
}

}  // namespace duoquill::test
