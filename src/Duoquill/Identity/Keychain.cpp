#include "Duoquill/Identity/Keychain.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <limits>
#include <mutex>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include "Duoquill/Base/SecureBytes.h"
#include "Duoquill/System/Paths.h"

namespace duoquill {
namespace {

// "DQKC": marks the file as ours, so that another program's database is never taken for an
// empty keychain and written into.
constexpr int kApplicationId = 0x44514B43;

constexpr const char* kCreateSchema =
    "CREATE TABLE items ("
    " id INTEGER PRIMARY KEY AUTOINCREMENT,"
    " service TEXT NOT NULL,"
    " account TEXT NOT NULL,"
    " label TEXT,"
    " accessible TEXT NOT NULL,"
    " data BLOB NOT NULL,"
    " UNIQUE (service, account))";

constexpr mode_t kDirectoryMode = 0700;
constexpr mode_t kFileMode = 0600;
constexpr mode_t kGroupAndOther = 077;

const char* accessibilityName(KeychainAccessibility a) {
    switch (a) {
    case KeychainAccessibility::whenUnlockedThisDeviceOnly:
        return "WhenUnlockedThisDeviceOnly";
    case KeychainAccessibility::afterFirstUnlockThisDeviceOnly:
        return "AfterFirstUnlockThisDeviceOnly";
    }
    return "";
}

std::optional<KeychainAccessibility> accessibilityFromName(const std::string& name) {
    for (auto a : {KeychainAccessibility::whenUnlockedThisDeviceOnly, KeychainAccessibility::afterFirstUnlockThisDeviceOnly}) {
        if (name == accessibilityName(a)) return a;
    }
    return std::nullopt;
}

// Only what the user owns is used, with group and other access taken away. A file or folder
// of another user (planted in a shared directory) is refused before anything is written.
KeychainStatus claim(int fd, bool directory) {
    struct stat st {};
    if (::fstat(fd, &st) != 0) return KeychainStatus::notAvailable;
    if (directory ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode)) return KeychainStatus::linkedLocation;
    if (st.st_uid != ::geteuid()) return KeychainStatus::foreignOwner;
    if ((st.st_mode & kGroupAndOther) != 0 && ::fchmod(fd, (st.st_mode & 07777) & ~kGroupAndOther) != 0) {
        return KeychainStatus::notAvailable;
    }
    return KeychainStatus::success;
}

KeychainStatus claimPath(const std::filesystem::path& path, int flags, bool directory) {
    const int fd = ::open(path.c_str(), flags | O_NOFOLLOW | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        if (errno == ELOOP || errno == ENOTDIR || errno == ENXIO) return KeychainStatus::linkedLocation;
        return errno == EROFS ? KeychainStatus::readOnly : KeychainStatus::notAvailable;
    }
    const KeychainStatus status = claim(fd, directory);
    ::close(fd);
    return status;
}

// Creates the missing directories down to `dir`, each with mode 0700; the last one, which
// holds the file, must be the user's own.
KeychainStatus prepareDirectory(const std::filesystem::path& dir) {
    std::filesystem::path partial;
    for (const auto& part : dir) {
        partial /= part;
        if (::mkdir(partial.c_str(), kDirectoryMode) != 0 && errno != EEXIST) return KeychainStatus::notAvailable;
    }
    return claimPath(dir, O_RDONLY | O_DIRECTORY, true);
}

// Creates the file with mode 0600 before SQLite sees it, so it never exists with looser access.
KeychainStatus prepareFile(const std::filesystem::path& file) {
    const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, kFileMode);
    if (fd >= 0) {
        ::fchmod(fd, kFileMode);  // the umask may have taken bits away
        ::close(fd);
        return KeychainStatus::success;
    }
    if (errno != EEXIST) return errno == EROFS ? KeychainStatus::readOnly : KeychainStatus::notAvailable;
    return claimPath(file, O_RDONLY, false);
}

// SQLite's memory, wiped when freed: its page cache holds the identity key's blob as read
// from the file, and a closed connection would otherwise leave it in freed heap.
namespace wipingAllocator {
constexpr std::size_t header = 16;  // keeps the payload as aligned as malloc's
void* allocate(int n) {
    if (n <= 0) return nullptr;
    auto* block = static_cast<std::uint8_t*>(std::malloc(header + static_cast<std::size_t>(n)));
    if (block == nullptr) return nullptr;
    const auto size = static_cast<std::size_t>(n);
    std::memcpy(block, &size, sizeof size);
    return block + header;
}
int size(void* p) {
    if (p == nullptr) return 0;
    std::size_t n;
    std::memcpy(&n, static_cast<std::uint8_t*>(p) - header, sizeof n);
    return static_cast<int>(n);
}
void release(void* p) {
    if (p == nullptr) return;
    secureWipe(p, static_cast<std::size_t>(size(p)));
    std::free(static_cast<std::uint8_t*>(p) - header);
}
void* resize(void* p, int n) {
    void* moved = allocate(n);
    if (moved != nullptr && p != nullptr) std::memcpy(moved, p, static_cast<std::size_t>(std::min(size(p), n)));
    if (moved != nullptr) release(p);
    return moved;
}
int roundUp(int n) { return (n + 7) & ~7; }
int init(void*) { return SQLITE_OK; }
void shutdown(void*) {}

// Best effort: SQLite takes its allocator only before it is first used.
void install() {
    static std::once_flag once;
    std::call_once(once, [] {
        static const sqlite3_mem_methods methods{allocate, release, resize, size, roundUp, init, shutdown, nullptr};
        sqlite3_config(SQLITE_CONFIG_MALLOC, &methods);
    });
}
}  // namespace wipingAllocator

// Appends " AND <column> = ?" for each attribute the query sets; bind in the same order.
std::string whereClause(const KeychainQuery& query) {
    std::string sql = " WHERE 1";
    if (query.service) sql += " AND service = ?";
    if (query.account) sql += " AND account = ?";
    if (query.label) sql += " AND label = ?";
    return sql;
}

}  // namespace

KeychainStatus Keychain::statusFromSqlite(int rc) {
    switch (rc & 0xff) {
    case SQLITE_OK:
    case SQLITE_ROW:
    case SQLITE_DONE:
        return KeychainStatus::success;
    case SQLITE_BUSY:
    case SQLITE_LOCKED:
        return KeychainStatus::busy;
    case SQLITE_READONLY:
        return KeychainStatus::readOnly;
    case SQLITE_CANTOPEN:
        return KeychainStatus::notAvailable;
    case SQLITE_CORRUPT:
    case SQLITE_NOTADB:
    case SQLITE_FORMAT:
    case SQLITE_SCHEMA:
    case SQLITE_ERROR:  // a missing table or column: not our schema
        return KeychainStatus::invalidKeychain;
    case SQLITE_FULL:
        return KeychainStatus::diskFull;
    case SQLITE_IOERR:
        return KeychainStatus::ioError;
    case SQLITE_NOMEM:
        return KeychainStatus::outOfMemory;
    case SQLITE_TOOBIG:
        return KeychainStatus::parameterError;
    case SQLITE_PERM:
    case SQLITE_AUTH:
        return KeychainStatus::writeRefused;
    case SQLITE_CONSTRAINT:
        return rc == SQLITE_CONSTRAINT_UNIQUE || rc == SQLITE_CONSTRAINT_PRIMARYKEY ? KeychainStatus::duplicateItem
                                                                                     : KeychainStatus::writeRefused;
    default:
        return KeychainStatus::internalError;
    }
}

std::string describe(KeychainStatus status) {
    switch (status) {
    case KeychainStatus::success:
        return "no error";
    case KeychainStatus::itemNotFound:
        return "the item was not found in the keychain";
    case KeychainStatus::duplicateItem:
        return "the item already exists in the keychain";
    case KeychainStatus::invalidKeychain:
        return "the keychain file is damaged or is not a keychain";
    case KeychainStatus::readOnly:
        return "the keychain file is read-only";
    case KeychainStatus::notAvailable:
        return "the keychain file cannot be opened or created";
    case KeychainStatus::busy:
        return "the keychain is in use by another process";
    case KeychainStatus::writeRefused:
        return "the keychain refused the change";
    case KeychainStatus::parameterError:
        return "the keychain request is invalid";
    case KeychainStatus::ioError:
        return "an input/output error occurred on the keychain file";
    case KeychainStatus::diskFull:
        return "the disk holding the keychain is full";
    case KeychainStatus::outOfMemory:
        return "out of memory";
    case KeychainStatus::internalError:
        return "internal keychain error";
    case KeychainStatus::foreignOwner:
        return "the keychain file or its folder belongs to another user";
    case KeychainStatus::linkedLocation:
        return "the keychain file or its folder is a symbolic link or not a plain file";
    }
    return "unknown keychain error";
}

KeychainError::KeychainError(const std::string& context, KeychainStatus status)
    : std::runtime_error(context + ": " + describe(status) + " (status " +
                         std::to_string(static_cast<std::int32_t>(status)) + ")"),
      status_(status) {}

// One prepared SQL statement.
class Keychain::Statement {
public:
    Statement(sqlite3* db, const std::string& sql) {
        rc_ = sqlite3_prepare_v2(db, sql.c_str(), static_cast<int>(sql.size() + 1), &stmt_, nullptr);
    }
    ~Statement() { sqlite3_finalize(stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    // Values are bound without a copy: they must outlive every step().
    void bindText(std::string_view text) {
        if (rc_ == SQLITE_OK) rc_ = sqlite3_bind_text(stmt_, ++index_, text.data(), static_cast<int>(text.size()), SQLITE_STATIC);
    }
    void bindText(const std::optional<std::string>& text) {
        if (text) {
            bindText(std::string_view(*text));
        } else if (rc_ == SQLITE_OK) {
            rc_ = sqlite3_bind_null(stmt_, ++index_);
        }
    }
    // Not copying also keeps a secret out of buffers that are never wiped.
    void bindBlob(BytesView data) {
        if (rc_ != SQLITE_OK) return;
        if (data.size() > static_cast<std::size_t>(std::numeric_limits<int>::max())) {
            rc_ = SQLITE_TOOBIG;
        } else if (data.empty()) {
            rc_ = sqlite3_bind_zeroblob(stmt_, ++index_, 0);  // a null pointer would bind NULL
        } else {
            rc_ = sqlite3_bind_blob(stmt_, ++index_, data.data(), static_cast<int>(data.size()), SQLITE_STATIC);
        }
    }
    void bindQuery(const KeychainQuery& query) {
        if (query.service) bindText(std::string_view(*query.service));
        if (query.account) bindText(std::string_view(*query.account));
        if (query.label) bindText(std::string_view(*query.label));
    }

    // SQLITE_ROW, SQLITE_DONE or an error code.
    int step() {
        if (rc_ != SQLITE_OK && rc_ != SQLITE_ROW) return rc_;
        rc_ = sqlite3_step(stmt_);
        return rc_;
    }

    std::optional<std::string> text(int column) const {
        if (sqlite3_column_type(stmt_, column) != SQLITE_TEXT) return std::nullopt;
        const auto* p = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return std::string(p, static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column)));
    }
    std::optional<SecureBytes> blob(int column) const {
        if (sqlite3_column_type(stmt_, column) != SQLITE_BLOB) return std::nullopt;
        const auto* p = static_cast<const std::uint8_t*>(sqlite3_column_blob(stmt_, column));
        const auto n = static_cast<std::size_t>(sqlite3_column_bytes(stmt_, column));
        return n == 0 ? SecureBytes{} : SecureBytes(p, p + n);
    }
    long long integer(int column) const { return sqlite3_column_int64(stmt_, column); }

private:
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_OK;
    int index_ = 0;
};

// A transaction rolled back unless committed. Writers take the write lock up front so that
// two processes never deadlock upgrading read locks (which SQLite reports as busy at once).
class Keychain::Transaction {
public:
    enum class Kind { read, write };
    Transaction(sqlite3* db, Kind kind) : db_(db) {
        rc_ = sqlite3_exec(db_, kind == Kind::write ? "BEGIN IMMEDIATE" : "BEGIN", nullptr, nullptr, nullptr);
        open_ = rc_ == SQLITE_OK;
    }
    ~Transaction() {
        if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
    }
    Transaction(const Transaction&) = delete;
    Transaction& operator=(const Transaction&) = delete;

    KeychainStatus beginStatus() const { return statusFromSqlite(rc_); }
    KeychainStatus commit() {
        const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) open_ = false;
        return statusFromSqlite(rc);
    }

private:
    sqlite3* db_;
    int rc_;
    bool open_ = false;
};

Keychain::Keychain(std::filesystem::path file) : file_(std::move(file)) {}

Keychain::~Keychain() { close(); }

std::filesystem::path Keychain::defaultPath() {
    return paths::applicationSupportDirectory() / "duoquill" / "keychain.db";
}

Keychain& Keychain::user() {
    static Keychain keychain([] {
        try {
            return defaultPath();
        } catch (const std::exception&) {
            return std::filesystem::path();
        }
    }());
    return keychain;
}

void Keychain::close() noexcept {
    sqlite3_close_v2(db_);
    db_ = nullptr;
}

KeychainStatus Keychain::open() {
    if (db_ != nullptr) return KeychainStatus::success;
    if (file_.empty() || !file_.has_filename()) return KeychainStatus::notAvailable;
    if (auto s = prepareDirectory(file_.parent_path()); s != KeychainStatus::success) return s;
    if (auto s = prepareFile(file_); s != KeychainStatus::success) return s;
    wipingAllocator::install();

    int rc = sqlite3_open_v2(file_.c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_EXRESCODE, nullptr);
    if (rc == SQLITE_OK) rc = sqlite3_busy_timeout(db_, static_cast<int>(busyTimeout.count()));
    // Deleted items are overwritten in the file, not just unlinked from the b-tree.
    if (rc == SQLITE_OK) rc = sqlite3_exec(db_, "PRAGMA secure_delete = ON", nullptr, nullptr, nullptr);
    KeychainStatus status = statusFromSqlite(rc);
    if (status == KeychainStatus::success) status = initialise();
    if (status != KeychainStatus::success) close();
    return status;
}

// Reads the file's mark; a fresh (empty) file gets the mark and the table in one write
// transaction. Anything else is refused untouched.
KeychainStatus Keychain::initialise() {
    enum class State { ours, fresh, foreign };
    auto inspect = [this](State& state) {
        Statement id(db_, "PRAGMA application_id");
        int rc = id.step();
        if (rc != SQLITE_ROW) return statusFromSqlite(rc);
        const long long appId = id.integer(0);
        Statement objects(db_, "SELECT count(*) FROM sqlite_master");
        rc = objects.step();
        if (rc != SQLITE_ROW) return statusFromSqlite(rc);
        state = appId == kApplicationId ? State::ours : (appId == 0 && objects.integer(0) == 0 ? State::fresh : State::foreign);
        return KeychainStatus::success;
    };

    State state = State::foreign;
    {
        Transaction tx(db_, Transaction::Kind::read);
        if (tx.beginStatus() != KeychainStatus::success) return tx.beginStatus();
        if (auto s = inspect(state); s != KeychainStatus::success) return s;
    }
    if (state == State::ours) return KeychainStatus::success;
    if (state == State::foreign) return KeychainStatus::invalidKeychain;

    Transaction tx(db_, Transaction::Kind::write);
    if (tx.beginStatus() != KeychainStatus::success) return tx.beginStatus();
    if (auto s = inspect(state); s != KeychainStatus::success) return s;  // another process may have won
    if (state == State::foreign) return KeychainStatus::invalidKeychain;
    if (state == State::fresh) {
        const std::string setup = "PRAGMA application_id = " + std::to_string(kApplicationId) + "; " + kCreateSchema;
        if (int rc = sqlite3_exec(db_, setup.c_str(), nullptr, nullptr, nullptr); rc != SQLITE_OK) return statusFromSqlite(rc);
    }
    return tx.commit();
}

KeychainStatus Keychain::add(const KeychainItem& item) {
    if (auto s = open(); s != KeychainStatus::success) return s;
    Transaction tx(db_, Transaction::Kind::write);
    if (tx.beginStatus() != KeychainStatus::success) return tx.beginStatus();
    Statement insert(db_, "INSERT INTO items (service, account, label, accessible, data) VALUES (?, ?, ?, ?, ?)");
    insert.bindText(std::string_view(item.service));
    insert.bindText(std::string_view(item.account));
    insert.bindText(item.label);
    insert.bindText(std::string_view(accessibilityName(item.accessibility)));
    insert.bindBlob(item.data);
    if (int rc = insert.step(); rc != SQLITE_DONE) return statusFromSqlite(rc);
    return tx.commit();
}

KeychainResult<std::vector<KeychainAttributes>> Keychain::copyAllAttributes(const KeychainQuery& query) {
    KeychainResult<std::vector<KeychainAttributes>> result;
    if (result.status = open(); result.status != KeychainStatus::success) return result;
    Transaction tx(db_, Transaction::Kind::read);
    if (result.status = tx.beginStatus(); result.status != KeychainStatus::success) return result;
    Statement select(db_, "SELECT service, account, label, accessible FROM items" + whereClause(query) + " ORDER BY id DESC");
    select.bindQuery(query);
    int rc;
    while ((rc = select.step()) == SQLITE_ROW) {
        KeychainAttributes a;
        a.service = select.text(0);
        a.account = select.text(1);
        a.label = select.text(2);
        if (auto name = select.text(3)) a.accessibility = accessibilityFromName(*name);
        result.value.push_back(std::move(a));
    }
    if (rc != SQLITE_DONE) {
        result.status = statusFromSqlite(rc);
        result.value.clear();
        return result;
    }
    result.status = result.value.empty() ? KeychainStatus::itemNotFound : tx.commit();
    return result;
}

KeychainResult<KeychainAttributes> Keychain::copyAttributes(const KeychainQuery& query) {
    auto all = copyAllAttributes(query);
    KeychainResult<KeychainAttributes> result;
    result.status = all.status;
    if (all.ok()) result.value = std::move(all.value.front());
    return result;
}

KeychainResult<std::optional<SecureBytes>> Keychain::copyData(const KeychainQuery& query) {
    KeychainResult<std::optional<SecureBytes>> result;
    if (result.status = open(); result.status != KeychainStatus::success) return result;
    Transaction tx(db_, Transaction::Kind::read);
    if (result.status = tx.beginStatus(); result.status != KeychainStatus::success) return result;
    Statement select(db_, "SELECT data FROM items" + whereClause(query) + " ORDER BY id DESC LIMIT 1");
    select.bindQuery(query);
    const int rc = select.step();
    if (rc == SQLITE_ROW) {
        result.value = select.blob(0);
        result.status = tx.commit();
        if (!result.ok()) result.value.reset();
    } else {
        result.status = rc == SQLITE_DONE ? KeychainStatus::itemNotFound : statusFromSqlite(rc);
    }
    return result;
}

KeychainStatus Keychain::updateData(const KeychainQuery& query, BytesView data) {
    if (auto s = open(); s != KeychainStatus::success) return s;
    Transaction tx(db_, Transaction::Kind::write);
    if (tx.beginStatus() != KeychainStatus::success) return tx.beginStatus();
    Statement update(db_, "UPDATE items SET data = ?" + whereClause(query));
    update.bindBlob(data);
    update.bindQuery(query);
    if (int rc = update.step(); rc != SQLITE_DONE) return statusFromSqlite(rc);
    if (sqlite3_changes(db_) == 0) return KeychainStatus::itemNotFound;
    return tx.commit();
}

KeychainStatus Keychain::remove(const KeychainQuery& query) {
    if (auto s = open(); s != KeychainStatus::success) return s;
    Transaction tx(db_, Transaction::Kind::write);
    if (tx.beginStatus() != KeychainStatus::success) return tx.beginStatus();
    Statement erase(db_, "DELETE FROM items" + whereClause(query));
    erase.bindQuery(query);
    if (int rc = erase.step(); rc != SQLITE_DONE) return statusFromSqlite(rc);
    if (sqlite3_changes(db_) == 0) return KeychainStatus::itemNotFound;
    return tx.commit();
}

}  // namespace duoquill
