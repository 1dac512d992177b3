// The maintenance of the notification files: compaction of each file set, deletion of log
// entries by age and by size (with the CSV export of what the size deletion removes).
#include <sys/stat.h>

#include <cstdint>
#include <string>

#include "QNTFDB.h"
#include "core.h"
#include "csv.h"
#include "frame.h"
#include "qm/platform/clock.h"
#include "qm/platform/paths.h"
#include "records.h"

namespace qm::ntfdb {
namespace {

constexpr int64_t kDaySeconds = 86400;

int Compact(SetId id) {
    Session session;
    if (!session.ok()) return -1;
    const std::string file = SetFileName(id);
    IsamFileSet def = Definition(id, file);
    int r = STORE(CMPIFIL, &def);
    if (r != 0) NTF_ERROR("QNTFDB: CMPIFIL %s nRet=%d", file.c_str(), r);
    int ended = session.End();
    return r == 0 && ended == 0 ? 0 : -1;
}

// The length of the log's data file. The store keeps recent writes in the file's write-ahead
// log until a checkpoint moves them in, so that log counts too: otherwise a busy log would
// look small until the compaction that follows the deletion makes it large again.
bool LogFileLength(int64_t& length) {
    const std::string data = platform::ToPosixPath(SetFileName(SetId::Log)) + ".dat";
    struct stat st {};
    if (::stat(data.c_str(), &st) != 0) {
        NTF_ERROR("QNTFDB: %s cannot be opened", data.c_str());
        return false;
    }
    length = st.st_size;
    if (::stat((data + "-wal").c_str(), &st) == 0) length += st.st_size;
    return true;
}

// ntcsys and ntclog open under the store lock, with the system record read.
struct LogMaintenance {
    Table sys{SetId::Sys};
    Table log{SetId::Log};
    StoreLock lock;
    Record settings;

    int Open() {
        if (sys.Open() != 0 || log.Open() != 0) return -1;
        if (lock.Take() != 0) return -1;
        return sys.First(1, settings) == 0 ? 0 : -1;
    }
    int Finish() {
        int f = lock.Free();
        int a = log.Close();
        int b = sys.Close();
        return f == 0 && a == 0 && b == 0 ? 0 : -1;
    }
};

int DeleteTerm() {
    Session session;
    if (!session.ok()) return -1;
    LogMaintenance m;
    if (m.Open() != 0) return -1;
    const int64_t days = GetInt(m.settings.data() + sys::kDays);
    auto endOfToday =
        platform::LocalSecondsFromText(platform::DateText(platform::LocalSeconds()), "23:59:59");
    if (!endOfToday) return -1;
    Record e;
    int r = m.log.First(1, e);
    // Deleting leaves the walk where it was, so the walk goes on to the last entry.
    for (; r == 0; r = m.log.Next(1, e)) {
        int64_t time = GetInt(e.data() + logrec::kTime);
        if (time + days * kDaySeconds <= *endOfToday && m.log.Delete() != 0) return -1;
    }
    if (r != kEnd) return -1;
    return m.Finish();
}

int DeleteSize() {
    int64_t length = 0;
    if (!LogFileLength(length)) return -1;
    Session session;
    if (!session.ok()) return -1;
    LogMaintenance m;
    if (m.Open() != 0) return -1;
    const unsigned char* s = m.settings.data();
    const int64_t maximum = GetInt(s + sys::kMaxSize);
    if (maximum >= length) return m.Finish();
    const int64_t target = maximum * GetInt(s + sys::kPercent) / 100;
    const bool csv = GetInt(s + sys::kCsv) == 1;
    NTF_TRACE("QNTFDB: DBDeleteSize length=%lld maximum=%lld target=%lld csv=%d",
              static_cast<long long>(length), static_cast<long long>(maximum),
              static_cast<long long>(target), csv ? 1 : 0);
    CsvLock csvLock;
    CsvTarget where;
    if (csv) {
        if (csvLock.Take() != 0) return -1;
        where = ResolveCsvTarget();
    }
    const int64_t entry = RecordLength(SetId::Log);
    Record e;
    int r = m.log.First(1, e);
    for (; r == 0; r = m.log.Next(1, e)) {
        // The line is written before the entry goes, so a failing export loses nothing; the
        // entries deleted before it stay deleted (the lock commits them).
        if (csv && WriteCsvLine(where, CsvLine(e.data())) != 0) return -1;
        if (m.log.Delete() != 0) return -1;
        length -= entry;
        if (length <= target) break;
    }
    if (r != 0 && r != kEnd) return -1;
    csvLock.Free();
    return m.Finish();
}

}  // namespace
}  // namespace qm::ntfdb

using namespace qm::ntfdb;

extern "C" {

int DBCompactCtl(void) { return Export("DBCompactCtl", [] { return Compact(SetId::Ctl); }); }
int DBCompactDev(void) { return Export("DBCompactDev", [] { return Compact(SetId::Dev); }); }
int DBCompactHdl(void) { return Export("DBCompactHdl", [] { return Compact(SetId::Hdl); }); }
int DBCompactLog(void) { return Export("DBCompactLog", [] { return Compact(SetId::Log); }); }
int DBCompactSts(void) { return Export("DBCompactSts", [] { return Compact(SetId::Sts); }); }
int DBCompactTo(void) { return Export("DBCompactTo", [] { return Compact(SetId::To); }); }

int DBDeleteTerm(void) { return Export("DBDeleteTerm", [] { return DeleteTerm(); }); }
int DBDeleteSize(void) { return Export("DBDeleteSize", [] { return DeleteSize(); }); }

}  // extern "C"
