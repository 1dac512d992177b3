// Control records (ntcctl) looked up by handle, shared by the watches and the log readers.
// The read mark leads both keys, so a handle's records lie under mark 0 and mark 1.
#pragma once

#include <string>

#include "core.h"

namespace qm::ntfdb {

// Offset of the running count in ntcdev that a handle of this kind is counted in; the
// stopped count lies dev::kStoppedShift further on.
int CountOffset(HandleKind k);
bool IsWatchKind(HandleKind k);
void Register(int command, const Identity& id);
Record ControlProbe(const Table& ctl, int mark, const std::string& handle, const Identity& id);
bool SameHandle(const Record& r, int at, const std::string& handle);
// The handle's control record for the device: 0 found, 101 none, else failure.
int FindControl(Table& ctl, const std::string& handle, const Identity& id, Record& out);
// The handle's first control record in index 1 order (any device).
int FirstControlOfHandle(Table& ctl, const std::string& handle, Record& out);

}  // namespace qm::ntfdb
