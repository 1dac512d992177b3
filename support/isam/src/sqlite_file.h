// One file set kept in one SQLite file: records with their index keys, and the statements on them.
#pragma once

#include <sqlite3.h>

#include "qm/platform/owners.h"
#include <sys/types.h>

#include <ctime>

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "keys.h"

namespace qm::isam {

struct Row {
    int64_t position = 0;
    std::vector<unsigned char> data;
    std::string key;  // of the index the row was found by
};

enum class Seek { Equal, GreaterEqual, Greater, Less, First, Last };

class SqliteFile {
public:
    ~SqliteFile();
    SqliteFile(const SqliteFile&) = delete;
    SqliteFile& operator=(const SqliteFile&) = delete;

    // ISAM_OK, ISAM_FILE_MISSING, ISAM_BAD_DEFINITION (the file holds another layout) or an
    // error from SQLite.
    static int Open(const std::string& path, const Layout& layout,
                    std::unique_ptr<SqliteFile>& out);
    // Creates the file set atomically: built beside the target, then linked into place, so
    // a concurrent creator or a crash never leaves a half-made file under the real name.
    static int Create(const std::string& path, const Layout& layout);
    // Rebuilds the file without free pages and folds the write-ahead log back in.
    static int Compact(const std::string& path);

    const std::string& path() const { return path_; }
    // True when this (idle) connection still serves the file now named `path` with the
    // layout `describe`, so that it can be handed out again instead of a new one.
    bool Reusable(const std::string& path, const std::string& describe) const;
    const Layout& layout() const { return layout_; }
    bool inTransaction() const { return inTransaction_; }

    int Find(size_t index, Seek how, const std::string& key, Row& out);
    int ReadAt(int64_t position, Row& out);
    int Insert(const unsigned char* record, int64_t& position);
    int Update(int64_t position, const unsigned char* record);
    int Delete(int64_t position);
    long Count();

    int Begin();
    int Commit();
    void Rollback();

private:
    SqliteFile(platform::UniqueSqlite db, std::string path, Layout layout);
    sqlite3_stmt* Statement(size_t slot, const std::string& sql);
    int ReadRow(sqlite3_stmt* st, Row& out);
    // Forward walks continue one open statement instead of seeking again for every step.
    void StopCursor();
    int Exec(const char* sql);
    int Fail(int sqliteResult, const char* what);
    // Steps a one-row query: ISAM_OK on its row; else ISAM_END or the failure, the statement reset.
    int StepToRow(sqlite3_stmt* st, const char* what);

    platform::UniqueSqlite db_;
    std::string path_;
    Layout layout_;
    std::string describe_;
    pid_t pid_;
    dev_t device_ = 0;
    ino_t inode_ = 0;
    off_t size_ = 0;
    timespec modified_{};
    bool inTransaction_ = false;
    std::vector<sqlite3_stmt*> statements_;
    std::vector<sqlite3_stmt*> cursors_;  // per index: "greater than, in order", no limit
    sqlite3_stmt* cursor_ = nullptr;      // the one stepping now, if any
    size_t cursorIndex_ = 0;
    std::string cursorKey_;               // the key it returned last
};

// Busy wait for another writer, in ms (QM_ISAM_BUSY_MS, default 30000).
int BusyWaitMs();

}  // namespace qm::isam
