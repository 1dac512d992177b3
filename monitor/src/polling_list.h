// The polling list: the printers the monitor polls, with four poll kinds each, built from the
// polling records of the notification database.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "ntfdb_api.h"

namespace qm::monitor {

enum PollKind { kAlertLog = 0, kSupplies = 1, kCounters = 2, kNotification = 3 };

struct MonitoredDevice {
    std::array<std::string, 5> keys;  // identity texts; keys[1] the IP address, keys[4] the index
    int recordFlag = 0;               // one digit
    std::array<bool, 4> enabled{};
    std::array<int64_t, 4> interval{};
    std::array<bool, 4> due{};
    int64_t alertTime = 0;     // shared by alert log and notification
    int64_t suppliesTime = 0;
    int64_t countersTime = 0;
    int64_t alertLogTime = 0;  // copy of the last alert-log time

    bool SameKeys(const MonitoredDevice& o) const { return keys == o.keys; }
};

using PollingList = std::vector<MonitoredDevice>;

// Decodes one 128-byte polling record (identity texts at 16, 28, 44, 68, 84; the record flag
// at 92; handle counts at 96 "DV"/"GR", 100 "PR", 104 "CS"; intervals at 108 third, 112 first,
// 116 second; notification interval at 120).
MonitoredDevice DeviceFromPollingRecord(const unsigned char* record);

// Reads every polling record: log polling first, then send polling merged into matching
// entries. 0, or the database error that ended the build.
int BuildPollingList(const NtfDbApi& db, PollingList* out);

// Carries the last-poll times of entries that stayed in the list across a rebuild.
void CarryPollTimes(const PollingList& old, PollingList* rebuilt);

}  // namespace qm::monitor
