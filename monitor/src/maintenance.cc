// Maintenance runs only while no program uses the database.
#include "maintenance.h"

#include "qm/ipc/names.h"
#include "qm/ipc/objects.h"
#include "qm/ipc/settings.h"
#include "QBUtil.h"

namespace qm::monitor {

long MaintenanceIntervalSeconds() {
    qm::ipc::RegistryValue v;
    if (v.Read(qm::ipc::kMonitorKey, "CompactInterval") != 0) return 86400;
    return qm::ipc::DecimalValue(v.text()) * 60;
}

int RunMaintenance(const NtfDbApi& db) {
    qm::ipc::NamedMutex inUse;
    if (inUse.Open(qm::ipc::kDbNotCompact) == 0) {
        QbTrace(QB_TRACE_INFO, "QMONMGR", __LINE__, "QMONMGR: maintenance skipped, database in use");
        return inUse.Close() == 0 ? 0 : -1;
    }
    qm::ipc::NamedMutex compact;
    if (compact.Create(qm::ipc::kDbCompact) != 0) return -1;  // 183 too: someone else compacts
    if (db.DBDeleteTerm() == 0) db.DBCompactLog();
    if (db.DBDeleteSize() == 0) db.DBCompactLog();
    db.DBCompactSts();
    return compact.Close() == 0 ? 0 : -1;
}

}  // namespace qm::monitor
