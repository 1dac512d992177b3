// Device and group logs, read line by line through the log reader QMNTC (loaded by name), on
// behalf of the tag processor. The log's name is the log handle text kept in the device or
// group record.
#include <pthread.h>

#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "qm/platform/handle_table.h"
#include "qm/platform/library.h"
#include "qm/platform/owners.h"
#include "qmdbmgr.h"
#include "frame.h"
#include "trace.h"

namespace qm::confdb {
namespace {

using InitializeFn = int (*)();
using StartFn = int (*)(unsigned long, const char*, const char*, const char*, void*, int*);
using ReadFn = int (*)(unsigned long, void*, char*, int*);
using EndFn = int (*)(unsigned long, void*);

constexpr int kLineSize = 1024;

// One reading: the reader library stays loaded for as long as the reading lives.
struct LogRead {
    platform::UniqueLibrary library;
    ReadFn read = nullptr;
    EndFn end = nullptr;
    InitializeFn release = nullptr;
    std::vector<char> reader;         // the buffer QMNTC asked for
    char line[kLineSize] = {};
    int length = 0;
    long m_nRecordIndex = 0;
    std::string name;                 // group name or device key
    unsigned long thread = 0;         // the opener's
    bool started = false;

    ~LogRead() {
        if (started && end) end(thread, reader.data());
        if (release) release();
    }
};

platform::HandleTable<LogRead>& Reads() {
    static auto* table = new platform::HandleTable<LogRead>();  // outlives static destructors
    return *table;
}

long Open(const char* fn, const char* name, const char* item, bool group) {
    if (!name) {
        DB_ERROR("QMDBMGR: %s[ER_OUT] nRet=%d", fn, -1);
        return DB_NO_HANDLE;
    }
    auto r = std::make_shared<LogRead>();
    r->name = name;
    r->library.reset(platform::LoadLibraryByName("QMNTC"));
    auto sym = [&](const char* s) { return r->library.get() ? platform::LibrarySymbol(r->library.get(), s) : nullptr; };
    auto initialize = reinterpret_cast<InitializeFn>(sym("NTCInitialize"));
    auto start = reinterpret_cast<StartFn>(sym("NTCStartReadLog"));
    r->read = reinterpret_cast<ReadFn>(sym("NTCReadLog"));
    r->end = reinterpret_cast<EndFn>(sym("NTCEndReadLog"));
    auto release = reinterpret_cast<InitializeFn>(sym("NTCRelease"));
    if (!initialize || !start || !r->read || !r->end || !release) {
        DB_ERROR("QMDBMGR: %s QMNTC cannot be loaded: %s", fn, platform::LibraryError().c_str());
        return DB_NO_HANDLE;
    }
    int init = initialize();
    DB_TRACE("QMDBMGR: %s NTCInitialize() return=%d", fn, init);
    if (init != 0) return DB_NO_HANDLE;
    r->release = release;

    char handleText[1024] = {};
    int got = group ? DBReadGroupInfo(name, item, handleText) : DBReadDeviceInfo(name, item, handleText);
    if (got != 0 || handleText[0] == '\0') {
        DB_ERROR("QMDBMGR: %s[ER_OUT] no log handle (%d)", fn, got);
        return DB_NO_HANDLE;
    }
    r->thread = static_cast<unsigned long>(pthread_self());
    int size = 0;
    int s = start(r->thread, handleText, nullptr, nullptr, reinterpret_cast<void*>(-1), &size);
    if (s == -3 && size > 0 && size <= 1 << 20) {
        r->reader.assign(static_cast<size_t>(size), 0);
        s = start(r->thread, handleText, nullptr, nullptr, r->reader.data(), &size);
    }
    DB_TRACE("QMDBMGR: %s NTCStartReadLog() return=%d", fn, s);
    if (s != 0) return DB_NO_HANDLE;
    r->started = true;
    int32_t h = Reads().Add(r);
    if (h == 0) return DB_NO_HANDLE;
    DB_TRACE("QMDBMGR: %s[OUT] m_lpszLogReadHandle=%s", fn, handleText);
    return h;
}

int Read(const char* fn, DBHANDLE h, char** line, int* length) {
    DB_TRACE("QMDBMGR: %s[IN] hHandle=%ld", fn, h);
    auto r = h == DB_NO_HANDLE || h <= 0 || h > INT32_MAX ? nullptr : Reads().Find(static_cast<int32_t>(h));
    if (!r || !line || !length) {
        DB_ERROR("QMDBMGR: %s[ER_OUT] hHandle=%d", fn, static_cast<int>(h));
        return -1;
    }
    r->length = kLineSize;
    int n = r->read(r->thread, r->reader.data(), r->line, &r->length);
    DB_TRACE("QMDBMGR: %s NTCReadLog() return = %d", fn, n);
    if (n != 0 && n != 100) return -1;
    if (n == 100 || r->length <= 0) {
        r->length = 0;
        r->line[0] = '\0';
    } else {
        // The length QMNTC gives counts the terminating NUL; the caller gets the text's.
        r->length = static_cast<int>(strnlen(r->line, kLineSize - 1));
        r->line[r->length] = '\0';
    }
    ++r->m_nRecordIndex;
    *line = r->line;
    *length = r->length;
    return 0;
}

int Close(const char* fn, DBHANDLE h) {
    DB_TRACE("QMDBMGR: %s[IN] hHandle=%ld", fn, h);
    if (h <= 0 || h > INT32_MAX) return 0;
    Reads().Remove(static_cast<int32_t>(h));  // the reading ends with its last user
    return 0;
}

const char* DeviceItem(int kind) {
    switch (kind) {
        case 0: return "DEV_ErrorLogHandle";
        case 1: return "DEV_PrintLogHandle";
        case 2: return "DEV_ConsLogHandle";
        default: return nullptr;
    }
}

}  // namespace
}  // namespace qm::confdb

using namespace qm::confdb;

extern "C" DBHANDLE DBOpenGroupLog(const char* lpszGroup) {
    DB_TRACE("QMDBMGR: DBOpenGroupLog[IN] lpszGroup=%s", Shown(lpszGroup));
    return Open("DBOpenGroupLog", lpszGroup, "GRP_LogHandle", true);
}

extern "C" DBHANDLE DBOpenDeviceLog(const char* lpszDKey, int nLogKind) {
    DB_TRACE("QMDBMGR: DBOpenDeviceLog[IN] lpszDKey=%s, nLogKind=%d", Shown(lpszDKey),
             nLogKind);
    const char* item = DeviceItem(nLogKind);
    if (!item) {
        DB_ERROR("QMDBMGR: DBOpenDeviceLog[ER_OUT] nLogKind=%d", nLogKind);
        return DB_NO_HANDLE;
    }
    return Open("DBOpenDeviceLog", lpszDKey, item, false);
}

extern "C" int DBReadGroupLog(DBHANDLE hHandle, char** lppszLine, int* pnLength) {
    return Read("DBReadGroupLog", hHandle, lppszLine, pnLength);
}

extern "C" int DBReadDeviceLog(DBHANDLE hHandle, char** lppszLine, int* pnLength) {
    return Read("DBReadDeviceLog", hHandle, lppszLine, pnLength);
}

extern "C" int DBCloseGroupLog(DBHANDLE hHandle) { return Close("DBCloseGroupLog", hHandle); }

extern "C" int DBCloseDeviceLog(DBHANDLE hHandle) { return Close("DBCloseDeviceLog", hHandle); }
