// File sets on SQLite: each record is one row holding its exact bytes and its comparable keys,
// so a record and its index entries are always written by the same statement.
#include "sqlite_file.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <thread>

#include "QBUtil.h"

namespace qm::isam {

namespace {

constexpr const char* kModule = "CTREESTD";

// Statement slots: six seeks per index, then the record statements.
constexpr size_t kSeeks = 6;
enum RecordSlot : size_t { kReadAt, kInsert, kUpdate, kDelete, kCount, kSetKeys, kRecordSlots };

int MapResult(int rc) {
    switch (rc & 0xFF) {
        case SQLITE_OK:
        case SQLITE_DONE:
        case SQLITE_ROW: return ISAM_OK;
        case SQLITE_CONSTRAINT: return ISAM_KEY_DUPLICATE;
        case SQLITE_BUSY:
        case SQLITE_LOCKED: return ISAM_BUSY;
        default: return ISAM_IO_ERROR;
    }
}

std::string Column(size_t index) { return "k" + std::to_string(index + 1); }

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

int OpenConnection(const std::string& path, int flags, platform::UniqueSqlite& owner) {
    sqlite3* db = nullptr;
    int rc = sqlite3_open_v2(path.c_str(), &db, flags | SQLITE_OPEN_NOMUTEX, nullptr);
    owner.reset(db);  // even a failed open hands back a connection to close
    if (rc != SQLITE_OK) {
        owner.reset();
        return rc;
    }
    sqlite3_busy_timeout(db, BusyWaitMs());
    // In WAL mode NORMAL keeps every committed transaction across a killed process; only a
    // power cut may lose the last ones, never consistency.
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    // Group records are 6 KiB each: the default 2 MB cache would not hold a few hundred.
    // Beyond the cache, pages are read through a mapping rather than one read call each, so
    // a walk over a file larger than the cache still costs the same per record.
    sqlite3_exec(db, "PRAGMA cache_size=-16384; PRAGMA mmap_size=268435456", nullptr, nullptr,
                 nullptr);
    return SQLITE_OK;
}

}  // namespace

int BusyWaitMs() {
    static const int ms = [] {
        const char* v = std::getenv("QM_ISAM_BUSY_MS");
        int n = v ? std::atoi(v) : 0;
        return n > 0 ? n : 30000;
    }();
    return ms;
}

SqliteFile::SqliteFile(platform::UniqueSqlite db, std::string path, Layout layout)
    : db_(std::move(db)),
      path_(std::move(path)),
      layout_(std::move(layout)),
      describe_(layout_.Describe()),
      pid_(::getpid()) {
    statements_.assign(layout_.indexes.size() * kSeeks + kRecordSlots, nullptr);
    cursors_.assign(layout_.indexes.size(), nullptr);
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0) {
        device_ = st.st_dev;
        inode_ = st.st_ino;
        size_ = st.st_size;
        modified_ = st.st_mtim;
    }
}

SqliteFile::~SqliteFile() {
    // A forked child must not touch its parent's connection (SQLite's locks and shared
    // memory belong to the parent); the child just lets it go.
    if (::getpid() != pid_) {
        db_.release();
        return;
    }
    StopCursor();
    if (inTransaction_) Commit();
    for (auto* s : statements_) sqlite3_finalize(s);
    for (auto* s : cursors_) sqlite3_finalize(s);
}

bool SqliteFile::Reusable(const std::string& path, const std::string& describe) const {
    if (path != path_ || describe != describe_ || ::getpid() != pid_ || inTransaction_ || cursor_)
        return false;
    struct stat st {};
    // Replaced, removed or rewritten from outside under the same name: the connection would
    // go on with what it knew of the old file. A checkpoint changes the file too; that only
    // costs a new connection now and then.
    return ::stat(path.c_str(), &st) == 0 && st.st_dev == device_ && st.st_ino == inode_ &&
           st.st_size == size_ && st.st_mtim.tv_sec == modified_.tv_sec &&
           st.st_mtim.tv_nsec == modified_.tv_nsec;
}

int SqliteFile::Open(const std::string& path, const Layout& layout,
                     std::unique_ptr<SqliteFile>& out) {
    if (!FileExists(path)) return ISAM_FILE_MISSING;
    platform::UniqueSqlite db;
    int rc = OpenConnection(path, SQLITE_OPEN_READWRITE, db);
    if (rc != SQLITE_OK) return FileExists(path) ? MapResult(rc) : ISAM_FILE_MISSING;
    // The file remembers the layout it was made with; opening it with another one would
    // read records and keys at the wrong places.
    sqlite3_stmt* st = nullptr;
    rc = sqlite3_prepare_v2(db.get(), "SELECT layout FROM fileset", -1, &st, nullptr);
    std::string stored;
    if (rc == SQLITE_OK && (rc = sqlite3_step(st)) == SQLITE_ROW) {
        const auto* text = sqlite3_column_text(st, 0);
        stored = text ? reinterpret_cast<const char*>(text) : "";
        rc = SQLITE_OK;
    }
    sqlite3_finalize(st);
    if (rc != SQLITE_OK) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "CTREESTD: open %s: %s", path.c_str(),
                sqlite3_errmsg(db.get()));
        int r = MapResult(rc);
        return r == ISAM_OK ? ISAM_BAD_DEFINITION : r;
    }
    if (stored != layout.Describe()) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "CTREESTD: %s holds \"%s\"", path.c_str(),
                stored.c_str());
        return ISAM_BAD_DEFINITION;
    }
    out.reset(new SqliteFile(std::move(db), path, layout));
    return ISAM_OK;
}

int SqliteFile::Create(const std::string& path, const Layout& layout) {
    if (FileExists(path)) return ISAM_FILE_EXISTS;
    std::string temp = path + ".new." + std::to_string(::getpid()) + "." +
                       std::to_string(std::hash<std::thread::id>{}(std::this_thread::get_id()));
    ::unlink(temp.c_str());
    platform::UniqueSqlite db;
    int rc = OpenConnection(temp, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, db);
    if (rc != SQLITE_OK) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "CTREESTD: cannot create %s", temp.c_str());
        return rc == SQLITE_CANTOPEN ? ISAM_FILE_MISSING : MapResult(rc);
    }
    std::string sql =
        "PRAGMA journal_mode=WAL;BEGIN;"
        "CREATE TABLE fileset(layout TEXT NOT NULL, data_file TEXT NOT NULL);"
        "CREATE TABLE records(pos INTEGER PRIMARY KEY AUTOINCREMENT, data BLOB NOT NULL";
    for (size_t k = 0; k < layout.indexes.size(); ++k) sql += ", " + Column(k) + " BLOB";
    sql += ");";
    for (size_t k = 0; k < layout.indexes.size(); ++k) {
        sql += "CREATE UNIQUE INDEX index" + std::to_string(k + 1) + " ON records(" + Column(k) +
               ");";
    }
    sql += "COMMIT;";
    char* err = nullptr;
    rc = sqlite3_exec(db.get(), sql.c_str(), nullptr, nullptr, &err);
    if (rc == SQLITE_OK) {
        sqlite3_stmt* st = nullptr;
        rc = sqlite3_prepare_v2(db.get(), "INSERT INTO fileset VALUES(?1, ?2)", -1, &st, nullptr);
        if (rc == SQLITE_OK) {
            std::string describe = layout.Describe();
            sqlite3_bind_text(st, 1, describe.c_str(), -1, SQLITE_TRANSIENT);
            sqlite3_bind_text(st, 2, path.c_str(), -1, SQLITE_TRANSIENT);
            rc = sqlite3_step(st) == SQLITE_DONE ? SQLITE_OK : SQLITE_ERROR;
        }
        sqlite3_finalize(st);
    }
    if (rc != SQLITE_OK) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "CTREESTD: schema of %s: %s", path.c_str(),
                err ? err : sqlite3_errmsg(db.get()));
    }
    sqlite3_free(err);
    // The new file must be whole before it is linked into place: fold the log back in.
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db.get(), "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    db.reset();
    if (rc != SQLITE_OK) {
        ::unlink(temp.c_str());
        return MapResult(rc);
    }
    int linked = ::link(temp.c_str(), path.c_str());
    int err_no = errno;
    ::unlink(temp.c_str());
    for (const char* suffix : {"-wal", "-shm"}) ::unlink((temp + suffix).c_str());
    if (linked != 0) return err_no == EEXIST ? ISAM_FILE_EXISTS : ISAM_IO_ERROR;
    return ISAM_OK;
}

int SqliteFile::Compact(const std::string& path) {
    if (!FileExists(path)) return ISAM_FILE_MISSING;
    platform::UniqueSqlite db;
    int rc = OpenConnection(path, SQLITE_OPEN_READWRITE, db);
    if (rc == SQLITE_OK) rc = sqlite3_exec(db.get(), "VACUUM", nullptr, nullptr, nullptr);
    if (rc == SQLITE_OK)
        rc = sqlite3_exec(db.get(), "PRAGMA wal_checkpoint(TRUNCATE)", nullptr, nullptr, nullptr);
    if (rc != SQLITE_OK && db) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "CTREESTD: compact %s: %s", path.c_str(),
                sqlite3_errmsg(db.get()));
    }
    return MapResult(rc);
}

sqlite3_stmt* SqliteFile::Statement(size_t slot, const std::string& sql) {
    if (!statements_[slot]) {
        if (sqlite3_prepare_v3(db_.get(), sql.c_str(), -1, SQLITE_PREPARE_PERSISTENT,
                               &statements_[slot], nullptr) != SQLITE_OK) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "CTREESTD: prepare %s: %s", sql.c_str(),
                    sqlite3_errmsg(db_.get()));
            return nullptr;
        }
    } else {
        sqlite3_reset(statements_[slot]);
        sqlite3_clear_bindings(statements_[slot]);
    }
    return statements_[slot];
}

int SqliteFile::Fail(int rc, const char* what) {
    QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "CTREESTD: %s on %s: %s", what, path_.c_str(),
            sqlite3_errmsg(db_.get()));
    return MapResult(rc) == ISAM_OK ? ISAM_IO_ERROR : MapResult(rc);
}

int SqliteFile::StepToRow(sqlite3_stmt* st, const char* what) {
    int rc = sqlite3_step(st);
    if (rc == SQLITE_ROW) return ISAM_OK;
    int r = rc == SQLITE_DONE ? ISAM_END : Fail(rc, what);
    sqlite3_reset(st);
    return r;
}

void SqliteFile::StopCursor() {
    if (cursor_) sqlite3_reset(cursor_);
    cursor_ = nullptr;
}

int SqliteFile::ReadRow(sqlite3_stmt* st, Row& out) {
    out.position = sqlite3_column_int64(st, 0);
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(st, 1));
    int n = sqlite3_column_bytes(st, 1);
    out.data.assign(layout_.recordLength, 0);
    if (bytes) std::memcpy(out.data.data(), bytes, std::min(n, layout_.recordLength));
    const auto* k = static_cast<const char*>(sqlite3_column_blob(st, 2));
    out.key.assign(k ? k : "", k ? sqlite3_column_bytes(st, 2) : 0);
    return ISAM_OK;
}

int SqliteFile::Find(size_t index, Seek how, const std::string& key, Row& out) {
    if (index >= layout_.indexes.size()) return ISAM_BAD_FILE_NUMBER;
    const std::string col = Column(index);
    if (how == Seek::Greater) {
        // The next step of a forward walk: the open statement is already there.
        if (!(cursor_ && cursorIndex_ == index && cursorKey_ == key)) {
            StopCursor();
            sqlite3_stmt*& st = cursors_[index];
            if (!st &&
                sqlite3_prepare_v3(db_.get(),
                                   ("SELECT pos, data, " + col + " FROM records WHERE " + col +
                                    " > ?1 ORDER BY " + col)
                                       .c_str(),
                                   -1, SQLITE_PREPARE_PERSISTENT, &st, nullptr) != SQLITE_OK) {
                return Fail(SQLITE_ERROR, "prepare walk");
            }
            sqlite3_bind_blob(st, 1, key.data(), static_cast<int>(key.size()), SQLITE_TRANSIENT);
            cursor_ = st;
            cursorIndex_ = index;
        }
        int rc = sqlite3_step(cursor_);
        if (rc != SQLITE_ROW) {
            StopCursor();
            return rc == SQLITE_DONE ? ISAM_END : Fail(rc, "walk");
        }
        ReadRow(cursor_, out);
        cursorKey_ = out.key;
        return ISAM_OK;
    }
    StopCursor();
    std::string where;
    switch (how) {
        case Seek::Equal: where = " WHERE " + col + " = ?1 LIMIT 1"; break;
        case Seek::GreaterEqual:
            where = " WHERE " + col + " >= ?1 ORDER BY " + col + " LIMIT 1";
            break;
        case Seek::Greater: where = " WHERE " + col + " > ?1 ORDER BY " + col + " LIMIT 1"; break;
        case Seek::Less: where = " WHERE " + col + " < ?1 ORDER BY " + col + " DESC LIMIT 1"; break;
        case Seek::First:
            where = " WHERE " + col + " IS NOT NULL ORDER BY " + col + " LIMIT 1";
            break;
        case Seek::Last:
            where = " WHERE " + col + " IS NOT NULL ORDER BY " + col + " DESC LIMIT 1";
            break;
    }
    sqlite3_stmt* st = Statement(index * kSeeks + static_cast<size_t>(how),
                                 "SELECT pos, data, " + col + " FROM records" + where);
    if (!st) return ISAM_IO_ERROR;
    if (how != Seek::First && how != Seek::Last)
        sqlite3_bind_blob(st, 1, key.data(), static_cast<int>(key.size()), SQLITE_STATIC);
    if (int r = StepToRow(st, "find"); r != ISAM_OK) return r;
    ReadRow(st, out);
    sqlite3_reset(st);
    return ISAM_OK;
}

int SqliteFile::ReadAt(int64_t position, Row& out) {
    StopCursor();
    sqlite3_stmt* st = Statement(statements_.size() - kRecordSlots + kReadAt,
                                 "SELECT data FROM records WHERE pos = ?1");
    if (!st) return ISAM_IO_ERROR;
    sqlite3_bind_int64(st, 1, position);
    if (int r = StepToRow(st, "read"); r != ISAM_OK) return r;
    out.position = position;
    const auto* bytes = static_cast<const unsigned char*>(sqlite3_column_blob(st, 0));
    int n = sqlite3_column_bytes(st, 0);
    out.data.assign(layout_.recordLength, 0);
    if (bytes) std::memcpy(out.data.data(), bytes, std::min(n, layout_.recordLength));
    out.key.clear();
    sqlite3_reset(st);
    return ISAM_OK;
}

int SqliteFile::Insert(const unsigned char* record, int64_t& position) {
    StopCursor();
    const size_t base = statements_.size() - kRecordSlots;
    std::span<const unsigned char> rec(record, layout_.recordLength);
    bool anyDuplicates = false;
    std::string cols = "data", params = "?1";
    for (size_t k = 0; k < layout_.indexes.size(); ++k) {
        cols += ", " + Column(k);
        params += ", ?" + std::to_string(k + 2);
        anyDuplicates |= layout_.indexes[k].duplicates;
    }
    // Keys of duplicate indexes end with the record position, known only after the insert;
    // both steps run in one transaction so no reader ever sees the row without its keys.
    bool own = anyDuplicates && !inTransaction_;
    if (own) {
        int r = Begin();
        if (r != ISAM_OK) return r;
    }
    auto finish = [&](int r) {
        if (own) {
            if (r == ISAM_OK) r = Commit();
            else Rollback();
        }
        return r;
    };
    sqlite3_stmt* st =
        Statement(base + kInsert, "INSERT INTO records(" + cols + ") VALUES(" + params + ")");
    if (!st) return finish(ISAM_IO_ERROR);
    sqlite3_bind_blob(st, 1, record, layout_.recordLength, SQLITE_STATIC);
    std::vector<std::string> keys(layout_.indexes.size());
    for (size_t k = 0; k < layout_.indexes.size(); ++k) {
        if (layout_.indexes[k].duplicates) continue;  // NULL until the position is known
        keys[k] = KeyFromRecord(layout_.indexes[k], rec, 0);
        sqlite3_bind_blob(st, static_cast<int>(k + 2), keys[k].data(),
                          static_cast<int>(keys[k].size()), SQLITE_STATIC);
    }
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) {
        return finish((rc & 0xFF) == SQLITE_CONSTRAINT ? ISAM_KEY_DUPLICATE : Fail(rc, "add"));
    }
    position = sqlite3_last_insert_rowid(db_.get());
    if (anyDuplicates) {
        std::string set;
        for (size_t k = 0; k < layout_.indexes.size(); ++k) {
            if (!layout_.indexes[k].duplicates) continue;
            if (!set.empty()) set += ", ";
            set += Column(k) + " = ?" + std::to_string(k + 2);
        }
        st = Statement(base + kSetKeys, "UPDATE records SET " + set + " WHERE pos = ?1");
        if (!st) return finish(ISAM_IO_ERROR);
        sqlite3_bind_int64(st, 1, position);
        for (size_t k = 0; k < layout_.indexes.size(); ++k) {
            if (!layout_.indexes[k].duplicates) continue;
            keys[k] = KeyFromRecord(layout_.indexes[k], rec, position);
            sqlite3_bind_blob(st, static_cast<int>(k + 2), keys[k].data(),
                              static_cast<int>(keys[k].size()), SQLITE_STATIC);
        }
        rc = sqlite3_step(st);
        sqlite3_reset(st);
        if (rc != SQLITE_DONE) return finish(Fail(rc, "add keys"));
    }
    return finish(ISAM_OK);
}

int SqliteFile::Update(int64_t position, const unsigned char* record) {
    StopCursor();
    const size_t base = statements_.size() - kRecordSlots;
    std::string set = "data = ?2";
    for (size_t k = 0; k < layout_.indexes.size(); ++k)
        set += ", " + Column(k) + " = ?" + std::to_string(k + 3);
    sqlite3_stmt* st = Statement(base + kUpdate, "UPDATE records SET " + set + " WHERE pos = ?1");
    if (!st) return ISAM_IO_ERROR;
    std::span<const unsigned char> rec(record, layout_.recordLength);
    std::vector<std::string> keys(layout_.indexes.size());
    sqlite3_bind_int64(st, 1, position);
    sqlite3_bind_blob(st, 2, record, layout_.recordLength, SQLITE_STATIC);
    for (size_t k = 0; k < layout_.indexes.size(); ++k) {
        keys[k] = KeyFromRecord(layout_.indexes[k], rec, position);
        sqlite3_bind_blob(st, static_cast<int>(k + 3), keys[k].data(),
                          static_cast<int>(keys[k].size()), SQLITE_STATIC);
    }
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE)
        return (rc & 0xFF) == SQLITE_CONSTRAINT ? ISAM_KEY_DUPLICATE : Fail(rc, "rewrite");
    return sqlite3_changes(db_.get()) == 1 ? ISAM_OK : ISAM_NO_CURRENT;
}

int SqliteFile::Delete(int64_t position) {
    StopCursor();
    sqlite3_stmt* st = Statement(statements_.size() - kRecordSlots + kDelete,
                                 "DELETE FROM records WHERE pos = ?1");
    if (!st) return ISAM_IO_ERROR;
    sqlite3_bind_int64(st, 1, position);
    int rc = sqlite3_step(st);
    sqlite3_reset(st);
    if (rc != SQLITE_DONE) return Fail(rc, "delete");
    return sqlite3_changes(db_.get()) == 1 ? ISAM_OK : ISAM_NO_CURRENT;
}

long SqliteFile::Count() {
    StopCursor();
    sqlite3_stmt* st = Statement(statements_.size() - kRecordSlots + kCount,
                                 "SELECT count(*) FROM records");
    if (!st) return -1;
    long n = sqlite3_step(st) == SQLITE_ROW ? static_cast<long>(sqlite3_column_int64(st, 0)) : -1;
    sqlite3_reset(st);
    return n;
}

int SqliteFile::Exec(const char* sql) {
    int rc = sqlite3_exec(db_.get(), sql, nullptr, nullptr, nullptr);
    return rc == SQLITE_OK ? ISAM_OK : Fail(rc, sql);
}

int SqliteFile::Begin() {
    StopCursor();
    if (inTransaction_) return ISAM_OK;
    int r = Exec("BEGIN IMMEDIATE");
    if (r == ISAM_OK) inTransaction_ = true;
    return r;
}

int SqliteFile::Commit() {
    StopCursor();
    if (!inTransaction_) return ISAM_OK;
    int r = Exec("COMMIT");
    if (r != ISAM_OK) Rollback();
    inTransaction_ = false;
    return r;
}

void SqliteFile::Rollback() {
    if (!inTransaction_) return;
    sqlite3_exec(db_.get(), "ROLLBACK", nullptr, nullptr, nullptr);
    inTransaction_ = false;
}

}  // namespace qm::isam
