#include "Duoquill/Identity/ContactBook.h"

#include <sqlite3.h>
#include <string_view>

namespace duoquill {
namespace {

constexpr const char* kCreateTable =
    "CREATE TABLE IF NOT EXISTS contacts ("
    " identity TEXT NOT NULL,"
    " name TEXT NOT NULL,"
    " peer_key TEXT NOT NULL,"
    " relay TEXT,"
    " verified INTEGER NOT NULL DEFAULT 0,"
    " previous_key TEXT,"
    " proxy TEXT,"
    " steady INTEGER NOT NULL DEFAULT 0,"
    " PRIMARY KEY (identity, name))";

// Tables made before contacts had a proxy, or a steady mode, lack its column.
struct AddedColumn {
    const char* probe;
    const char* add;
};
constexpr AddedColumn kAddedColumns[] = {
    {"SELECT proxy FROM contacts LIMIT 0", "ALTER TABLE contacts ADD COLUMN proxy TEXT"},
    {"SELECT steady FROM contacts LIMIT 0", "ALTER TABLE contacts ADD COLUMN steady INTEGER NOT NULL DEFAULT 0"},
};

class Query {
public:
    Query(sqlite3* db, const char* sql) { rc_ = sqlite3_prepare_v2(db, sql, -1, &stmt_, nullptr); }
    ~Query() { sqlite3_finalize(stmt_); }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    // Bound without a copy: the text must outlive every step().
    Query& bind(std::string_view text) {
        if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_text(stmt_, ++index_, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
        return *this;
    }
    Query& bind(const std::optional<std::string>& text) {
        if (text) return bind(std::string_view(*text));
        if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_null(stmt_, ++index_);
        return *this;
    }
    Query& bind(bool flag) {
        if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_int(stmt_, ++index_, flag ? 1 : 0);
        return *this;
    }
    int step() {
        if (rc_ != SQLITE_OK && rc_ != SQLITE_ROW) return rc_;
        return rc_ = sqlite3_step(stmt_);
    }
    std::optional<std::string> text(int column) const {
        if (sqlite3_column_type(stmt_, column) != SQLITE_TEXT) return std::nullopt;
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
    }
    // A row whose key is not text is skipped rather than shown as a key.
    std::optional<Contact> contact() const {
        auto name = text(0);
        auto key = text(1);
        if (!name || !key) return std::nullopt;
        return Contact{*name, *key, text(2), sqlite3_column_int(stmt_, 3) != 0, text(4), text(5), sqlite3_column_int(stmt_, 6) != 0};
    }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
    int index_ = 0;
};

constexpr const char* kColumns = "SELECT name, peer_key, relay, verified, previous_key, proxy, steady FROM contacts";

}  // namespace

template <class Work>
KeychainStatus ContactBook::transaction(Work&& work) {
    if (auto s = keychain_.open(); s != KeychainStatus::success) return s;
    sqlite3* db = keychain_.db_;
    if (int rc = sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr); rc != SQLITE_OK) return Keychain::statusFromSqlite(rc);
    KeychainStatus status = Keychain::statusFromSqlite(sqlite3_exec(db, kCreateTable, nullptr, nullptr, nullptr));
    for (const auto& column : kAddedColumns) {
        if (status == KeychainStatus::success && sqlite3_exec(db, column.probe, nullptr, nullptr, nullptr) != SQLITE_OK) {
            status = Keychain::statusFromSqlite(sqlite3_exec(db, column.add, nullptr, nullptr, nullptr));
        }
    }
    if (status == KeychainStatus::success) status = work(db);
    if (status == KeychainStatus::success) status = Keychain::statusFromSqlite(sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr));
    if (status != KeychainStatus::success) sqlite3_exec(db, "ROLLBACK", nullptr, nullptr, nullptr);
    return status;
}

KeychainResult<Contact> ContactBook::find(const std::string& name) {
    KeychainResult<Contact> result;
    result.status = transaction([&](sqlite3* db) {
        const std::string sql = std::string(kColumns) + " WHERE identity = ? AND name = ?";
        Query q(db, sql.c_str());
        q.bind(std::string_view(identity_)).bind(std::string_view(name));
        const int rc = q.step();
        if (rc == SQLITE_DONE) return KeychainStatus::itemNotFound;
        if (rc != SQLITE_ROW) return Keychain::statusFromSqlite(rc);
        auto contact = q.contact();
        if (!contact) return KeychainStatus::invalidKeychain;
        result.value = std::move(*contact);
        return KeychainStatus::success;
    });
    return result;
}

KeychainResult<std::vector<Contact>> ContactBook::all() {
    KeychainResult<std::vector<Contact>> result;
    result.status = transaction([&](sqlite3* db) {
        const std::string sql = std::string(kColumns) + " WHERE identity = ? ORDER BY name";
        Query q(db, sql.c_str());
        q.bind(std::string_view(identity_));
        int rc;
        while ((rc = q.step()) == SQLITE_ROW) {
            if (auto contact = q.contact()) result.value.push_back(std::move(*contact));
        }
        return rc == SQLITE_DONE ? KeychainStatus::success : Keychain::statusFromSqlite(rc);
    });
    if (!result.ok()) result.value.clear();
    return result;
}

KeychainStatus ContactBook::save(const Contact& contact) {
    return transaction([&](sqlite3* db) {
        Query q(db,
                "INSERT OR REPLACE INTO contacts (identity, name, peer_key, relay, verified, previous_key, proxy, steady)"
                " VALUES (?, ?, ?, ?, ?, ?, ?, ?)");
        q.bind(std::string_view(identity_)).bind(std::string_view(contact.name)).bind(std::string_view(contact.peerKey)).bind(contact.relay).bind(contact.verified).bind(contact.previousKey).bind(contact.proxy).bind(contact.steady);
        return Keychain::statusFromSqlite(q.step());
    });
}

KeychainStatus ContactBook::remove(const std::string& name) {
    return transaction([&](sqlite3* db) {
        Query q(db, "DELETE FROM contacts WHERE identity = ? AND name = ?");
        q.bind(std::string_view(identity_)).bind(std::string_view(name));
        if (int rc = q.step(); rc != SQLITE_DONE) return Keychain::statusFromSqlite(rc);
        return sqlite3_changes(db) == 0 ? KeychainStatus::itemNotFound : KeychainStatus::success;
    });
}

KeychainResult<int> ContactBook::unverifyAll() {
    KeychainResult<int> result;
    result.status = transaction([&](sqlite3* db) {
        Query q(db, "UPDATE contacts SET verified = 0 WHERE identity = ? AND verified != 0");
        q.bind(std::string_view(identity_));
        if (int rc = q.step(); rc != SQLITE_DONE) return Keychain::statusFromSqlite(rc);
        result.value = sqlite3_changes(db);
        return KeychainStatus::success;
    });
    if (!result.ok()) result.value = 0;
    return result;
}

}  // namespace duoquill
