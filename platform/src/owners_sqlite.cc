// The SQLite connection owner, in its own library so that only SQLite users link SQLite.
#include <sqlite3.h>

#include "qm/platform/owners.h"

namespace qm::platform {

void UniqueSqlite::reset(sqlite3* db) {
    if (db_ && db_ != db) sqlite3_close_v2(db_);
    db_ = db;
}

}  // namespace qm::platform
