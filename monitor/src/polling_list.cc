// Polling records into list entries.
#include "polling_list.h"

#include <cstring>

namespace qm::monitor {

namespace {

std::string FieldText(const unsigned char* record, size_t offset, size_t size) {
    const char* p = reinterpret_cast<const char*>(record + offset);
    size_t n = 0;
    while (n < size && p[n] != '\0') ++n;
    // Stored fields are blank padded; the keys are compared and passed on without the padding.
    while (n > 0 && p[n - 1] == ' ') --n;
    return std::string(p, n);
}

int32_t Field32(const unsigned char* record, size_t offset) {
    int32_t v;
    std::memcpy(&v, record + offset, sizeof v);
    return v;
}

}  // namespace

MonitoredDevice DeviceFromPollingRecord(const unsigned char* record) {
    MonitoredDevice d;
    d.keys = {FieldText(record, 16, 12), FieldText(record, 28, 16), FieldText(record, 44, 24),
              FieldText(record, 68, 16), FieldText(record, 84, 8)};
    d.recordFlag = Field32(record, 92) != 0 ? 1 : 0;
    d.enabled[kAlertLog] = Field32(record, 96) > 0;
    d.enabled[kCounters] = Field32(record, 100) > 0;
    d.enabled[kSupplies] = Field32(record, 104) > 0;
    d.interval[kAlertLog] = Field32(record, 108);
    d.interval[kCounters] = Field32(record, 112);
    d.interval[kSupplies] = Field32(record, 116);
    d.interval[kNotification] = Field32(record, 120);
    d.enabled[kNotification] = d.interval[kNotification] > 0;
    return d;
}

int BuildPollingList(const NtfDbApi& db, PollingList* out) {
    PollingList list;
    // Each read continues after the record it is handed, so the buffer is the walk's cursor:
    // cleared once before the walk, never between reads.
    unsigned char record[kPollingRecordSize] = {};
    for (;;) {
        int rc = db.DBReadLogPolling(record);
        if (rc == kDbNoRecord) break;
        if (rc != 0) return rc;
        list.push_back(DeviceFromPollingRecord(record));
    }
    std::memset(record, 0, sizeof record);
    for (;;) {
        int rc = db.DBReadSendPolling(record);
        if (rc == kDbNoRecord) break;
        if (rc != 0) return rc;
        MonitoredDevice d = DeviceFromPollingRecord(record);
        bool matched = false;
        for (auto& e : list) {
            if (!e.SameKeys(d)) continue;
            matched = true;
            if (d.interval[kNotification] > 0) {
                e.interval[kNotification] = d.interval[kNotification];
                e.enabled[kNotification] = true;
            }
            break;
        }
        if (!matched) list.push_back(std::move(d));
    }
    *out = std::move(list);
    return 0;
}

void CarryPollTimes(const PollingList& old, PollingList* rebuilt) {
    for (auto& e : *rebuilt) {
        for (const auto& o : old) {
            if (!e.SameKeys(o)) continue;
            if (e.enabled[kAlertLog] || e.enabled[kNotification]) e.alertTime = o.alertTime;
            e.suppliesTime = o.suppliesTime;
            e.countersTime = o.countersTime;
            if (e.enabled[kNotification]) e.alertLogTime = o.alertLogTime;
            break;
        }
    }
}

}  // namespace qm::monitor
