// The database maintenance pass and the markers that keep it apart from the database's users.
#pragma once

#include "ntfdb_api.h"

namespace qm::monitor {

// Runs one pass unless a user holds "NtfDBNotCompact": deletion by age and by size, each
// followed by a log compaction when it succeeded, then the status compaction. 0 when the pass
// ran or was skipped; -1 when the markers misbehaved (the polling loop then ends).
int RunMaintenance(const NtfDbApi& db);

// The maintenance interval in seconds: "CompactInterval" minutes from the monitor's registry
// key, one day when the value cannot be read.
long MaintenanceIntervalSeconds();

}  // namespace qm::monitor
