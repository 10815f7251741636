#include "Common/Platform/RegistryStore.h"

#include <errno.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <unordered_map>
#include <vector>

#include "Common/Errors/Win32Error.h"
#include "Common/Files/FileSystemUtils.h"
#include "Common/Platform/MachineLayout.h"
#include "Common/Platform/SystemGroups.h"

namespace TesselSoftware {

namespace {

constexpr uint32_t kMaxValueBytes = 16u << 20;  // far above any setting; bounds a bad writer
constexpr uint32_t kWriteRights = kKeySetValue | kKeyCreateSubKey | kKeyDelete | 0x20;
constexpr int kBusyTimeoutMs = 30000;
constexpr int kSchemaVersion = 1;

std::string Fold(std::string_view name) {
    std::string folded(name);
    for (char& c : folded) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return folded;
}

uint32_t SqliteToWin32(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW: return Win32::kSuccess;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB: return Win32::kRegistryCorrupt;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH: return Win32::kAccessDenied;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return Win32::kBusy;
        case SQLITE_FULL: return Win32::kDiskFull;
        case SQLITE_NOMEM: return Win32::kNotEnoughMemory;
        case SQLITE_CANTOPEN: return Win32::kCantOpenKey;
        case SQLITE_TOOBIG: return Win32::kInvalidParameter;
        default: return Win32::kRegistryIoFailed;
    }
}

// One prepared statement; finalised on destruction.
// The prepared statements of one connection, kept for reuse: preparing a
// statement costs more than running most of the store's, and the service
// writes its status every 15 seconds. Keyed by the SQL text's address (the
// texts are literals). Not thread-safe: used under its store's mutex.
class StatementCache {
public:
    StatementCache() = default;
    StatementCache(const StatementCache&) = delete;
    StatementCache& operator=(const StatementCache&) = delete;
    ~StatementCache() { Clear(); }

    // A statement ready to bind, from the cache or newly prepared.
    int Take(sqlite3* db, const char* sql, sqlite3_stmt** stmt) {
        if (const auto found = kept_.find(sql); found != kept_.end()) {
            *stmt = found->second;
            kept_.erase(found);
            return SQLITE_OK;
        }
        return sqlite3_prepare_v3(db, sql, -1, SQLITE_PREPARE_PERSISTENT, stmt, nullptr);
    }
    // Takes a statement back for the next Take of the same text.
    void Give(const char* sql, sqlite3_stmt* stmt) {
        if (stmt == nullptr) return;
        sqlite3_reset(stmt);
        sqlite3_clear_bindings(stmt);
        if (!kept_.emplace(sql, stmt).second) sqlite3_finalize(stmt);
    }
    // Finalizes every kept statement; before the connection closes.
    void Clear() {
        for (const auto& [sql, stmt] : kept_) sqlite3_finalize(stmt);
        kept_.clear();
    }

private:
    std::unordered_map<const char*, sqlite3_stmt*> kept_;
};

class Statement {
public:
    Statement(StatementCache& cache, sqlite3* db, const char* sql) : cache_(cache), sql_(sql) {
        rc_ = cache_.Take(db, sql, &stmt_);
    }
    ~Statement() { cache_.Give(sql_, stmt_); }
    Statement(const Statement&) = delete;
    Statement& operator=(const Statement&) = delete;

    bool ok() const { return rc_ == SQLITE_OK; }
    int rc() const { return rc_; }
    Statement& Bind(int index, int64_t value) {
        if (ok()) rc_ = sqlite3_bind_int64(stmt_, index, value);
        return *this;
    }
    Statement& Bind(int index, std::string_view text) {
        if (ok()) {
            rc_ = sqlite3_bind_text(stmt_, index, text.data(), static_cast<int>(text.size()),
                                    SQLITE_TRANSIENT);
        }
        return *this;
    }
    Statement& BindBlob(int index, const void* data, uint32_t size) {
        static const char kEmpty = 0;
        if (ok()) {
            rc_ = sqlite3_bind_blob(stmt_, index, size ? data : &kEmpty, static_cast<int>(size),
                                    SQLITE_TRANSIENT);
        }
        return *this;
    }
    // SQLITE_ROW, SQLITE_DONE or an error.
    int Step() {
        if (!ok()) return rc_;
        const int rc = sqlite3_step(stmt_);
        if (rc != SQLITE_ROW && rc != SQLITE_DONE) rc_ = rc;
        return rc;
    }
    int64_t Int(int column) const { return sqlite3_column_int64(stmt_, column); }
    std::string Text(int column) const {
        const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, column));
        return text ? std::string(text, sqlite3_column_bytes(stmt_, column)) : std::string();
    }
    std::string Blob(int column) const {
        const auto* data = static_cast<const char*>(sqlite3_column_blob(stmt_, column));
        return data ? std::string(data, sqlite3_column_bytes(stmt_, column)) : std::string();
    }

private:
    StatementCache& cache_;
    const char* sql_;
    sqlite3_stmt* stmt_ = nullptr;
    int rc_ = SQLITE_ERROR;
};

// Splits "A\B\C" into components; false for an empty component or one that
// is too long.
bool SplitKeyPath(std::string_view path, std::vector<std::string_view>* parts) {
    parts->clear();
    if (path.empty()) return true;
    size_t start = 0;
    for (;;) {
        const size_t end = path.find('\\', start);
        const std::string_view part =
            path.substr(start, end == std::string_view::npos ? std::string_view::npos : end - start);
        if (part.empty() || part.size() > kMaxKeyNameLength) return false;
        parts->push_back(part);
        if (end == std::string_view::npos) return true;
        start = end + 1;
    }
}

// "/var/lib/vexor/registry.db" -> "/var/lib/vexor/registry.readers.db".
std::string ReaderCopyPath(const std::string& path) {
    const size_t slash = path.rfind('/');
    const size_t dot = path.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return path + ".readers";
    return path.substr(0, dot) + ".readers" + path.substr(dot);
}

// path as the path of an SQLite URI: '%', '?' and '#' escaped.
std::string UriPath(const std::string& path) {
    std::string uri;
    for (const char c : path) {
        if (c == '%' || c == '?' || c == '#') {
            char escaped[4];
            std::snprintf(escaped, sizeof escaped, "%%%02X", static_cast<unsigned char>(c));
            uri += escaped;
        } else {
            uri += c;
        }
    }
    return uri;
}

// A rename in the folder of path survives a power cut once this returns.
void SyncFolderOf(const std::string& path) {
    const std::string parent = ParentPath(path);
    const std::string folder = parent.empty() ? "/" : parent;
    const int fd = ::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return;
    ::fsync(fd);
    ::close(fd);
}

}  // namespace

uint32_t RegistryStore::QueryValues(const Key& key, const std::vector<std::string>& names,
                                    std::vector<ValueRead>* out) {
    // One value after the other; a store that can do better overrides this.
    out->assign(names.size(), ValueRead{});
    for (size_t i = 0; i < names.size(); ++i) {
        ValueRead& value = (*out)[i];
        uint32_t size = 0;
        value.rc = QueryValue(key, names[i], &value.type, nullptr, &size);
        if (value.rc == Win32::kFileNotFound) continue;
        if (value.rc != Win32::kSuccess) return value.rc;
        value.data.resize(size);
        value.rc = QueryValue(key, names[i], &value.type, value.data.data(), &size);
        if (value.rc != Win32::kSuccess && value.rc != Win32::kFileNotFound) return value.rc;
        value.data.resize(size);
    }
    return Win32::kSuccess;
}

namespace {

class SqliteRegistryStore final : public RegistryStore {
public:
    SqliteRegistryStore(std::string path, Visibility visibility)
        : RegistryStore(std::move(path)),
          visibility_(visibility),
          reader_copy_path_(visibility == Visibility::kGroupReadable ? ReaderCopyPath(this->path()) : "") {}
    ~SqliteRegistryStore() override { CloseDatabase(); }

    bool read_only() const override {
        std::lock_guard lock(mutex_);
        const_cast<SqliteRegistryStore*>(this)->EnsureOpen();
        return read_only_;
    }

    uint32_t OpenKey(const Key& parent, std::string_view sub_key, uint32_t access,
                     Key* out) override {
        std::lock_guard lock(mutex_);
        if (uint32_t rc = CheckKey(parent)) return rc;
        if (read_only_ && (access & kWriteRights)) return Win32::kAccessDenied;
        int64_t id = 0;
        if (uint32_t rc = Resolve(parent.id, sub_key, &id)) return rc;
        *out = Key{parent.store, id, access};
        return Win32::kSuccess;
    }

    uint32_t CreateKey(const Key& parent, std::string_view sub_key, uint32_t access, Key* out,
                       bool* created) override {
        std::lock_guard lock(mutex_);
        if (created) *created = false;
        if (uint32_t rc = CheckKey(parent)) return rc;
        std::vector<std::string_view> parts;
        if (!SplitKeyPath(sub_key, &parts)) return Win32::kBadPathName;
        if (read_only_) {
            if (access & kWriteRights) return Win32::kAccessDenied;
            int64_t id = 0;
            if (uint32_t rc = Resolve(parent.id, sub_key, &id)) {
                return rc == Win32::kFileNotFound ? Win32::kAccessDenied : rc;
            }
            *out = Key{parent.store, id, access};
            return Win32::kSuccess;
        }
        Transaction tx(this);
        if (uint32_t rc = tx.Begin()) return rc;
        int64_t id = parent.id;
        bool made_last = false;
        bool inserted = false;
        for (size_t i = 0; i < parts.size(); ++i) {
            int64_t child = 0;
            const uint32_t rc = FindChild(id, parts[i], &child);
            if (rc == Win32::kFileNotFound) {
                // A new key below parent needs the right to create subkeys there.
                if (i == 0 && !(parent.access & kKeyCreateSubKey)) return Win32::kAccessDenied;
                Statement insert(statements_, db_, "INSERT INTO keys(parent, name, fold) VALUES(?, ?, ?)");
                if (insert.Bind(1, id).Bind(2, parts[i]).Bind(3, Fold(parts[i])).Step() !=
                    SQLITE_DONE) {
                    return SqliteToWin32(insert.rc());
                }
                inserted = true;
                child = sqlite3_last_insert_rowid(db_);
                made_last = true;
            } else if (rc != Win32::kSuccess) {
                return rc;
            } else {
                made_last = false;
            }
            id = child;
        }
        if (uint32_t rc = tx.Commit()) return rc;
        if (inserted) Published(Win32::kSuccess);
        if (created) *created = made_last;
        *out = Key{parent.store, id, access};
        return Win32::kSuccess;
    }

    uint32_t DeleteKey(const Key& parent, std::string_view sub_key) override {
        std::lock_guard lock(mutex_);
        if (uint32_t rc = CheckKey(parent)) return rc;
        if (read_only_) return Win32::kAccessDenied;
        Transaction tx(this);
        if (uint32_t rc = tx.Begin()) return rc;
        int64_t id = 0;
        if (uint32_t rc = Resolve(parent.id, sub_key, &id)) return rc;
        if (id <= static_cast<int64_t>(RegistryRoot::kClassesRoot)) return Win32::kAccessDenied;
        Statement children(statements_, db_, "SELECT 1 FROM keys WHERE parent = ? LIMIT 1");
        const int step = children.Bind(1, id).Step();
        if (step == SQLITE_ROW) return Win32::kAccessDenied;
        if (step != SQLITE_DONE) return SqliteToWin32(children.rc());
        Statement values(statements_, db_, "DELETE FROM vals WHERE key = ?");
        if (values.Bind(1, id).Step() != SQLITE_DONE) return SqliteToWin32(values.rc());
        Statement key(statements_, db_, "DELETE FROM keys WHERE id = ?");
        if (key.Bind(1, id).Step() != SQLITE_DONE) return SqliteToWin32(key.rc());
        return Published(tx.Commit());
    }

    uint32_t QueryValue(const Key& key, std::string_view name, uint32_t* type, void* data,
                        uint32_t* size) override {
        std::lock_guard lock(mutex_);
        if (uint32_t rc = CheckKey(key)) return rc;
        if (!(key.access & kKeyQueryValue)) return Win32::kAccessDenied;
        if (empty_) return Win32::kFileNotFound;
        Statement select(statements_, db_, "SELECT type, data FROM vals WHERE key = ? AND fold = ?");
        const int step = select.Bind(1, key.id).Bind(2, Fold(name)).Step();
        if (step == SQLITE_DONE) return Win32::kFileNotFound;
        if (step != SQLITE_ROW) return SqliteToWin32(select.rc());
        const std::string blob = select.Blob(1);
        if (type) *type = static_cast<uint32_t>(select.Int(0));
        if (size == nullptr) return data ? Win32::kInvalidParameter : Win32::kSuccess;
        const uint32_t available = *size;
        *size = static_cast<uint32_t>(blob.size());
        if (data == nullptr) return Win32::kSuccess;
        if (blob.size() > available) return Win32::kMoreData;
        std::memcpy(data, blob.data(), blob.size());
        return Win32::kSuccess;
    }

    uint32_t QueryValues(const Key& key, const std::vector<std::string>& names,
                         std::vector<ValueRead>* out) override {
        std::lock_guard lock(mutex_);
        out->assign(names.size(), ValueRead{Win32::kFileNotFound, kRegNone, {}});
        if (uint32_t rc = CheckKey(key)) return rc;
        if (!(key.access & kKeyQueryValue)) return Win32::kAccessDenied;
        if (empty_) return Win32::kSuccess;
        // A deferred transaction: the selects below read one snapshot.
        if (const int rc = sqlite3_exec(db_, "BEGIN", nullptr, nullptr, nullptr); rc != SQLITE_OK) {
            return SqliteToWin32(rc);
        }
        uint32_t result = Win32::kSuccess;
        for (size_t i = 0; i < names.size() && result == Win32::kSuccess; ++i) {
            Statement select(statements_, db_, "SELECT type, data FROM vals WHERE key = ? AND fold = ?");
            const int step = select.Bind(1, key.id).Bind(2, Fold(names[i])).Step();
            if (step == SQLITE_ROW) {
                (*out)[i] = ValueRead{Win32::kSuccess, static_cast<uint32_t>(select.Int(0)), select.Blob(1)};
            } else if (step != SQLITE_DONE) {
                result = SqliteToWin32(select.rc());
            }
        }
        sqlite3_exec(db_, result == Win32::kSuccess ? "COMMIT" : "ROLLBACK", nullptr, nullptr, nullptr);
        return result;
    }

    uint32_t SetValue(const Key& key, std::string_view name, uint32_t type, const void* data,
                      uint32_t size) override {
        std::lock_guard lock(mutex_);
        if (uint32_t rc = CheckWritable(key)) return rc;
        return Published(Upsert(key, name, type, data, size));
    }

    uint32_t SetValues(const Key& key, const std::vector<ValueWrite>& values, size_t* failed,
                       ForReaders readers) override {
        std::lock_guard lock(mutex_);
        if (failed) *failed = 0;
        if (uint32_t rc = CheckWritable(key)) return rc;
        Transaction tx(this);
        if (uint32_t rc = tx.Begin()) return rc;
        for (size_t i = 0; i < values.size(); ++i) {
            const ValueWrite& value = values[i];
            const uint32_t rc = Upsert(key, value.name, value.type, value.data.data(),
                                       static_cast<uint32_t>(value.data.size()));
            if (rc != Win32::kSuccess) {
                if (failed) *failed = i;
                return rc;  // the transaction rolls back
            }
        }
        const uint32_t rc = tx.Commit();
        return readers == ForReaders::kNow ? Published(rc) : rc;
    }

    uint32_t DeleteValue(const Key& key, std::string_view name) override {
        std::lock_guard lock(mutex_);
        if (uint32_t rc = CheckKey(key)) return rc;
        if (read_only_ || !(key.access & kKeySetValue)) return Win32::kAccessDenied;
        Statement remove(statements_, db_, "DELETE FROM vals WHERE key = ? AND fold = ?");
        if (remove.Bind(1, key.id).Bind(2, Fold(name)).Step() != SQLITE_DONE) {
            return SqliteToWin32(remove.rc());
        }
        return sqlite3_changes(db_) ? Published(Win32::kSuccess) : Win32::kFileNotFound;
    }

    uint32_t EnumKey(const Key& key, uint32_t index, std::string* name) override {
        std::lock_guard lock(mutex_);
        if (uint32_t rc = CheckKey(key)) return rc;
        if (!(key.access & kKeyEnumerateSubKeys)) return Win32::kAccessDenied;
        if (empty_) return Win32::kNoMoreItems;
        Statement select(statements_, db_, "SELECT name FROM keys WHERE parent = ? ORDER BY fold LIMIT 1 OFFSET ?");
        const int step = select.Bind(1, key.id).Bind(2, int64_t{index}).Step();
        if (step == SQLITE_DONE) return Win32::kNoMoreItems;
        if (step != SQLITE_ROW) return SqliteToWin32(select.rc());
        *name = select.Text(0);
        return Win32::kSuccess;
    }

    uint32_t EnumValue(const Key& key, uint32_t index, std::string* name, uint32_t* type,
                       std::string* data) override {
        std::lock_guard lock(mutex_);
        if (uint32_t rc = CheckKey(key)) return rc;
        if (!(key.access & kKeyQueryValue)) return Win32::kAccessDenied;
        if (empty_) return Win32::kNoMoreItems;
        Statement select(statements_, db_,
                         "SELECT name, type, data FROM vals WHERE key = ? ORDER BY rowid "
                         "LIMIT 1 OFFSET ?");
        const int step = select.Bind(1, key.id).Bind(2, int64_t{index}).Step();
        if (step == SQLITE_DONE) return Win32::kNoMoreItems;
        if (step != SQLITE_ROW) return SqliteToWin32(select.rc());
        *name = select.Text(0);
        if (type) *type = static_cast<uint32_t>(select.Int(1));
        if (data) *data = select.Blob(2);
        return Win32::kSuccess;
    }

private:
    // BEGIN IMMEDIATE ... COMMIT; rolls back when not committed.
    class Transaction {
    public:
        explicit Transaction(SqliteRegistryStore* store) : db_(store->db_) {}
        ~Transaction() {
            if (open_) sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        }
        uint32_t Begin() {
            const int rc = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
            open_ = rc == SQLITE_OK;
            return SqliteToWin32(rc);
        }
        uint32_t Commit() {
            const int rc = sqlite3_exec(db_, "COMMIT", nullptr, nullptr, nullptr);
            if (rc == SQLITE_OK) open_ = false;
            return SqliteToWin32(rc);
        }

    private:
        sqlite3* db_;
        bool open_ = false;
    };

    // REQUIRES: mutex_ held. Opens the database on first use, again after a
    // failed attempt (the service may create the file later), and again when
    // the file at the path is no longer the one open (deleted, or replaced
    // by a restore or an administrator).
    uint32_t EnsureOpen() {
        if (db_ != nullptr) {
            struct stat st {};
            const int rc = ::stat(path().c_str(), &st);
            const bool gone = rc != 0 && errno == ENOENT;
            const bool replaced = rc == 0 && (st.st_dev != dev_ || st.st_ino != ino_);
            if (!gone && !replaced) return Win32::kSuccess;
            CloseDatabase();
        }
        read_only_ = false;
        empty_ = false;
        reading_copy_ = false;
        CreateFileIfMissing();
        int rc = sqlite3_open_v2(path().c_str(), &db_, SQLITE_OPEN_READWRITE | SQLITE_OPEN_FULLMUTEX,
                                 nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_close_v2(db_);
            db_ = nullptr;
            // A reader reads the copy the writers publish, without any lock
            // (it is only ever replaced whole); the store itself only where
            // no copy is (an older installation, or a store of its own).
            if (!reader_copy_path_.empty() && ::access(reader_copy_path_.c_str(), R_OK) == 0) {
                rc = sqlite3_open_v2(("file:" + UriPath(reader_copy_path_) + "?immutable=1").c_str(), &db_,
                                     SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX | SQLITE_OPEN_URI, nullptr);
                reading_copy_ = rc == SQLITE_OK;
                if (!reading_copy_) sqlite3_close_v2(db_);
            }
            if (!reading_copy_) {
                rc = sqlite3_open_v2(path().c_str(), &db_, SQLITE_OPEN_READONLY | SQLITE_OPEN_FULLMUTEX,
                                     nullptr);
            }
            if (rc != SQLITE_OK) {
                sqlite3_close_v2(db_);
                db_ = nullptr;
                // A file in a folder this account may not enter is denied
                // to it, not missing.
                const bool present_or_hidden = ::access(path().c_str(), F_OK) == 0 || errno == EACCES;
                return present_or_hidden ? Win32::kAccessDenied : Win32::kFileNotFound;
            }
            read_only_ = true;
        }
        // SQLite quietly opens a file it may not write read-only.
        if (sqlite3_db_readonly(db_, "main") == 1) read_only_ = true;
        struct stat st {};
        if (::stat(OpenPath().c_str(), &st) == 0) {
            dev_ = st.st_dev;
            ino_ = st.st_ino;
            // The store is its writers' alone: a reader that could open it
            // could hold the locks every save waits for.
            if (!read_only_ && st.st_uid == ::geteuid() && (st.st_mode & 077) != 0) ::chmod(path().c_str(), 0600);
        }
        sqlite3_busy_timeout(db_, kBusyTimeoutMs);
        const uint32_t rc_schema = read_only_ ? CheckSchema() : CreateSchema();
        if (rc_schema != Win32::kSuccess) {
            CloseDatabase();
        } else if (!read_only_ && !reader_copy_path_.empty() && ::access(reader_copy_path_.c_str(), F_OK) != 0) {
            // A store from before the copies, or a copy deleted: readers
            // get one without waiting for the next write.
            PublishReaderCopy();
        }
        return rc_schema;
    }

    // The file this connection reads: the store, or the readers' copy.
    const std::string& OpenPath() const { return reading_copy_ ? reader_copy_path_ : path(); }

    // REQUIRES: mutex_ held. rc, after the readers' copy was brought up to
    // date when rc says a write succeeded.
    uint32_t Published(uint32_t rc) {
        if (rc == Win32::kSuccess) PublishReaderCopy();
        return rc;
    }

    // REQUIRES: mutex_ held. Replaces the readers' copy (0640, group vexor)
    // with a snapshot of the store as it is now: written beside it, synced,
    // renamed over it. Publishers take turns (a flock on the store file,
    // which only its writers can open), so a later snapshot never loses to
    // an earlier one. On failure the previous copy stays and the next write
    // tries again.
    void PublishReaderCopy() {
        if (reader_copy_path_.empty() || read_only_ || db_ == nullptr) return;
        const int store = ::open(path().c_str(), O_RDONLY | O_CLOEXEC);
        if (store < 0) return;
        ::flock(store, LOCK_EX);
        std::string temp = reader_copy_path_ + ".XXXXXX";
        const int fd = ::mkostemp(temp.data(), O_CLOEXEC);
        bool ok = fd >= 0 && ::fchmod(fd, 0640) == 0;
        if (ok) GrantGroup(fd);
        sqlite3* copy = nullptr;
        ok = ok && sqlite3_open_v2(temp.c_str(), &copy, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
             sqlite3_exec(copy, "PRAGMA journal_mode = OFF; PRAGMA synchronous = OFF;", nullptr, nullptr,
                          nullptr) == SQLITE_OK;
        if (ok) {
            sqlite3_backup* backup = sqlite3_backup_init(copy, "main", db_, "main");
            ok = backup != nullptr && sqlite3_backup_step(backup, -1) == SQLITE_DONE;
            ok = sqlite3_backup_finish(backup) == SQLITE_OK && ok;
        }
        sqlite3_close_v2(copy);
        ok = ok && ::fsync(fd) == 0 && ::rename(temp.c_str(), reader_copy_path_.c_str()) == 0;
        if (!ok && fd >= 0) ::unlink(temp.c_str());
        if (fd >= 0) ::close(fd);
        if (ok) SyncFolderOf(reader_copy_path_);
        ::close(store);
    }

    // REQUIRES: mutex_ held (or the destructor). The statements go first:
    // a connection with statements left would stay open.
    void CloseDatabase() {
        statements_.Clear();
        if (db_ != nullptr) sqlite3_close_v2(db_);
        db_ = nullptr;
    }

    // The file is created by us, whatever the umask: mode 0600, its
    // writers' alone (readers of a group-readable store read its copy).
    void CreateFileIfMissing() {
        if (::access(path().c_str(), F_OK) == 0) return;
        EnsureDirectory(ParentPath(path()), true);
        const int fd = ::open(path().c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0) return;
        ::fchmod(fd, 0600);
        ::fsync(fd);
        ::close(fd);
    }

    static void GrantGroup(int fd) {
        if (const auto vexor = GroupId("vexor")) {
            if (::fchown(fd, static_cast<uid_t>(-1), *vexor) != 0) {
                // Not fatal: root can still read and write; readers need the group.
            }
        }
    }

    uint32_t CreateSchema() {
        // Rollback journal (not WAL): a reader that may only read the file
        // needs no shared-memory file beside it. A commit is the journal's
        // unlink: EXTRA also syncs the folder after it, so a commit is
        // durable before the call returns (with FULL, a power cut right
        // after it can bring the journal back, and the next open rolls the
        // reported write back).
        const char* kSetup =
            "PRAGMA journal_mode = DELETE;"
            "PRAGMA synchronous = EXTRA;";
        int rc = sqlite3_exec(db_, kSetup, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) return SqliteToWin32(rc);
        int64_t version = 0;
        if (uint32_t err = UserVersion(&version)) return err;
        if (version == kSchemaVersion) return Win32::kSuccess;
        if (version != 0) return Win32::kRegistryCorrupt;
        const char* kSchema =
            "BEGIN IMMEDIATE;"
            "CREATE TABLE IF NOT EXISTS keys(id INTEGER PRIMARY KEY, parent INTEGER NOT NULL,"
            " name TEXT NOT NULL, fold TEXT NOT NULL, UNIQUE(parent, fold));"
            "CREATE TABLE IF NOT EXISTS vals(key INTEGER NOT NULL, name TEXT NOT NULL,"
            " fold TEXT NOT NULL, type INTEGER NOT NULL, data BLOB NOT NULL,"
            " PRIMARY KEY(key, fold));"
            "INSERT OR IGNORE INTO keys(id, parent, name, fold) VALUES"
            " (1, 0, 'HKEY_LOCAL_MACHINE', 'hkey_local_machine'),"
            " (2, 0, 'HKEY_CLASSES_ROOT', 'hkey_classes_root');"
            "PRAGMA user_version = 1;"
            "COMMIT;";
        rc = sqlite3_exec(db_, kSchema, nullptr, nullptr, nullptr);
        if (rc != SQLITE_OK) {
            sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
            return SqliteToWin32(rc);
        }
        return Win32::kSuccess;
    }

    uint32_t CheckSchema() {
        int64_t version = 0;
        if (uint32_t err = UserVersion(&version)) return err;
        if (version == 0) {
            empty_ = true;  // nobody has written the store yet
        } else if (version != kSchemaVersion) {
            return Win32::kRegistryCorrupt;
        }
        return Win32::kSuccess;
    }

    uint32_t UserVersion(int64_t* version) {
        Statement pragma(statements_, db_, "PRAGMA user_version");
        if (pragma.Step() != SQLITE_ROW) return SqliteToWin32(pragma.rc());
        *version = pragma.Int(0);
        return Win32::kSuccess;
    }

    // REQUIRES: mutex_ held.
    uint32_t CheckWritable(const Key& key) {
        if (uint32_t rc = CheckKey(key)) return rc;
        if (read_only_ || !(key.access & kKeySetValue)) return Win32::kAccessDenied;
        return Win32::kSuccess;
    }

    // REQUIRES: mutex_ held, CheckWritable passed.
    uint32_t Upsert(const Key& key, std::string_view name, uint32_t type, const void* data,
                    uint32_t size) {
        if (name.size() > kMaxValueNameLength || size > kMaxValueBytes) {
            return Win32::kInvalidParameter;
        }
        Statement upsert(statements_, db_,
                         "INSERT INTO vals(key, name, fold, type, data) VALUES(?, ?, ?, ?, ?) "
                         "ON CONFLICT(key, fold) DO UPDATE SET type = excluded.type, "
                         "data = excluded.data");
        upsert.Bind(1, key.id).Bind(2, name).Bind(3, Fold(name)).Bind(4, int64_t{type});
        if (upsert.BindBlob(5, data, size).Step() != SQLITE_DONE) return SqliteToWin32(upsert.rc());
        return Win32::kSuccess;
    }

    // REQUIRES: mutex_ held. The store is open and key still exists.
    uint32_t CheckKey(const Key& key) {
        if (!key.valid() || key.store.get() != this) return Win32::kInvalidHandle;
        if (uint32_t rc = EnsureOpen()) return rc;
        if (key.id <= static_cast<int64_t>(RegistryRoot::kClassesRoot) && key.id > 0) {
            return Win32::kSuccess;
        }
        if (empty_) return Win32::kKeyDeleted;
        Statement select(statements_, db_, "SELECT 1 FROM keys WHERE id = ?");
        const int step = select.Bind(1, key.id).Step();
        if (step == SQLITE_ROW) return Win32::kSuccess;
        return step == SQLITE_DONE ? Win32::kKeyDeleted : SqliteToWin32(select.rc());
    }

    uint32_t FindChild(int64_t parent, std::string_view name, int64_t* id) {
        if (empty_) return Win32::kFileNotFound;
        Statement select(statements_, db_, "SELECT id FROM keys WHERE parent = ? AND fold = ?");
        const int step = select.Bind(1, parent).Bind(2, Fold(name)).Step();
        if (step == SQLITE_DONE) return Win32::kFileNotFound;
        if (step != SQLITE_ROW) return SqliteToWin32(select.rc());
        *id = select.Int(0);
        return Win32::kSuccess;
    }

    uint32_t Resolve(int64_t parent, std::string_view path, int64_t* id) {
        std::vector<std::string_view> parts;
        if (!SplitKeyPath(path, &parts)) return Win32::kBadPathName;
        int64_t current = parent;
        for (std::string_view part : parts) {
            if (uint32_t rc = FindChild(current, part, &current)) return rc;
        }
        *id = current;
        return Win32::kSuccess;
    }

    const Visibility visibility_;
    const std::string reader_copy_path_;  // "" for a private store
    mutable std::mutex mutex_;
    sqlite3* db_ = nullptr;   // GUARDED_BY(mutex_)
    StatementCache statements_;  // GUARDED_BY(mutex_); of db_
    dev_t dev_ = 0;           // GUARDED_BY(mutex_): the open file's identity
    ino_t ino_ = 0;           // GUARDED_BY(mutex_)
    bool read_only_ = false;  // GUARDED_BY(mutex_)
    bool reading_copy_ = false;  // GUARDED_BY(mutex_): the readers' copy is open
    bool empty_ = false;      // GUARDED_BY(mutex_): read-only file without a schema yet
};

}  // namespace

RegistryStore::Key RegistryStore::Root(RegistryRoot root) {
    return Key{shared_from_this(), static_cast<int64_t>(root), kKeyAllAccess};
}

namespace {

std::mutex g_stores_mutex;
std::map<std::string, std::weak_ptr<RegistryStore>> g_stores;  // GUARDED_BY(g_stores_mutex)

}  // namespace

std::shared_ptr<RegistryStore> RegistryStore::ForPath(const std::string& path, Visibility visibility) {
    std::lock_guard lock(g_stores_mutex);
    std::weak_ptr<RegistryStore>& slot = g_stores[path];
    if (auto store = slot.lock()) return store;
    auto store = std::make_shared<SqliteRegistryStore>(path, visibility);
    slot = store;
    return store;
}

void RegistryStore::ServeForTesting(const std::string& path, const std::shared_ptr<RegistryStore>& store) {
    std::lock_guard lock(g_stores_mutex);
    g_stores[path] = store;
}

std::shared_ptr<RegistryStore> RegistryStore::Default() {
    return ForPath(MachineLayout::RegistryStorePath());
}

std::shared_ptr<RegistryStore> RegistryStore::Secrets() {
    return ForPath(MachineLayout::SecretsStorePath(), Visibility::kPrivate);
}

}  // namespace TesselSoftware
