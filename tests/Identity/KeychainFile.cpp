#include "KeychainFile.h"

#include <fstream>
#include <memory>
#include <sqlite3.h>
#include <stdexcept>

namespace duoquill::test {
namespace {

using Database = std::unique_ptr<sqlite3, decltype(&sqlite3_close)>;

Database openDatabase(const std::filesystem::path& file) {
    sqlite3* db = nullptr;
    const int rc = sqlite3_open_v2(file.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    Database owned(db, &sqlite3_close);
    if (rc != SQLITE_OK) throw std::runtime_error("cannot open " + file.string());
    sqlite3_busy_timeout(db, 5000);
    return owned;
}

template <class Row>
void forEachRow(const std::filesystem::path& file, const std::string& sql, Row row) {
    const Database db = openDatabase(file);
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db.get(), sql.c_str(), -1, &raw, nullptr) != SQLITE_OK) {
        throw std::runtime_error(sql + ": " + sqlite3_errmsg(db.get()));
    }
    const std::unique_ptr<sqlite3_stmt, decltype(&sqlite3_finalize)> stmt(raw, &sqlite3_finalize);
    int rc;
    while ((rc = sqlite3_step(raw)) == SQLITE_ROW) row(raw);
    if (rc != SQLITE_DONE) throw std::runtime_error(sql + ": " + sqlite3_errmsg(db.get()));
}

}  // namespace

void executeSql(const std::filesystem::path& file, const std::string& sql) {
    const Database db = openDatabase(file);
    char* message = nullptr;
    if (sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &message) != SQLITE_OK) {
        const std::string text = message != nullptr ? message : "unknown error";
        sqlite3_free(message);
        throw std::runtime_error(sql + ": " + text);
    }
}

long long queryInteger(const std::filesystem::path& file, const std::string& sql) {
    std::vector<long long> values;
    forEachRow(file, sql, [&](sqlite3_stmt* s) { values.push_back(sqlite3_column_int64(s, 0)); });
    if (values.size() != 1) throw std::runtime_error(sql + ": not one row");
    return values.front();
}

std::vector<std::string> queryTexts(const std::filesystem::path& file, const std::string& sql) {
    std::vector<std::string> values;
    forEachRow(file, sql, [&](sqlite3_stmt* s) {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        values.emplace_back(text != nullptr ? text : "");
    });
    return values;
}

mode_t permissions(const std::filesystem::path& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) throw std::runtime_error("cannot stat " + path.string());
    return st.st_mode & 07777;
}

void writeFile(const std::filesystem::path& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << bytes;
    if (!out) throw std::runtime_error("cannot write " + path.string());
}

}  // namespace duoquill::test
