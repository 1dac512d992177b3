// Polling one printer: the alert, supplies, counter and no-response procedures, and the record
// texts they hand to the notification database.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "ntfdb_api.h"
#include "polling_list.h"

namespace qm::monitor {

// The working record of one poll: a copy of what the poll needs from its list entry, so a
// rebuild of the list while the poll runs cannot pull anything from under it.
struct PollContext {
    std::array<std::string, 5> keys;
    int recordFlag = 0;
    std::array<bool, 4> due{};
    int64_t alertTime = 0;
    int64_t suppliesTime = 0;
    int64_t countersTime = 0;
};

PollContext ContextFromEntry(const MonitoredDevice& entry);

// One alert row as recorded.
struct AlertRow {
    int64_t index = 1;
    int64_t severity = 0;
    int64_t training = 0;
    int64_t group = 0;
    int64_t groupIndex = 0;
    int64_t location = 0;
    int64_t code = 0;
    std::string description;
    int64_t printerTime = 0;
};

// Record texts, fields separated by one line feed, at most 511 characters.
std::string AlertRecordText(int64_t time, const AlertRow& row);
std::string AlertLogText(int64_t time, const AlertRow& row);
std::string NoResponseRecordText(int64_t time);
std::string NoResponseLogText(int64_t time);
std::string ClearedLogText(int64_t time);
std::string OnOffText(int64_t time, int state);
std::string SuppliesText(int64_t time, int64_t type, int64_t index, int64_t max, int64_t level);
std::string CounterText(int64_t time, int64_t unit, int64_t lifeCount);

// What a poll needs from the monitor besides the database.
struct PollHost {
    const NtfDbApi* db = nullptr;
    // Writes one message into the notification service's mailslot (serialised by the caller's
    // mutex); a missing reader drops it.
    std::function<void(const char* message)> notify;
};

// Polls one printer: the whole sequence from gateway start to close. The caller holds the poll
// lock. Returns 0, or -1 when the gateway could not be started.
int PollPrinter(const PollHost& host, const PollContext& ctx);

}  // namespace qm::monitor
