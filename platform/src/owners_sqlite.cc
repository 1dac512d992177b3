// The SQLite connection owner, in its own library so that only SQLite users link SQLite.
#include <sqlite3.h>

#include "qm/platform/owners.h"

namespace qm::platform {

void SqliteTraits::Release(sqlite3* db) { sqlite3_close_v2(db); }

}  // namespace qm::platform
