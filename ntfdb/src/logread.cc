// Reading the log through a text cursor, and stopping and restarting a handle's logging.
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "QNTFDB.h"
#include "controls.h"
#include "core.h"
#include "frame.h"
#include "qm/platform/clock.h"
#include "records.h"

namespace qm::ntfdb {
namespace {

constexpr int kCursorLength = 256;  // characters, without the terminating NUL
constexpr int kDateTextLimit = 64;  // a date text longer than this is no date

// ---- Log mode ----------------------------------------------------------------------------

int SetLogMode(const std::string& handle, int mode) {
    if (handle.empty() || (mode != 1 && mode != 2)) return -1;
    const HandleKind kind = KindOf(handle);
    if (kind == HandleKind::Unknown) return -1;
    Session session;
    if (!session.ok()) return -1;
    Table ctl(SetId::Ctl), dev(SetId::Dev);
    if (ctl.Open() != 0 || dev.Open() != 0) return -1;
    StoreLock lock;
    if (lock.Take() != 0) return -1;
    const bool stop = mode == 1;
    const int running = CountOffset(kind), stopped = running + dev::kStoppedShift;
    bool any = false;
    for (int mark = 0; mark <= 1; ++mark) {
        Record rec;
        int r = ctl.GreaterEqual(1, ControlProbe(ctl, mark, handle, Identity{}), rec);
        for (; r == 0; r = ctl.Greater(1, rec, rec)) {
            unsigned char* c = rec.data();
            if (GetInt(c + ctl::kMark) != mark || !SameHandle(rec, ctl::kHandle, handle)) break;
            any = true;
            // A watch already in the wanted state (one added to a stopped handle, say) is
            // passed over rather than ending the walk, so every watch ends up in that state.
            const bool isStopped = !GetText(c + ctl::kStopDate, ctl::kDateWidth).empty();
            if (isStopped == stop) continue;
            if (stop) {
                const int64_t now = platform::LocalSeconds();
                PutText(c + ctl::kStopDate, ctl::kDateWidth, platform::DateText(now));
                PutText(c + ctl::kStopTime, ctl::kDateWidth, platform::TimeText(now));
                PutInt(c + ctl::kStop, static_cast<int32_t>(now));
                PutInt(c + ctl::kRunning, 0);
            } else {
                PutText(c + ctl::kStopDate, ctl::kDateWidth, "");
                PutText(c + ctl::kStopTime, ctl::kDateWidth, "");
                PutInt(c + ctl::kStop, 0);
                PutInt(c + ctl::kRunning, 1);
            }
            if (ctl.Rewrite(rec) != 0) return -1;
            Record probe = dev.NewRecord(), d;
            Identity::FromRecord(c + ctl::kIdentity).CopyTo(probe.data() + dev::kIdentity);
            if (dev.Equal(1, probe, d) != 0) return -1;
            const int from = stop ? running : stopped, to = stop ? stopped : running;
            PutInt(d.data() + from, std::max(0, GetInt(d.data() + from) - 1));
            PutInt(d.data() + to, GetInt(d.data() + to) + 1);
            if (dev.Rewrite(d) != 0) return -1;
            // The walk goes on after the record's new key.
        }
        if (r != 0 && r != kEnd) return -1;
    }
    if (lock.Free() != 0) return -1;
    int closed = ctl.Close() | dev.Close();
    if (closed != 0) return -1;
    return any ? 0 : -31;
}

// ---- Readers -------------------------------------------------------------------------------

// The file sets a reader keeps open between DBOpenLogDB and DBCloseLogDB, per thread. Several
// cursors may be open at once (a group log inside a device log); the cursor names its files.
struct OpenReader {
    std::unique_ptr<Table> ctl, log;
};

struct ThreadReaders {
    std::unique_ptr<Session> session;
    std::vector<OpenReader> open;
    ~ThreadReaders() {
        // A thread that ends without DBCloseLogDB: its store context ends with it, and the
        // store may be gone by now, so nothing is called.
        for (auto& r : open) {
            r.ctl->Release();
            r.log->Release();
        }
        (void)session.release();
    }
    int CloseAll() {
        int result = 0;
        for (auto& r : open) {
            if (r.log->Close() != 0) result = -1;
            if (r.ctl->Close() != 0) result = -1;
        }
        open.clear();
        if (session && session->End() != 0) result = -1;
        session.reset();
        return result;
    }
};

thread_local ThreadReaders t_readers;

int LogKindOf(HandleKind k) {
    switch (k) {
        case HandleKind::Device:
        case HandleKind::Group: return 0;
        case HandleKind::Consumables: return 1;
        case HandleKind::Counters: return 2;
        default: return -1;
    }
}

struct Cursor {
    int ctlFile = 0, logFile = 0;
    std::string from, to, handle, prefix;
    int64_t time = 0, toTime = 0;
    int kind = 0;
    std::string parts[5];
    int index = 0;
};

bool ParseCursor(const char* text, Cursor& c) {
    std::string s(text, strnlen(text, kCursorLength + 1));
    if (s.size() > static_cast<size_t>(kCursorLength)) return false;
    std::vector<std::string> f;
    size_t start = 0;
    for (;;) {
        size_t comma = s.find(',', start);
        f.push_back(s.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (comma == std::string::npos) break;
        start = comma + 1;
    }
    // The opening cursor ends after the fourteenth field; the missing index reads as 0.
    if (f.size() == 14) f.emplace_back();
    if (f.size() != 15) return false;
    c.ctlFile = ToInt(f[0]);
    c.logFile = ToInt(f[1]);
    c.from = f[2];
    c.time = ToInt(f[3]);
    c.to = f[4];
    c.toTime = ToInt(f[5]);
    c.handle = f[6];
    c.kind = ToInt(f[7]);
    c.prefix = f[8];
    for (int i = 0; i < 5; ++i) c.parts[i] = f[9 + i];
    c.index = ToInt(f[14]);
    return !c.handle.empty();
}

// Writes the cursor into the caller's buffer (which DBOpenLogDB made sure holds 257 bytes).
bool WriteCursor(char* out, const Cursor& c, bool opening) {
    char text[1024];
    int n;
    if (opening) {
        n = std::snprintf(text, sizeof text, "%d,%d,%s,%d,%s,%d,%s,%d,%s,,,,,", c.ctlFile,
                          c.logFile, c.from.c_str(), static_cast<int>(c.time), c.to.c_str(),
                          static_cast<int>(c.toTime), c.handle.c_str(), c.kind, c.prefix.c_str());
    } else {
        n = std::snprintf(text, sizeof text, "%d,%d,%s,%d,%s,%d,%s,%d,%s,%s,%s,%s,%s,%s,%d",
                          c.ctlFile, c.logFile, c.from.c_str(), static_cast<int>(c.time),
                          c.to.c_str(), static_cast<int>(c.toTime), c.handle.c_str(), c.kind,
                          c.prefix.c_str(), c.parts[0].c_str(), c.parts[1].c_str(),
                          c.parts[2].c_str(), c.parts[3].c_str(), c.parts[4].c_str(), c.index);
    }
    if (n < 0 || n > kCursorLength) return false;
    std::memcpy(out, text, static_cast<size_t>(n) + 1);
    return true;
}

std::string DateArgument(const char* text) {
    return text ? std::string(text, strnlen(text, kDateTextLimit + 1)) : std::string();
}

int OpenLog(const char* handle, const char* from, const char* to, char* cursor, int* size) {
    if (!size) return -1;
    const int given = *size;
    *size = kCursorLength + 1;
    if (!cursor || given <= kCursorLength) return -3;
    const std::string h = HandleText(handle);
    if (h.empty()) return -1;
    Cursor c;
    c.handle = h;
    c.prefix = h.substr(0, 2);
    c.kind = LogKindOf(KindOf(h));
    c.from = DateArgument(from);
    c.to = DateArgument(to);
    if (c.from.size() > kDateTextLimit || c.to.size() > kDateTextLimit) return -1;
    if (!c.from.empty()) {
        auto t = platform::LocalSecondsFromText(c.from, "00:00:00");
        if (!t) return -1;
        c.time = *t;
    }
    if (!c.to.empty()) {
        auto t = platform::LocalSecondsFromText(c.to, "23:59:59");
        if (!t) return -1;
        c.toTime = *t;
    }

    ThreadReaders& readers = t_readers;
    bool madeSession = false;
    if (!readers.session) {
        readers.session = std::make_unique<Session>();
        madeSession = true;
        if (!readers.session->ok()) {
            readers.session.reset();
            return -1;
        }
    }
    OpenReader reader{std::make_unique<Table>(SetId::Ctl), std::make_unique<Table>(SetId::Log)};
    auto fail = [&](int result) {
        reader.log->Close();
        reader.ctl->Close();
        if (madeSession && readers.open.empty()) readers.session.reset();
        return result;
    };
    if (reader.log->Open() != 0 || reader.ctl->Open() != 0) return fail(-1);
    Record first;
    int r = FirstControlOfHandle(*reader.ctl, h, first);
    if (r == kEnd) return fail(-31);
    if (r != 0 || c.kind < 0) return fail(-1);
    c.ctlFile = reader.ctl->data();
    c.logFile = reader.log->data();
    if (!WriteCursor(cursor, c, true)) return fail(-1);
    readers.open.push_back(std::move(reader));
    return 0;
}

std::string FormatLine(const Cursor& c, const unsigned char* e, const Record& control) {
    const std::string date = GetText(e + logrec::kDate, logrec::kTextWidth);
    const std::string time = GetText(e + logrec::kTimeText, logrec::kTextWidth);
    char line[1024];
    int n = -1;
    if (c.kind == 0) {
        const std::string description = GetText(e + logrec::kDescription, logrec::kDescriptionWidth);
        const int index = GetInt(e + logrec::kIndex), severity = GetInt(e + logrec::kSeverity),
                  group = GetInt(e + logrec::kGroup), groupIndex = GetInt(e + logrec::kGroupIndex),
                  location = GetInt(e + logrec::kLocation), training = GetInt(e + logrec::kTraining),
                  code = GetInt(e + logrec::kCode), printerTime = GetInt(e + logrec::kPrinterTime);
        if (c.prefix == "GR") {
            Identity id = Identity::FromRecord(e + logrec::kIdentity);
            n = std::snprintf(line, sizeof line, "%s,%s,%s,%s,%s,%s,%s,%s,%d,%d,%d,%d,%d,%d,%d,%s,%d",
                              date.c_str(), time.c_str(), id.Part(0).c_str(), id.Part(1).c_str(),
                              id.Part(2).c_str(), id.Part(3).c_str(), id.Part(4).c_str(),
                              GetText(control.data() + ctl::kText, ctl::kTextWidth).c_str(), index,
                              severity, group, groupIndex, location, training, code,
                              description.c_str(), printerTime);
        } else {
            n = std::snprintf(line, sizeof line, "%s,%s,%d,%d,%d,%d,%d,%d,%d,%s,%d", date.c_str(),
                              time.c_str(), index, severity, group, groupIndex, location, training,
                              code, description.c_str(), printerTime);
        }
    } else if (c.kind == 1) {
        // Supply type, then the level in per cent of the maximum capacity.
        const int64_t maximum = GetInt(e + logrec::kTraining), level = GetInt(e + logrec::kLevel);
        const int percent = maximum <= 0 || level < 0 ? -1 : static_cast<int>(level * 100 / maximum);
        n = std::snprintf(line, sizeof line, "%s,%s,%d,%d", date.c_str(), time.c_str(),
                          GetInt(e + logrec::kSeverity), percent);
    } else {
        // Counter unit and life count.
        n = std::snprintf(line, sizeof line, "%s,%s,%d,%d", date.c_str(), time.c_str(),
                          GetInt(e + logrec::kSeverity), GetInt(e + logrec::kTraining));
    }
    if (n < 0) return {};
    return std::string(line, std::min<size_t>(static_cast<size_t>(n), sizeof line - 1));
}

int ReadLog(char* cursorText, char* buffer, int* size) {
    if (!cursorText || !size) return -1;
    Cursor c;
    if (!ParseCursor(cursorText, c)) return -1;
    OpenReader* reader = nullptr;
    for (auto& r : t_readers.open)
        if (r.ctl->data() == c.ctlFile && r.log->data() == c.logFile) reader = &r;
    if (!reader) return -1;
    Table& log = *reader->log;
    Table& ctl = *reader->ctl;

    Record probe = log.NewRecord(), e;
    PutInt(probe.data() + logrec::kTime, static_cast<int32_t>(c.time));
    const char* parts[5] = {c.parts[0].c_str(), c.parts[1].c_str(), c.parts[2].c_str(),
                            c.parts[3].c_str(), c.parts[4].c_str()};
    Identity::FromTexts(parts).CopyTo(probe.data() + logrec::kIdentity);
    PutInt(probe.data() + logrec::kKind, c.kind);
    PutInt(probe.data() + logrec::kIndex, c.index);
    int r = log.Greater(1, probe, e);
    for (; r == 0; r = log.Next(1, e)) {
        const unsigned char* p = e.data();
        // Entries come in time order, so the first one past the end date ends the reading
        // whatever its kind.
        if (c.toTime != 0 && GetInt(p + logrec::kTime) > c.toTime) break;
        if (GetInt(p + logrec::kKind) != c.kind) continue;
        Identity id = Identity::FromRecord(p + logrec::kIdentity);
        Record control;
        int found = FindControl(ctl, c.handle, id, control);
        if (found == kEnd) continue;
        if (found != 0) return -1;
        std::string line = FormatLine(c, p, control);
        const int given = *size;
        *size = static_cast<int>(line.size()) + 1;
        if (!buffer || given < *size) return -3;
        std::memcpy(buffer, line.c_str(), line.size() + 1);
        c.time = GetInt(p + logrec::kTime);
        for (int i = 0; i < 5; ++i) c.parts[i] = id.Part(i);
        c.index = GetInt(p + logrec::kIndex);
        return WriteCursor(cursorText, c, false) ? 0 : -1;
    }
    if (r != 0 && r != kEnd) return -1;
    *size = 0;
    return 100;
}

}  // namespace
}  // namespace qm::ntfdb

using namespace qm::ntfdb;

extern "C" {

int DBSetLogMode(const char* handle, int mode) {
    return Export("DBSetLogMode", [&] { return SetLogMode(HandleText(handle), mode); });
}

int DBOpenLogDB(const char* handle, const char* from, const char* to, char* cursor, int* size) {
    return Export("DBOpenLogDB", [&] { return OpenLog(handle, from, to, cursor, size); });
}

int DBReadLogDB(char* cursor, char* buffer, int* size) {
    return Export("DBReadLogDB", [&] { return ReadLog(cursor, buffer, size); });
}

int DBCloseLogDB(void) {
    return Export("DBCloseLogDB", [] { return t_readers.CloseAll(); });
}

}  // extern "C"
