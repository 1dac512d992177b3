// Start and end of the library, the store's thread functions, and the system record
// (configuration of the log maintenance and the handle counter).
#include <cstdio>
#include <string>

#include "QNTFDB.h"
#include "core.h"
#include "frame.h"
#include "qm/platform/clock.h"
#include "qm/platform/paths.h"
#include "records.h"

namespace qm::ntfdb {
namespace {

// The system record a fresh installation starts with: maximum log size 524288 bytes,
// retention 30 days, no CSV export, size deletion down to 80 per cent.
Record InitialSystemRecord() {
    Record r(static_cast<size_t>(RecordLength(SetId::Sys)), 0);
    PutInt(r.data() + sys::kNumber, 1);
    PutInt(r.data() + sys::kMaxSize, 524288);
    PutInt(r.data() + sys::kDays, 30);
    PutInt(r.data() + sys::kCsv, 0);
    PutInt(r.data() + sys::kPercent, 80);
    PutInt(r.data() + sys::kLastHandle, 0);
    return r;
}

// The installation step: the folder, the seven file sets, and the system record when the
// file set is empty. No export adds that record, and without it the handle counter and the
// maintenance settings cannot work.
int Install() {
    platform::MakeDirectories(platform::ToPosixPath(CurrentConfig().dbFolder));
    Session session;
    if (!session.ok()) return -1;
    for (SetId id : kAllSets) {
        Table t(id);
        int r = t.OpenOrCreate();
        if (r != 0) {
            NTF_ERROR("QNTFDB: cannot create %s: %d", SetFileName(id).c_str(), r);
            return -1;
        }
        if (id != SetId::Sys) continue;
        StoreLock lock;
        if (lock.Take() != 0) return -1;
        Record rec = t.NewRecord();
        r = t.First(1, rec);
        if (r == kEnd) r = t.Add(InitialSystemRecord());
        if (r != 0) return -1;
        if (lock.Free() != 0) return -1;
        if (t.Close() != 0) return -1;
    }
    return 0;
}

int Initialize(const char* installFolder, bool threads) {
    if (!installFolder) return -1;
    Config config = ReadConfig(installFolder);
    if (!LoadStore(config)) return -1;
    if (threads) {
        auto init = reinterpret_cast<decltype(&::ctThrdInit)>(StoreSymbol("ctThrdInit"));
        int r = init ? init(2, 0, 0) : -1;
        if (r != 0) {
            NTF_ERROR("QNTFDB: ctThrdInit nRet=%d", r);
            UnloadStore();
            return -1;
        }
    }
    // A start that failed counts no user: its caller does not end it.
    if (Install() != 0) {
        UnloadStore();
        return -1;
    }
    return 0;
}

// Opens ntcsys, takes the lock and reads its first record; the caller works on `rec`.
struct SystemRecord {
    Table table{SetId::Sys};
    StoreLock lock;
    Record rec;

    int Open(bool locked) {
        if (table.Open() != 0) return -1;
        if (locked && lock.Take() != 0) return -1;
        int r = table.First(1, rec);
        return r == 0 ? 0 : -1;
    }
    int Finish() {
        int r = lock.Free();
        int c = table.Close();
        return r == 0 && c == 0 ? 0 : -1;
    }
};

}  // namespace
}  // namespace qm::ntfdb

using namespace qm::ntfdb;

extern "C" {

int DBInitialize(const char* installFolder) {
    return Export("DBInitialize", [&] { return Initialize(installFolder, true); });
}

int DBInitialize2(const char* installFolder) {
    return Export("DBInitialize2", [&] { return Initialize(installFolder, false); });
}

// Each start is ended by one release; the store stays loaded for the starts not ended yet,
// so a user that ends its own cannot pull the store from under another one in the process.
int DBRelease(void) {
    return Export("DBRelease", [] {
        const StoreRef store = CurrentStore();
        auto term = reinterpret_cast<decltype(&::ctThrdTerm)>(StoreSymbol(store, "ctThrdTerm"));
        if (!term) return -1;
        int termResult = 0;
        UnloadStore([&] { termResult = term(); });
        return termResult == 0 ? 0 : -1;
    });
}

int DBRelease2(void) {
    return Export("DBRelease2", [] {
        UnloadStore();
        return 0;
    });
}

int DBCreateThread(DBThreadFunction function, void* argument) {
    return Export("DBCreateThread", [&] {
        if (!function) return -1;
        int r = STORE(ctThrdCreate, function, argument, 0L, 0L);
        return r == 0 ? 0 : -1;
    });
}

int DBExitThread(void) {
    return Export("DBExitThread", [] {
        auto exitThread = reinterpret_cast<decltype(&::ctThrdExit)>(StoreSymbol("ctThrdExit"));
        if (!exitThread) return -1;
        exitThread();
        return 0;
    });
}

int DBSetConfig(const char* maxSize, const char* days, int percent, short csv) {
    return Export("DBSetConfig", [&] {
        if (!maxSize || !days) return -1;
        SystemRecord s;
        if (s.Open(true) != 0) return -1;
        PutInt(s.rec.data() + sys::kMaxSize, ToInt(maxSize));
        PutInt(s.rec.data() + sys::kDays, ToInt(days));
        PutInt(s.rec.data() + sys::kCsv, static_cast<int32_t>(csv));  // sign-extended
        PutInt(s.rec.data() + sys::kPercent, percent);
        if (s.table.Rewrite(s.rec) != 0) return -1;
        return s.Finish();
    });
}

int DBReadConfig(char* buffer, int* size) {
    return Export("DBReadConfig", [&] {
        if (!size) return -1;
        Session session;
        if (!session.ok()) return -1;
        SystemRecord s;
        if (s.Open(false) != 0) return -1;
        const unsigned char* r = s.rec.data();
        char text[64];
        int n = std::snprintf(text, sizeof text, "%d,%d,%d,%d", GetInt(r + sys::kMaxSize),
                              GetInt(r + sys::kDays), GetInt(r + sys::kCsv),
                              GetInt(r + sys::kPercent));
        if (s.Finish() != 0) return -1;
        int given = *size;
        *size = n + 1;
        if (!buffer || given < n + 1) return -3;
        std::memcpy(buffer, text, static_cast<size_t>(n) + 1);
        return 0;
    });
}

int DBGetHandleCounter(void) {
    return Export("DBGetHandleCounter", [] {
        SystemRecord s;
        if (s.Open(true) != 0) return -1;
        int64_t now = qm::platform::LocalSeconds();
        int64_t last = GetInt(s.rec.data() + sys::kLastHandle);
        int64_t next = last >= now ? last + 1 : now;
        if (next > INT32_MAX) return -1;
        PutInt(s.rec.data() + sys::kLastHandle, static_cast<int32_t>(next));
        if (s.table.Rewrite(s.rec) != 0) return -1;
        if (s.Finish() != 0) return -1;
        return static_cast<int>(next);
    });
}

}  // extern "C"
