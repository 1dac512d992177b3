// The log reader: a thin layer over the notification database's log readings. The reader
// buffer holds the reading's cursor text, so the caller keeps all state of a reading.
#include "QMNTC.h"

#include <cstring>
#include <mutex>

#include "QBUtil.h"
#include "QNTFDB.h"
#include "qm/platform/paths.h"

#define NTC_TRACE(...) QbTrace(QB_TRACE_INFO, "QMNTC", __LINE__, __VA_ARGS__)

namespace {

constexpr int kReaderSize = 257;  // the cursor text of the notification database

std::mutex g_mutex;
int g_users = 0;  // under g_mutex

// Readings open on this thread; the database closes a thread's readings all at once, so that
// waits for the last one.
thread_local int t_open = 0;

bool Valid(void* buffer) { return buffer && buffer != reinterpret_cast<void*>(-1); }

}  // namespace

extern "C" {

int NTCInitialize(void) {
    std::lock_guard lock(g_mutex);
    if (g_users > 0) {
        ++g_users;
        return 0;
    }
    int r = DBInitialize2(qm::platform::InstallRoot().c_str());
    NTC_TRACE("QMNTC: NTCInitialize DBInitialize2 return=%d", r);
    if (r != 0) return -1;
    g_users = 1;
    return 0;
}

int NTCRelease(void) {
    std::lock_guard lock(g_mutex);
    if (g_users == 0) return 0;
    if (--g_users > 0) return 0;
    return DBRelease2() == 0 ? 0 : -1;
}

int NTCStartReadLog(unsigned long /*threadId*/, const char* logHandle, const char* fromDate,
                    const char* toDate, void* readerBuffer, int* size) {
    if (!size || !logHandle || !*logHandle) return -1;
    if (!Valid(readerBuffer) || *size < kReaderSize) {
        *size = kReaderSize;
        return -3;
    }
    int given = *size;
    int r = DBOpenLogDB(logHandle, fromDate, toDate, static_cast<char*>(readerBuffer), &given);
    NTC_TRACE("QMNTC: NTCStartReadLog handle=%s return=%d", logHandle, r);
    if (r == 0) ++t_open;
    return r;
}

int NTCReadLog(unsigned long /*threadId*/, void* readerBuffer, char* line, int* length) {
    if (!Valid(readerBuffer) || !line || !length) return -1;
    return DBReadLogDB(static_cast<char*>(readerBuffer), line, length);
}

int NTCEndReadLog(unsigned long /*threadId*/, void* readerBuffer) {
    if (!Valid(readerBuffer) || t_open == 0) return -1;
    std::memset(readerBuffer, 0, kReaderSize);
    if (--t_open > 0) return 0;
    return DBCloseLogDB() == 0 ? 0 : -1;
}

}  // extern "C"
