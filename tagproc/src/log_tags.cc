// Log tags: a page opens a group's log or one of a device's three logs, reads it one record
// per call (each record split into its comma-separated fields) and closes it.
//
// The handle a template holds is the configuration database's reading handle, but only the
// readings this processor opened for the calling thread are served: the log reader keeps a
// reading's files in its opener thread's store context, so a reading used from another thread
// would read, or close, someone else's files. A reading the page never closes ends with its
// request (TAGEndRequest), on the thread that opened it.
#include <cctype>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "QBUtil.h"
#include "processor.h"
#include "qmdbmgr.h"
#include "qmmibgw.h"

namespace qm::tag {
namespace {

constexpr const char* kModule = "TPMainClass";

int32_t Integer(void** argv, int i) { return *static_cast<const int32_t*>(argv[i]); }

// "0", "2", "+1", "-1": an optional sign and decimal digits, nothing else.
bool DecimalText(const char* text, int* out) {
    const char* p = text;
    bool negative = *p == '-';
    if (*p == '-' || *p == '+') ++p;
    if (!std::isdigit(static_cast<unsigned char>(*p))) return false;
    long long v = 0;
    for (; std::isdigit(static_cast<unsigned char>(*p)); ++p) {
        v = v * 10 + (*p - '0');
        if (v > INT32_MAX) return false;
    }
    if (*p != 0) return false;
    *out = static_cast<int>(negative ? -v : v);
    return true;
}

// The record text split at every ",": "a,,b" gives "a", "" and "b".
std::vector<std::string> Fields(std::string_view line) {
    std::vector<std::string> out;
    size_t start = 0;
    for (;;) {
        size_t comma = line.find(',', start);
        out.emplace_back(line.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start));
        if (comma == std::string_view::npos) return out;
        start = comma + 1;
    }
}

struct LogCalls {
    const char* open;
    const char* read;
    const char* close;
    int (*readFn)(DBHANDLE, char**, int*);
    int (*closeFn)(DBHANDLE);
};
const LogCalls kGroupCalls{"DBOpenGroupLog", "DBReadGroupLog", "DBCloseGroupLog", DBReadGroupLog, DBCloseGroupLog};
const LogCalls kDeviceCalls{"DBOpenDeviceLog", "DBReadDeviceLog", "DBCloseDeviceLog", DBReadDeviceLog,
                            DBCloseDeviceLog};
const LogCalls& CallsOf(bool group) { return group ? kGroupCalls : kDeviceCalls; }

}  // namespace

void CTagProcessor::CloseLog(long handle, bool group) {
    const LogCalls& c = CallsOf(group);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: %s\n", c.close);
    int r = c.closeFn(handle);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: %s=%d\n", c.close, r);
}

int CTagProcessor::CloseThreadLogs() {
    const std::thread::id self = std::this_thread::get_id();
    std::vector<std::pair<int32_t, bool>> mine;
    {
        std::lock_guard lock(logsMu_);
        for (auto it = logs_.begin(); it != logs_.end();) {
            if (it->second.owner != self) {
                ++it;
                continue;
            }
            mine.emplace_back(it->first, it->second.group);
            it = logs_.erase(it);
        }
    }
    for (const auto& [handle, group] : mine) {
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "log %d ended with its request\n", handle);
        CloseLog(handle, group);
    }
    return static_cast<int>(mine.size());
}

void CTagProcessor::CloseAllLogs() {
    // A host that never ended its requests: the readings still end (their memory and the log
    // reader's hold on the store), even though this may not be their opener's thread.
    for (const auto& [handle, log] : logs_) CloseLog(handle, log.group);
    logs_.clear();
}

int CTagProcessor::OpenLog(const char* name, bool group, int argc, void** argv) {
    if (!Called(name, argc, argv, 2, true)) return Finish(name, argv, -2);
    std::string target = Text(argv, 1);
    int kind = 0;
    if (!group) {
        DeviceKey key;
        int r = SetDevKeyInfo(target, &key);
        if (r != 0) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "SetDevKeyInfo ERROR=%d\n", r);
            return Finish(name, argv, -3);
        }
        // A kind that is no number would otherwise read as 0 and show the alert log.
        if (!DecimalText(Text(argv, 2), &kind)) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "PARAM ERROR\n");
            return Finish(name, argv, -2);
        }
        target = key.dbKey;
    }
    int mine = 0;
    {
        std::lock_guard lock(logsMu_);
        for (const auto& [h, log] : logs_) mine += log.owner == std::this_thread::get_id();
    }
    if (mine >= kMaxLogsPerRequest) {
        // A page that opens logs in a loop and never closes them would otherwise hold a
        // reading (and its files) per turn until the request ends.
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "%d logs open in this request, no more\n", mine);
        return Finish(name, argv, -2);
    }
    EnsureDbThread();
    const LogCalls& c = CallsOf(group);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: %s\n", c.open);
    DBHANDLE h = group ? DBOpenGroupLog(target.c_str()) : DBOpenDeviceLog(target.c_str(), kind);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: %s=%ld\n", c.open, h);
    if (h == DB_NO_HANDLE || h <= 0) return Finish(name, argv, DbError(-1));
    if (h > INT32_MAX) {
        // Templates hold 32-bit integers; a handle they cannot give back is closed at once.
        CloseLog(h, group);
        return Finish(name, argv, -2);
    }
    const auto handle = static_cast<int32_t>(h);
    std::vector<uint8_t> value;
    int r = Encode(MIB_BER_INTEGER, std::to_string(handle), &value);
    if (r != 0) {
        CloseLog(handle, group);
        return Finish(name, argv, r);
    }
    {
        std::lock_guard lock(logsMu_);
        logs_[handle] = OpenLogReading{group, std::this_thread::get_id()};
    }
    SetResult(std::move(value));
    return Finish(name, argv, 0);
}

// The reading of argument 1 when this thread opened it as a log of this kind; else traces
// "PARAM ERROR" and gives 0.
int32_t CTagProcessor::LogOf(const char* name, bool group, int argc, void** argv) {
    if (!CheckArgs(argc, argv, 1, false)) return 0;
    const int32_t h = Integer(argv, 1);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "CALLED %s(%d)\n", name, h);
    bool mine = false;
    {
        std::lock_guard lock(logsMu_);
        auto it = h > 0 ? logs_.find(h) : logs_.end();
        mine = it != logs_.end() && it->second.group == group && it->second.owner == std::this_thread::get_id();
    }
    if (!mine) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "PARAM ERROR\n");
        return 0;
    }
    return h;
}

int CTagProcessor::ReadLog(const char* name, bool group, int argc, void** argv) {
    const int32_t h = LogOf(name, group, argc, argv);
    if (h == 0) return Finish(name, argv, -2);
    const LogCalls& c = CallsOf(group);
    EnsureDbThread();
    char* line = nullptr;
    int length = 0;
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: %s\n", c.read);
    int r = c.readFn(h, &line, &length);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: %s=%d\n", c.read, r);
    if (r != 0) return Finish(name, argv, DbError(r));
    if (line == nullptr || length <= 0) return Finish(name, argv, -4);
    std::vector<SeqEntry> entries;
    for (const std::string& field : Fields(std::string_view(line, ::strnlen(line, static_cast<size_t>(length))))) {
        SeqEntry e;
        r = Encode(MIB_BER_OCTET_STRING, field, &e.value);
        if (r != 0) return Finish(name, argv, r);
        entries.push_back(std::move(e));
    }
    r = Encode(entries);
    if (r != 0) return Finish(name, argv, BerError(r));
    return Finish(name, argv, 0);
}

int CTagProcessor::CloseLogTag(const char* name, bool group, int argc, void** argv) {
    const int32_t h = LogOf(name, group, argc, argv);
    if (h == 0) return Finish(name, argv, -2);
    EnsureDbThread();
    CloseLog(h, group);
    {
        std::lock_guard lock(logsMu_);
        logs_.erase(h);
    }
    return Finish(name, argv, 0);
}

int CTagProcessor::OpenGroupLog(int argc, void** argv) { return OpenLog("OpenGroupLog", true, argc, argv); }
int CTagProcessor::ReadGroupLog(int argc, void** argv) { return ReadLog("ReadGroupLog", true, argc, argv); }
int CTagProcessor::CloseGroupLog(int argc, void** argv) { return CloseLogTag("CloseGroupLog", true, argc, argv); }
int CTagProcessor::OpenDeviceLog(int argc, void** argv) { return OpenLog("OpenDeviceLog", false, argc, argv); }
int CTagProcessor::ReadDeviceLog(int argc, void** argv) { return ReadLog("ReadDeviceLog", false, argc, argv); }
int CTagProcessor::CloseDeviceLog(int argc, void** argv) { return CloseLogTag("CloseDeviceLog", false, argc, argv); }

}  // namespace qm::tag
