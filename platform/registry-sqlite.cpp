// The registry on SQLite: one database file shared by every process of the
// platform (the device manager, the programs, orvexreg).
//
// Several processes read and write at once, so the database runs in WAL mode
// with a generous busy timeout, and every write takes the write lock up front
// (BEGIN IMMEDIATE): a writer then waits for the lock instead of failing half
// way with "database is locked". Commits use synchronous=NORMAL, which keeps
// the file consistent across crashes; FlushKey makes everything committed so
// far durable by committing once with synchronous=FULL (the WAL is one file,
// so its fsync covers every frame before it).
//
// The write-ahead log and its shared memory persist: the root is root's to
// change, so a member's program could never make them again, and a file
// that stays where it is cannot be swapped for another while a connection
// uses it. The log is emptied, not removed, when the last connection closes.
//
// Names are kept as the UTF-16 bytes written, next to an ASCII-folded copy
// that the lookups and uniqueness constraints use.
#include <sqlite3.h>
#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <filesystem>
#include <map>
#include <mutex>
#include <thread>

#include "platform/access.h"
#include "platform/registry.h"

namespace orvex {

namespace {

constexpr int BusyTimeoutMs = 10000;
constexpr int64_t RootId = 1;

// The two halves of deleting key ?1 with everything below it.
constexpr char DeleteSubtreeValues[] =
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL "
    "SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) "
    "DELETE FROM vals WHERE key IN (SELECT id FROM sub)";
constexpr char DeleteSubtreeKeys[] =
    "WITH RECURSIVE sub(id) AS (SELECT ?1 UNION ALL "
    "SELECT k.id FROM keys k JOIN sub ON k.parent = sub.id) "
    "DELETE FROM keys WHERE id IN (SELECT id FROM sub)";

struct DbCloser {
    void operator()(sqlite3* db) const { sqlite3_close_v2(db); }
};
struct StmtFinalizer {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using DbPtr = std::unique_ptr<sqlite3, DbCloser>;
using StmtPtr = std::unique_ptr<sqlite3_stmt, StmtFinalizer>;

uint32_t ErrorFromSqlite(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW:
            return ERROR_SUCCESS;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return ERROR_SHARING_VIOLATION;
        case SQLITE_NOMEM:
            return ERROR_NOT_ENOUGH_MEMORY;
        case SQLITE_PERM:
        case SQLITE_READONLY:
        case SQLITE_CANTOPEN:
        case SQLITE_AUTH:
            return ERROR_ACCESS_DENIED;
        case SQLITE_TOOBIG:
            return ERROR_INVALID_PARAMETER;
        default:
            return ERROR_GEN_FAILURE;
    }
}

// UTF-16 code units as little-endian bytes, independent of the host order.
std::string Bytes(std::u16string_view s) {
    std::string b;
    b.reserve(s.size() * 2);
    for (char16_t c : s) {
        b.push_back(static_cast<char>(c & 0xFF));
        b.push_back(static_cast<char>(c >> 8));
    }
    return b;
}

std::u16string FromBytes(const void* p, int n) {
    const auto* b = static_cast<const uint8_t*>(p);
    std::u16string s;
    if (!b || n <= 0)
        return s;
    s.reserve(static_cast<size_t>(n) / 2);
    for (int i = 0; i + 1 < n; i += 2)
        s.push_back(static_cast<char16_t>(b[i] | (b[i + 1] << 8)));
    return s;
}

std::string Fold(std::u16string_view s) {
    std::u16string f(s);
    for (char16_t& c : f)
        if (c >= u'A' && c <= u'Z')
            c = static_cast<char16_t>(c - u'A' + u'a');
    return Bytes(f);
}

// Splits a key path on backslashes; empty components (doubled, leading or
// trailing separators) are skipped.
std::vector<std::u16string_view> SplitPath(std::u16string_view path) {
    std::vector<std::u16string_view> parts;
    size_t start = 0;
    while (start <= path.size()) {
        size_t end = path.find(u'\\', start);
        if (end == std::u16string_view::npos)
            end = path.size();
        if (end > start)
            parts.push_back(path.substr(start, end - start));
        start = end + 1;
    }
    return parts;
}

// A prepared statement borrowed from the cache; reset and unbound on return
// so the next user starts clean and no read snapshot stays open.
class Query {
  public:
    explicit Query(sqlite3_stmt* s) : S_(s) {}
    ~Query() {
        if (S_) {
            sqlite3_reset(S_);
            sqlite3_clear_bindings(S_);
        }
    }
    Query(const Query&) = delete;
    Query& operator=(const Query&) = delete;

    bool Ok() const { return S_ != nullptr; }
    void Bind(int i, int64_t v) { sqlite3_bind_int64(S_, i, v); }
    void Bind(int i, const std::string& bytes) {
        // A null pointer would bind NULL; an empty name is a zero-length blob.
        static const char Empty = 0;
        sqlite3_bind_blob(S_, i, bytes.empty() ? &Empty : bytes.data(),
                          static_cast<int>(bytes.size()), SQLITE_TRANSIENT);
    }
    void BindData(int i, const uint8_t* data, uint32_t size) {
        static const uint8_t Empty = 0;
        sqlite3_bind_blob(S_, i, size == 0 || !data ? &Empty : data, static_cast<int>(size),
                          SQLITE_TRANSIENT);
    }
    int Step() { return sqlite3_step(S_); }
    // Steps a statement that yields no rows through to its end.
    uint32_t Run() {
        const int rc = Step();
        return rc == SQLITE_DONE ? ERROR_SUCCESS : ErrorFromSqlite(rc);
    }
    int64_t Int(int col) { return sqlite3_column_int64(S_, col); }
    std::u16string Text(int col) {
        const void* p = sqlite3_column_blob(S_, col);
        return FromBytes(p, sqlite3_column_bytes(S_, col));
    }
    std::vector<uint8_t> Blob(int col) {
        const auto* p = static_cast<const uint8_t*>(sqlite3_column_blob(S_, col));
        int n = sqlite3_column_bytes(S_, col);
        if (!p || n <= 0)
            return {};
        return std::vector<uint8_t>(p, p + n);
    }

  private:
    sqlite3_stmt* S_;
};

class SqliteRegistry final : public Registry {
  public:
    explicit SqliteRegistry(DbPtr db) : Db_(std::move(db)) {}
    ~SqliteRegistry() override {
        std::lock_guard g(Lock_);
        if (Depth_ > 0) {
            // Every group ends in the call that began it; one still open
            // here would have held the registry from every other thread
            // and its writes from every other process.
            std::fprintf(stderr,
                         "orvex: a registry write group was still open when the registry "
                         "closed; its writes are discarded\n");
#ifndef NDEBUG
            std::abort();
#endif
            Exec("ROLLBACK");
        }
        Statements_.clear();
    }

    uint32_t Setup();

    uint32_t OpenKey(RegKey root, std::u16string_view subKey, uint32_t access,
                     RegKey* result) override;
    uint32_t QueryValue(RegKey key, std::u16string_view name, uint32_t* type, uint8_t* data,
                        uint32_t* size) override;
    uint32_t SetValue(RegKey key, std::u16string_view name, uint32_t type, const uint8_t* data,
                      uint32_t size) override;
    uint32_t CloseKey(RegKey key) override;
    uint32_t FlushKey(RegKey key) override;
    uint32_t CreateKey(RegKey root, std::u16string_view subKey, RegKey* result) override;
    uint32_t DeleteKey(RegKey root, std::u16string_view subKey) override;
    uint32_t DeleteValue(RegKey key, std::u16string_view name) override;
    uint32_t EnumSubKeys(RegKey key, std::vector<std::u16string>* names) override;
    uint32_t EnumValues(RegKey key, std::vector<Value>* values) override;
    uint32_t BeginWriteGroup() override;
    uint32_t EndWriteGroup(bool commit) override;

  private:
    int Exec(const char* sql) {
        return sqlite3_exec(Db_.get(), sql, nullptr, nullptr, nullptr);
    }
    // Retries what the busy handler does not cover (a statement that failed
    // with SQLITE_BUSY outright, for instance while switching to WAL).
    int ExecRetrying(const char* sql);
    // After a failure: SQLite may or may not have rolled the transaction
    // back by itself already.
    void RollbackIfOpen() {
        if (!sqlite3_get_autocommit(Db_.get()))
            Exec("ROLLBACK");
    }
    Query Prepare(const char* sql);

    uint32_t KeyId(RegKey h, int64_t* id) const;
    // ERROR_KEY_DELETED when the key is gone (deleted through another handle
    // or by another process).
    uint32_t CheckKeyExists(int64_t id);
    // KeyId of a handle whose key still exists.
    uint32_t LiveKeyId(RegKey h, int64_t* id);
    // The child of parent named name (any case); ERROR_FILE_NOT_FOUND if none.
    uint32_t FindChild(int64_t parent, std::u16string_view name, int64_t* id);
    uint32_t Resolve(int64_t from, std::u16string_view path, int64_t* id);
    RegKey NewHandle(int64_t id);
    uint32_t SyncCommit();

    // Every row of a query on key id, each made into a T by row(query); the
    // caller's vector is replaced only when all rows were read.
    template <class T, class Row>
    uint32_t Collect(const char* sql, int64_t id, Row&& row, std::vector<T>* result);

    // Runs body as one write: in its own immediate transaction, or as part of
    // the open write group.
    template <class Body>
    uint32_t Write(Body&& body);

    std::recursive_mutex Lock_;
    DbPtr Db_;
    std::map<const char*, StmtPtr> Statements_;  // keyed by the SQL literal
    std::map<RegKey, int64_t> Handles_;
    RegKey NextHandle_ = 1;

    // Write group state (guarded by Lock_, which the group's thread holds).
    int Depth_ = 0;
    bool Discard_ = false;
    uint32_t GroupError_ = ERROR_SUCCESS;  // the store abandoned the group
    bool FlushAfterGroup_ = false;
};

int SqliteRegistry::ExecRetrying(const char* sql) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(BusyTimeoutMs);
    for (;;) {
        int rc = Exec(sql);
        if ((rc & 0xFF) != SQLITE_BUSY && (rc & 0xFF) != SQLITE_LOCKED)
            return rc;
        // A script may have stopped inside its own transaction.
        RollbackIfOpen();
        if (std::chrono::steady_clock::now() >= deadline)
            return rc;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

Query SqliteRegistry::Prepare(const char* sql) {
    auto it = Statements_.find(sql);
    if (it == Statements_.end()) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v3(Db_.get(), sql, -1, SQLITE_PREPARE_PERSISTENT, &s, nullptr) !=
            SQLITE_OK)
            return Query(nullptr);
        it = Statements_.emplace(sql, StmtPtr(s)).first;
    }
    return Query(it->second.get());
}

uint32_t SqliteRegistry::Setup() {
    sqlite3_busy_timeout(Db_.get(), BusyTimeoutMs);
    sqlite3_extended_result_codes(Db_.get(), 0);
    int persist = 1;
    if (sqlite3_file_control(Db_.get(), "main", SQLITE_FCNTL_PERSIST_WAL, &persist) != SQLITE_OK)
        return ERROR_GEN_FAILURE;
    // With a limit set, the last connection to close empties the log.
    if (Exec("PRAGMA journal_size_limit=4194304") != SQLITE_OK)
        return ERROR_GEN_FAILURE;
    // The journal mode is a property of the file; switching needs a moment
    // alone with it, which a busy peer may not grant at once.
    int rc = ExecRetrying("PRAGMA journal_mode=WAL");
    if (rc != SQLITE_OK)
        return ErrorFromSqlite(rc);
    rc = Exec("PRAGMA synchronous=NORMAL");
    if (rc != SQLITE_OK)
        return ErrorFromSqlite(rc);
    static constexpr char Schema[] =
        "BEGIN IMMEDIATE;"
        "CREATE TABLE IF NOT EXISTS keys("
        "  id INTEGER PRIMARY KEY AUTOINCREMENT,"
        "  parent INTEGER NOT NULL,"
        "  name BLOB NOT NULL,"
        "  fold BLOB NOT NULL,"
        "  UNIQUE(parent, fold));"
        "CREATE TABLE IF NOT EXISTS vals("
        "  key INTEGER NOT NULL,"
        "  name BLOB NOT NULL,"
        "  fold BLOB NOT NULL,"
        "  type INTEGER NOT NULL,"
        "  data BLOB NOT NULL,"
        "  UNIQUE(key, fold));"
        "CREATE TABLE IF NOT EXISTS meta(name TEXT PRIMARY KEY, value INTEGER NOT NULL);"
        "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES(1, 0, x'', x'');"
        "INSERT OR IGNORE INTO meta VALUES('schema', 1);"
        "INSERT OR IGNORE INTO meta VALUES('flushes', 0);"
        "COMMIT;";
    rc = ExecRetrying(Schema);
    if (rc != SQLITE_OK) {
        RollbackIfOpen();
        return ErrorFromSqlite(rc);
    }
    return ERROR_SUCCESS;
}

uint32_t SqliteRegistry::KeyId(RegKey h, int64_t* id) const {
    if (h == HKEY_LOCAL_MACHINE) {
        *id = RootId;
        return ERROR_SUCCESS;
    }
    auto it = Handles_.find(h);
    if (it == Handles_.end())
        return ERROR_INVALID_HANDLE;
    *id = it->second;
    return ERROR_SUCCESS;
}

uint32_t SqliteRegistry::CheckKeyExists(int64_t id) {
    Query q = Prepare("SELECT 1 FROM keys WHERE id = ?1");
    if (!q.Ok())
        return ERROR_GEN_FAILURE;
    q.Bind(1, id);
    int rc = q.Step();
    if (rc == SQLITE_DONE)
        return ERROR_KEY_DELETED;
    return rc == SQLITE_ROW ? ERROR_SUCCESS : ErrorFromSqlite(rc);
}

uint32_t SqliteRegistry::LiveKeyId(RegKey h, int64_t* id) {
    if (uint32_t e = KeyId(h, id))
        return e;
    return CheckKeyExists(*id);
}

uint32_t SqliteRegistry::FindChild(int64_t parent, std::u16string_view name, int64_t* id) {
    Query q = Prepare("SELECT id FROM keys WHERE parent = ?1 AND fold = ?2");
    if (!q.Ok())
        return ERROR_GEN_FAILURE;
    q.Bind(1, parent);
    q.Bind(2, Fold(name));
    int rc = q.Step();
    if (rc == SQLITE_DONE)
        return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW)
        return ErrorFromSqlite(rc);
    *id = q.Int(0);
    return ERROR_SUCCESS;
}

uint32_t SqliteRegistry::Resolve(int64_t from, std::u16string_view path, int64_t* id) {
    int64_t at = from;
    auto parts = SplitPath(path);
    if (parts.empty()) {
        if (uint32_t e = CheckKeyExists(at))
            return e;
    }
    for (auto part : parts) {
        if (uint32_t e = FindChild(at, part, &at))
            return e;
    }
    *id = at;
    return ERROR_SUCCESS;
}

RegKey SqliteRegistry::NewHandle(int64_t id) {
    RegKey h = NextHandle_++;
    // Handles are small and never reach the predefined root's value.
    if (NextHandle_ >= HKEY_LOCAL_MACHINE)
        NextHandle_ = 1;
    while (Handles_.count(h) || h == HKEY_LOCAL_MACHINE)
        h = NextHandle_++;
    Handles_[h] = id;
    return h;
}

template <class Body>
uint32_t SqliteRegistry::Write(Body&& body) {
    if (Depth_ > 0) {
        if (GroupError_)
            return GroupError_;
        uint32_t r = body();
        // Some failures (disk full, I/O errors) make SQLite roll the whole
        // transaction back; the group is then lost and must not pretend
        // otherwise, nor let later writes slip out one by one.
        if (sqlite3_get_autocommit(Db_.get()))
            GroupError_ = r ? r : ERROR_GEN_FAILURE;
        return r;
    }
    int rc = Exec("BEGIN IMMEDIATE");
    if (rc != SQLITE_OK)
        return ErrorFromSqlite(rc);
    uint32_t r = body();
    if (r != ERROR_SUCCESS) {
        RollbackIfOpen();
        return r;
    }
    rc = Exec("COMMIT");
    if (rc != SQLITE_OK) {
        RollbackIfOpen();
        return ErrorFromSqlite(rc);
    }
    return ERROR_SUCCESS;
}

uint32_t SqliteRegistry::OpenKey(RegKey root, std::u16string_view subKey, uint32_t /*access*/,
                                 RegKey* result) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard g(Lock_);
    int64_t from = 0, id = 0;
    if (uint32_t e = KeyId(root, &from))
        return e;
    if (uint32_t e = Resolve(from, subKey, &id))
        return e;
    *result = NewHandle(id);
    return ERROR_SUCCESS;
}

uint32_t SqliteRegistry::QueryValue(RegKey key, std::u16string_view name, uint32_t* type,
                                    uint8_t* data, uint32_t* size) {
    if (data && !size)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard g(Lock_);
    int64_t id = 0;
    if (uint32_t e = KeyId(key, &id))
        return e;
    Query q = Prepare("SELECT type, data FROM vals WHERE key = ?1 AND fold = ?2");
    if (!q.Ok())
        return ERROR_GEN_FAILURE;
    q.Bind(1, id);
    q.Bind(2, Fold(name));
    int rc = q.Step();
    if (rc == SQLITE_DONE)
        return ERROR_FILE_NOT_FOUND;
    if (rc != SQLITE_ROW)
        return ErrorFromSqlite(rc);
    auto stored = q.Blob(1);
    if (type)
        *type = static_cast<uint32_t>(q.Int(0));
    const auto needed = static_cast<uint32_t>(stored.size());
    if (data) {
        if (*size < needed) {
            *size = needed;
            return ERROR_MORE_DATA;  // and the caller's buffer stays untouched
        }
        std::copy(stored.begin(), stored.end(), data);
    }
    if (size)
        *size = needed;
    return ERROR_SUCCESS;
}

uint32_t SqliteRegistry::SetValue(RegKey key, std::u16string_view name, uint32_t type,
                                  const uint8_t* data, uint32_t size) {
    if (!data && size > 0)
        return ERROR_INVALID_PARAMETER;
    if (size > 0x7FFFFFFFu)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard g(Lock_);
    int64_t id = 0;
    if (uint32_t e = KeyId(key, &id))
        return e;
    return Write([&]() -> uint32_t {
        if (uint32_t e = CheckKeyExists(id))
            return e;
        // An existing value keeps its first spelling and its place.
        Query q = Prepare(
            "INSERT INTO vals(key, name, fold, type, data) VALUES(?1, ?2, ?3, ?4, ?5) "
            "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, data = excluded.data");
        if (!q.Ok())
            return ERROR_GEN_FAILURE;
        q.Bind(1, id);
        q.Bind(2, Bytes(name));
        q.Bind(3, Fold(name));
        q.Bind(4, static_cast<int64_t>(type));
        q.BindData(5, data, size);
        return q.Run();
    });
}

uint32_t SqliteRegistry::CloseKey(RegKey key) {
    if (key == HKEY_LOCAL_MACHINE)
        return ERROR_SUCCESS;
    std::lock_guard g(Lock_);
    return Handles_.erase(key) ? ERROR_SUCCESS : ERROR_INVALID_HANDLE;
}

uint32_t SqliteRegistry::SyncCommit() {
    // A committed change with synchronous=FULL fsyncs the WAL, and with it
    // every frame appended before by any connection; frames already moved
    // into the database file were synced by that checkpoint.
    int rc = Exec("PRAGMA synchronous=FULL");
    if (rc != SQLITE_OK)
        return ErrorFromSqlite(rc);
    uint32_t r = Write([&]() -> uint32_t {
        Query q = Prepare("UPDATE meta SET value = value + 1 WHERE name = 'flushes'");
        if (!q.Ok())
            return ERROR_GEN_FAILURE;
        return q.Run();
    });
    rc = Exec("PRAGMA synchronous=NORMAL");
    if (r == ERROR_SUCCESS && rc != SQLITE_OK)
        r = ErrorFromSqlite(rc);
    return r;
}

uint32_t SqliteRegistry::FlushKey(RegKey key) {
    std::lock_guard g(Lock_);
    int64_t id = 0;
    if (uint32_t e = KeyId(key, &id))
        return e;
    if (Depth_ > 0) {
        // Nothing of an open group may reach storage before the group ends;
        // the flush is owed and made right after the commit.
        FlushAfterGroup_ = true;
        return ERROR_SUCCESS;
    }
    return SyncCommit();
}

uint32_t SqliteRegistry::CreateKey(RegKey root, std::u16string_view subKey, RegKey* result) {
    if (!result)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard g(Lock_);
    int64_t from = 0;
    if (uint32_t e = KeyId(root, &from))
        return e;
    int64_t at = from;
    uint32_t r = Write([&]() -> uint32_t {
        if (uint32_t e = CheckKeyExists(from))
            return e;
        for (auto part : SplitPath(subKey)) {
            const uint32_t found = FindChild(at, part, &at);
            if (found == ERROR_SUCCESS)
                continue;
            if (found != ERROR_FILE_NOT_FOUND)
                return found;
            Query ins = Prepare("INSERT INTO keys(parent, name, fold) VALUES(?1, ?2, ?3)");
            if (!ins.Ok())
                return ERROR_GEN_FAILURE;
            ins.Bind(1, at);
            ins.Bind(2, Bytes(part));
            ins.Bind(3, Fold(part));
            if (uint32_t e = ins.Run())
                return e;
            at = sqlite3_last_insert_rowid(Db_.get());
        }
        return ERROR_SUCCESS;
    });
    if (r != ERROR_SUCCESS)
        return r;
    *result = NewHandle(at);
    return ERROR_SUCCESS;
}

uint32_t SqliteRegistry::DeleteKey(RegKey root, std::u16string_view subKey) {
    std::lock_guard g(Lock_);
    int64_t from = 0;
    if (uint32_t e = KeyId(root, &from))
        return e;
    return Write([&]() -> uint32_t {
        int64_t id = 0;
        if (uint32_t e = Resolve(from, subKey, &id))
            return e;
        if (id == RootId)
            return ERROR_ACCESS_DENIED;  // the root always exists
        // The values first: their statement finds the subtree through keys.
        for (const char* sql : {DeleteSubtreeValues, DeleteSubtreeKeys}) {
            Query q = Prepare(sql);
            if (!q.Ok())
                return ERROR_GEN_FAILURE;
            q.Bind(1, id);
            if (uint32_t e = q.Run())
                return e;
        }
        return ERROR_SUCCESS;
    });
}

uint32_t SqliteRegistry::DeleteValue(RegKey key, std::u16string_view name) {
    std::lock_guard g(Lock_);
    int64_t id = 0;
    if (uint32_t e = KeyId(key, &id))
        return e;
    return Write([&]() -> uint32_t {
        Query q = Prepare("DELETE FROM vals WHERE key = ?1 AND fold = ?2");
        if (!q.Ok())
            return ERROR_GEN_FAILURE;
        q.Bind(1, id);
        q.Bind(2, Fold(name));
        if (uint32_t e = q.Run())
            return e;
        return sqlite3_changes(Db_.get()) > 0 ? ERROR_SUCCESS : ERROR_FILE_NOT_FOUND;
    });
}

template <class T, class Row>
uint32_t SqliteRegistry::Collect(const char* sql, int64_t id, Row&& row, std::vector<T>* result) {
    Query q = Prepare(sql);
    if (!q.Ok())
        return ERROR_GEN_FAILURE;
    q.Bind(1, id);
    std::vector<T> out;
    int rc;
    while ((rc = q.Step()) == SQLITE_ROW)
        out.push_back(row(q));
    if (rc != SQLITE_DONE)
        return ErrorFromSqlite(rc);
    *result = std::move(out);
    return ERROR_SUCCESS;
}

uint32_t SqliteRegistry::EnumSubKeys(RegKey key, std::vector<std::u16string>* names) {
    if (!names)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard g(Lock_);
    int64_t id = 0;
    if (uint32_t e = LiveKeyId(key, &id))
        return e;
    return Collect(
        "SELECT name FROM keys WHERE parent = ?1 AND id <> ?1 ORDER BY fold", id,
        [](Query& q) { return q.Text(0); }, names);
}

uint32_t SqliteRegistry::EnumValues(RegKey key, std::vector<Value>* values) {
    if (!values)
        return ERROR_INVALID_PARAMETER;
    std::lock_guard g(Lock_);
    int64_t id = 0;
    if (uint32_t e = LiveKeyId(key, &id))
        return e;
    return Collect(
        "SELECT name, type, data FROM vals WHERE key = ?1 ORDER BY rowid", id,
        [](Query& q) {
            return Value{q.Text(0), static_cast<uint32_t>(q.Int(1)), q.Blob(2)};
        },
        values);
}

uint32_t SqliteRegistry::BeginWriteGroup() {
    Lock_.lock();  // held until the matching EndWriteGroup
    if (Depth_ == 0) {
        int rc = Exec("BEGIN IMMEDIATE");
        if (rc != SQLITE_OK) {
            Lock_.unlock();
            return ErrorFromSqlite(rc);
        }
        Discard_ = false;
        GroupError_ = ERROR_SUCCESS;
        FlushAfterGroup_ = false;
    }
    ++Depth_;
    return ERROR_SUCCESS;
}

uint32_t SqliteRegistry::EndWriteGroup(bool commit) {
    std::lock_guard g(Lock_);
    if (Depth_ == 0)
        return ERROR_INVALID_PARAMETER;  // no group open
    if (!commit)
        Discard_ = true;
    uint32_t r = ERROR_SUCCESS;
    if (--Depth_ == 0) {
        bool inTransaction = !sqlite3_get_autocommit(Db_.get());
        if (Discard_ || GroupError_) {
            if (inTransaction)
                Exec("ROLLBACK");
            // A discard the caller asked for succeeded; one it did not ask
            // for is a failure of its commit.
            if (commit)
                r = GroupError_ ? GroupError_ : ERROR_OPERATION_ABORTED;
        } else {
            int rc = inTransaction ? Exec("COMMIT") : SQLITE_OK;
            if (rc != SQLITE_OK) {
                RollbackIfOpen();
                r = ErrorFromSqlite(rc);
            } else if (FlushAfterGroup_) {
                r = SyncCommit();
            }
        }
        Discard_ = false;
        GroupError_ = ERROR_SUCCESS;
        FlushAfterGroup_ = false;
    }
    Lock_.unlock();  // the hold taken by BeginWriteGroup
    return r;
}

}  // namespace

std::unique_ptr<Registry> OpenSqliteRegistry(const std::string& root, uint32_t* error) {
    auto fail = [&](uint32_t e) -> std::unique_ptr<Registry> {
        if (error)
            *error = e;
        return nullptr;
    };
    // The folder and the file get their modes before SQLite sees them, so
    // the umask never decides who may read or write the registry.
    std::string why;
    if (!PreparePlatformRoot(root, CurrentFileSharing(root), &why)) {
        const int e = errno;
        return fail(ErrorFromErrno(e != 0 ? e : EIO));
    }
    std::string path = (std::filesystem::path(root) / "registry.db").string();
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(
        path.c_str(), &raw,
        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
        nullptr);
    DbPtr db(raw);  // closes even a handle whose open failed
    if (rc != SQLITE_OK)
        return fail(ErrorFromSqlite(rc));
    auto reg = std::make_unique<SqliteRegistry>(std::move(db));
    if (uint32_t e = reg->Setup())
        return fail(e);
    if (error)
        *error = ERROR_SUCCESS;
    return reg;
}

std::unique_ptr<Registry> OpenSqliteRegistryReadOnly(const std::string& root,
                                                     std::chrono::milliseconds busyTimeout,
                                                     uint32_t* error) {
    auto fail = [&](uint32_t e) -> std::unique_ptr<Registry> {
        if (error)
            *error = e;
        return nullptr;
    };
    // Even a read-only connection creates the log and shared memory when
    // they are missing. A prepared root always has them (they persist), so
    // their absence means nobody has set this registry up: nothing to read.
    for (size_t i = 0; i < 3; ++i) {
        struct stat st {};
        const std::string path = root + "/" + RegistryFiles[i];
        if (::lstat(path.c_str(), &st) != 0)
            return fail(errno == ENOENT || errno == ENOTDIR ? ERROR_FILE_NOT_FOUND
                                                            : ErrorFromErrno(errno));
        if (!S_ISREG(st.st_mode))
            return fail(ERROR_ACCESS_DENIED);
    }
    // As a URI, for readonly_shm: without it the first connection to come
    // rewrites the shared memory, which a look must leave to the platform.
    std::string uri = "file:";
    for (const char c : root + "/" + RegistryFiles[0]) {
        const bool plain = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                           (c >= '0' && c <= '9') || c == '/' || c == '.' || c == '_' || c == '-';
        if (plain) {
            uri.push_back(c);
        } else {
            constexpr char Hex[] = "0123456789ABCDEF";
            const auto b = static_cast<unsigned char>(c);
            uri += {'%', Hex[b >> 4], Hex[b & 0xF]};
        }
    }
    uri += "?readonly_shm=1";
    sqlite3* raw = nullptr;
    int rc = sqlite3_open_v2(
        uri.c_str(), &raw,
        SQLITE_OPEN_READONLY | SQLITE_OPEN_URI | SQLITE_OPEN_NOMUTEX | SQLITE_OPEN_NOFOLLOW,
        nullptr);
    DbPtr db(raw);
    if (rc != SQLITE_OK)
        return fail(ErrorFromSqlite(rc));
    sqlite3_busy_timeout(db.get(), static_cast<int>(busyTimeout.count()));
    sqlite3_extended_result_codes(db.get(), 0);
    // A quick look needs no large value; one that is fails rather than costs.
    sqlite3_limit(db.get(), SQLITE_LIMIT_LENGTH, MaxReadOnlyValueBytes);
    if (error)
        *error = ERROR_SUCCESS;
    return std::make_unique<SqliteRegistry>(std::move(db));
}

// ---------------------------------------------------------------------------

std::u16string Utf8ToUtf16(std::string_view s) {
    std::u16string out;
    out.reserve(s.size());
    size_t i = 0;
    while (i < s.size()) {
        auto b = static_cast<uint8_t>(s[i]);
        uint32_t cp = 0xFFFD;
        size_t len = 1;
        auto cont = [&](size_t k) {
            return i + k < s.size() && (static_cast<uint8_t>(s[i + k]) & 0xC0) == 0x80;
        };
        if (b < 0x80) {
            cp = b;
        } else if (b >= 0xC2 && b <= 0xDF && cont(1)) {
            cp = ((b & 0x1Fu) << 6) | (static_cast<uint8_t>(s[i + 1]) & 0x3Fu);
            len = 2;
        } else if (b >= 0xE0 && b <= 0xEF && cont(1) && cont(2)) {
            uint32_t c = ((b & 0x0Fu) << 12) | ((static_cast<uint8_t>(s[i + 1]) & 0x3Fu) << 6) |
                         (static_cast<uint8_t>(s[i + 2]) & 0x3Fu);
            // Overlong forms and encoded surrogates are not characters.
            if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
                cp = c;
                len = 3;
            }
        } else if (b >= 0xF0 && b <= 0xF4 && cont(1) && cont(2) && cont(3)) {
            uint32_t c = ((b & 0x07u) << 18) | ((static_cast<uint8_t>(s[i + 1]) & 0x3Fu) << 12) |
                         ((static_cast<uint8_t>(s[i + 2]) & 0x3Fu) << 6) |
                         (static_cast<uint8_t>(s[i + 3]) & 0x3Fu);
            if (c >= 0x10000 && c <= 0x10FFFF) {
                cp = c;
                len = 4;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

std::string Utf16ToUtf8(std::u16string_view s) {
    std::string out;
    out.reserve(s.size());
    for (size_t i = 0; i < s.size(); ++i) {
        uint32_t cp = s[i];
        if (cp >= 0xD800 && cp <= 0xDBFF && i + 1 < s.size() && s[i + 1] >= 0xDC00 &&
            s[i + 1] <= 0xDFFF) {
            cp = 0x10000 + ((cp - 0xD800) << 10) + (s[i + 1] - 0xDC00u);
            ++i;
        } else if (cp >= 0xD800 && cp <= 0xDFFF) {
            cp = 0xFFFD;  // a lone surrogate has no UTF-8 form
        }
        if (cp < 0x80) {
            out.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return out;
}

bool ReadStringValue(Registry& reg, std::u16string_view keyPath, std::u16string_view name,
                     std::u16string* out) {
    RegKey key = 0;
    if (reg.OpenKey(HKEY_LOCAL_MACHINE, keyPath, KEY_ALL_ACCESS, &key) != ERROR_SUCCESS)
        return false;
    uint32_t type = 0, size = 0;
    std::vector<uint8_t> data;
    uint32_t r = reg.QueryValue(key, name, &type, nullptr, &size);
    // The value may grow between the size query and the read; ask again.
    for (int attempt = 0; r == ERROR_SUCCESS && attempt < 4; ++attempt) {
        data.resize(size);
        r = reg.QueryValue(key, name, &type, data.data(), &size);
        if (r != ERROR_MORE_DATA)
            break;
    }
    (void)reg.CloseKey(key);  // a handle we opened; nothing to do if it fails
    if (r != ERROR_SUCCESS || (type != REG_SZ && type != REG_EXPAND_SZ))
        return false;
    data.resize(size);
    std::u16string text = FromBytes(data.data(), static_cast<int>(data.size()));
    auto nul = text.find(u'\0');
    if (nul != std::u16string::npos)
        text.resize(nul);
    if (out)
        *out = std::move(text);
    return true;
}

}  // namespace orvex
