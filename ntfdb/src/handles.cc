// Handles: watches of devices (control records and the device's polling counts), keep-alive
// and sweep, send records, notice destinations, and the end of a watch.
#include <set>
#include <string>
#include <vector>

#include "QNTFDB.h"
#include "core.h"
#include "frame.h"
#include "qm/platform/clock.h"
#include "qntpset.h"
#include "controls.h"
#include "records.h"

namespace qm::ntfdb {


// Offset of the running count in ntcdev that a handle of this kind is counted in.
int CountOffset(HandleKind k) {
    switch (k) {
        case HandleKind::Counters: return dev::kCounters;
        case HandleKind::Consumables: return dev::kConsumables;
        default: return dev::kWatches;
    }
}

bool IsWatchKind(HandleKind k) { return k == HandleKind::Device || k == HandleKind::Group; }

// Called with the store lock held: the request is only queued, so no writer waits for the
// helper or for a printer that does not answer it.
void Register(int command, const Identity& id) { QueueTrapRegistration(command, id.Address()); }

Record ControlProbe(const Table& ctl, int mark, const std::string& handle, const Identity& id) {
    Record p = ctl.NewRecord();
    PutInt(p.data() + ctl::kMark, mark);
    PutText(p.data() + ctl::kHandle, kHandleWidth, handle);
    id.CopyTo(p.data() + ctl::kIdentity);
    return p;
}

bool SameHandle(const Record& r, int at, const std::string& handle) {
    return GetText(r.data() + at, kHandleWidth) == handle;
}

// The handle's control record for the device, read or not: 0 found, 101 none, else failure.
// Both read marks are looked at, so a watch that was read is still found (the mark leads
// both keys).
int FindControl(Table& ctl, const std::string& handle, const Identity& id, Record& out) {
    for (int mark = 0; mark <= 1; ++mark) {
        Record probe = ControlProbe(ctl, mark, handle, id);
        int r = ctl.GreaterEqual(1, probe, out);
        if (r == kEnd) continue;
        if (r != 0) return r;
        if (GetInt(out.data() + ctl::kMark) == mark && SameHandle(out, ctl::kHandle, handle) &&
            id.Matches(out.data() + ctl::kIdentity))
            return 0;
    }
    return kEnd;
}

// The handle's first control record in index 1 order (any device).
int FirstControlOfHandle(Table& ctl, const std::string& handle, Record& out) {
    for (int mark = 0; mark <= 1; ++mark) {
        Record probe = ControlProbe(ctl, mark, handle, Identity{});
        int r = ctl.GreaterEqual(1, probe, out);
        if (r == kEnd) continue;
        if (r != 0) return r;
        if (GetInt(out.data() + ctl::kMark) == mark && SameHandle(out, ctl::kHandle, handle)) return 0;
    }
    return kEnd;
}

namespace {

// Walks the device's control records in index 2 order (both marks); `visit` returns false to
// stop. Result 0, or a store failure.
template <typename Visit>
int EachControlOfDevice(Table& ctl, const Identity& id, Visit&& visit) {
    for (int mark = 0; mark <= 1; ++mark) {
        Record probe = ControlProbe(ctl, mark, std::string(), id);
        Record rec;
        int r = ctl.FirstInSet(2, probe, ctl::kDevicePrefix, rec);
        while (r == 0) {
            if (!visit(rec)) return 0;
            r = ctl.NextInSet(2, rec);
        }
        if (r != kEnd) return r;
    }
    return 0;
}

Record SendProbe(const Table& hdl, const std::string& handle, const Identity& id) {
    Record p = hdl.NewRecord();
    PutText(p.data() + hdl::kHandle, kHandleWidth, handle);
    id.CopyTo(p.data() + hdl::kIdentity);
    return p;
}

// Whether a handle other than `except` ("" = any) has a send record for the device.
int HasSendRecord(Table& hdl, const Identity& id, const std::string& except, bool& found) {
    found = false;
    Record probe = SendProbe(hdl, std::string(), id), rec;
    int r = hdl.FirstInSet(2, probe, hdl::kDevicePrefix, rec);
    while (r == 0) {
        if (except.empty() || !SameHandle(rec, hdl::kHandle, except)) {
            found = true;
            return 0;
        }
        r = hdl.NextInSet(2, rec);
    }
    return r == kEnd ? 0 : r;
}

Record DeviceProbe(const Table& dev, const Identity& id) {
    Record p = dev.NewRecord();
    id.CopyTo(p.data() + dev::kIdentity);
    return p;
}

}  // namespace

// Deletes every status record of the device (index 2 starts with the identity).
int DeleteStatusOfDevice(Table& sts, const Identity& id) {
    Record probe = sts.NewRecord(), rec;
    id.CopyTo(probe.data() + sts::kIdentity);
    int r = sts.FirstInSet(2, probe, sts::kDevicePrefix, rec);
    while (r == 0) {
        if (sts.Delete() != 0) return -1;
        r = sts.NextInSet(2, rec);
    }
    return r == kEnd ? 0 : -1;
}

// The device's polling record and whether it has a "DV"/"GR" watch.
int DeviceWatched(Table& dev, const Identity& id, bool& exists, bool& watched) {
    Record rec;
    int r = dev.Equal(1, DeviceProbe(dev, id), rec);
    exists = r == 0;
    watched = exists && GetInt(rec.data() + dev::kWatches) > 0;
    return r == 0 || r == kEnd ? 0 : r;
}

int HasAnySendRecord(Table& hdl, const Identity& id, bool& found) {
    return HasSendRecord(hdl, id, std::string(), found);
}

// Ends the handle's watching of one device: its log entries when nobody else watches it,
// its polling counts, its status records and trap registration when nothing is left.
int DeleteDevice(const std::string& handle, const Identity& id) {
    Table ctl(SetId::Ctl), log(SetId::Log), dev(SetId::Dev), hdl(SetId::Hdl), sts(SetId::Sts);
    for (Table* t : {&ctl, &log, &dev, &hdl, &sts})
        if (t->Open() != 0) return -1;
    StoreLock lock;
    if (lock.Take() != 0) return -1;

    Record mine;
    int r = FindControl(ctl, handle, id, mine);
    if (r == kEnd) return -31;
    if (r != 0) return -1;
    const bool running = GetText(mine.data() + ctl::kStopDate, ctl::kDateWidth).empty();
    const int32_t start = GetInt(mine.data() + ctl::kStart);
    const HandleKind kind = KindOf(handle);

    bool other = false, further = false;
    int32_t furtherStart = 0;
    r = EachControlOfDevice(ctl, id, [&](const Record& rec) {
        if (!SameHandle(rec, ctl::kHandle, handle)) {
            other = true;
        } else if (rec != mine && GetInt(rec.data() + ctl::kStart) > start && !further) {
            further = true;
            furtherStart = GetInt(rec.data() + ctl::kStart);
        }
        return true;
    });
    if (r != 0) return -1;

    if (!other) {
        // The device's log goes with its last watcher (from this watch's start when a later
        // watch of the same handle keeps its own entries).
        Record probe = log.NewRecord(), entry;
        PutInt(probe.data() + logrec::kTime, further ? std::max(start - 1, 0) : 0);
        r = log.GreaterEqual(1, probe, entry);
        while (r == 0) {
            if (further && GetInt(entry.data() + logrec::kTime) >= furtherStart) break;
            if (id.Matches(entry.data() + logrec::kIdentity) && log.Delete() != 0) return -1;
            r = log.Next(1, entry);
        }
        if (r != 0 && r != kEnd) return -1;
    }

    bool devGone = true;
    int32_t watches = 0;
    Record devRec;
    r = dev.Equal(1, DeviceProbe(dev, id), devRec);
    if (r == 0) {
        if (other || further) {
            int at = CountOffset(kind) + (running ? 0 : dev::kStoppedShift);
            PutInt(devRec.data() + at, GetInt(devRec.data() + at) - 1);
            if (dev.Rewrite(devRec) != 0) return -1;
            devGone = false;
            watches = GetInt(devRec.data() + dev::kWatches);
        } else if (dev.Delete() != 0) {
            return -1;
        }
    } else if (r != kEnd) {
        return -1;
    }

    bool sending = false;
    if (HasAnySendRecord(hdl, id, sending) != 0) return -1;
    if (!sending && (devGone || watches <= 0)) {
        if (DeleteStatusOfDevice(sts, id) != 0) return -1;
        Register(kUnregisterTrap, id);
    }

    Record rec;
    while ((r = FindControl(ctl, handle, id, rec)) == 0)
        if (ctl.Delete() != 0) return -1;
    if (r != kEnd) return -1;

    if (lock.Free() != 0) return -1;
    int closed = 0;
    for (Table* t : {&ctl, &log, &dev, &hdl, &sts}) closed |= t->Close();
    return closed == 0 ? 0 : -1;
}

int DeleteHandle(const std::string& handle) {
    // Each watch is ended on its own (with its own lock span), as a client would end it.
    for (int ended = 0;; ++ended) {
        Record rec;
        int r;
        {
            Table ctl(SetId::Ctl);
            if (ctl.Open() != 0) return -1;
            r = FirstControlOfHandle(ctl, handle, rec);
            if (r != 0 && r != kEnd) return -1;
            if (ctl.Close() != 0) return -1;
        }
        if (r == kEnd) return ended == 0 ? -31 : 0;
        if (DeleteDevice(handle, Identity::FromRecord(rec.data() + ctl::kIdentity)) != 0) return -1;
    }
}

// The caller's notice structure from a destination record.
void NoticeOfRecord(const Record& rec, char* n) {
    std::memset(n, 0, notice::kSize);
    PutText(n + notice::kAddress, 16, GetText(rec.data() + to::kAddress, 16));
    PutText(n + notice::kText, notice::kTextWidth, GetText(rec.data() + to::kText, notice::kTextWidth));
    PutText(n + notice::kText2, notice::kShortWidth, GetText(rec.data() + to::kText2, notice::kShortWidth));
    PutText(n + notice::kText3, notice::kShortWidth, GetText(rec.data() + to::kText3, notice::kShortWidth));
    PutInt(n + notice::kNumber, GetInt(rec.data() + to::kNumber));
}

int DeleteNotice(const std::string& handle) {
    Table hdl(SetId::Hdl), dev(SetId::Dev), sts(SetId::Sts), to(SetId::To);
    for (Table* t : {&hdl, &dev, &sts, &to})
        if (t->Open() != 0) return -1;
    StoreLock lock;
    if (lock.Take() != 0) return -1;

    Record probe = to.NewRecord(), rec;
    PutText(probe.data() + to::kHandle, kHandleWidth, handle);
    int r = to.Equal(1, probe, rec);
    if (r != 0) return -1;
    if (to.Delete() != 0) return -1;

    std::vector<Identity> devices;
    r = hdl.FirstInSet(1, SendProbe(hdl, handle, Identity{}), hdl::kHandlePrefix, rec);
    while (r == 0) {
        devices.push_back(Identity::FromRecord(rec.data() + hdl::kIdentity));
        r = hdl.NextInSet(1, rec);
    }
    if (r != kEnd) return -1;

    for (const Identity& id : devices) {
        bool others = false;
        if (HasSendRecord(hdl, id, handle, others) != 0) return -1;
        if (!others) {
            bool exists = false, watched = false;
            if (DeviceWatched(dev, id, exists, watched) != 0) return -1;
            if (!watched) {
                if (DeleteStatusOfDevice(sts, id) != 0) return -1;
                Register(kUnregisterTrap, id);
            }
        }
        if (hdl.Equal(1, SendProbe(hdl, handle, id), rec) != 0 || hdl.Delete() != 0) return -1;
    }

    if (lock.Free() != 0) return -1;
    int closed = 0;
    for (Table* t : {&hdl, &dev, &sts, &to}) closed |= t->Close();
    return closed == 0 ? 0 : -1;
}

}  // namespace qm::ntfdb

using namespace qm::ntfdb;
using qm::platform::DateText;
using qm::platform::LocalSeconds;
using qm::platform::TimeText;

extern "C" {

int DBSetHandleDevice(const char* handle, const char* const* device) {
    return Export("DBSetHandleDevice", [&] {
        const std::string h = HandleText(handle);
        const HandleKind kind = KindOf(h);
        Device d;
        if (kind == HandleKind::Unknown || !ParseDevice(device, d)) return -1;
        Table ctl(SetId::Ctl), dev(SetId::Dev);
        if (ctl.Open() != 0 || dev.Open() != 0) return -1;
        StoreLock lock;
        if (lock.Take() != 0) return -1;

        Record rec;
        int r = FindControl(ctl, h, d.identity, rec);
        if (r == 0) return lock.Free() == 0 && ctl.Close() == 0 && dev.Close() == 0 ? 0 : -1;
        if (r != kEnd) return -1;

        const int64_t now = LocalSeconds();
        Record c = ControlProbe(ctl, 0, h, d.identity);
        PutInt(c.data() + ctl::kStart, static_cast<int32_t>(now));
        if (kind == HandleKind::Group) PutText(c.data() + ctl::kText, ctl::kTextWidth, d.text);
        PutInt(c.data() + ctl::kRunning, 1);
        PutText(c.data() + ctl::kStartDate, ctl::kDateWidth, DateText(now));
        PutText(c.data() + ctl::kStartTime, ctl::kDateWidth, TimeText(now));
        if (ctl.Add(c) != 0) return -1;

        const int at = CountOffset(kind);
        Record devRec;
        bool firstWatch = false;
        r = dev.Equal(1, DeviceProbe(dev, d.identity), devRec);
        if (r == 0) {
            PutInt(devRec.data() + dev::kFlag, d.flag);
            PutInt(devRec.data() + at, GetInt(devRec.data() + at) + 1);
            r = dev.Rewrite(devRec);
            firstWatch = GetInt(devRec.data() + at) == 1;
        } else if (r == kEnd) {
            devRec = DeviceProbe(dev, d.identity);
            PutInt(devRec.data() + dev::kFirst, dev::kDefaultFirst);
            PutInt(devRec.data() + dev::kSecond, dev::kDefaultSecond);
            PutInt(devRec.data() + dev::kThird, dev::kDefaultThird);
            PutInt(devRec.data() + dev::kFlag, d.flag);
            PutInt(devRec.data() + at, 1);
            r = dev.Add(devRec);
            firstWatch = true;
        }
        if (r != 0) {
            // Without its polling count the watch would never be polled: take it back.
            Record again;
            if (ctl.Equal(1, c, again) == 0) ctl.Delete();
            return -1;
        }
        if (IsWatchKind(kind) && firstWatch) Register(kRegisterTrap, d.identity);
        if (lock.Free() != 0) return -1;
        int closed = ctl.Close() | dev.Close();
        return closed == 0 ? 0 : -1;
    });
}

int DBReadHandle(const char* handle) {
    return Export("DBReadHandle", [&] {
        const std::string h = HandleText(handle);
        if (h.empty()) return -1;
        Table ctl(SetId::Ctl);
        if (ctl.Open() != 0) return -1;
        StoreLock lock;
        if (lock.Take() != 0) return -1;
        bool any = false;
        for (;;) {
            Record rec;
            int r = ctl.GreaterEqual(1, ControlProbe(ctl, 0, h, Identity{}), rec);
            if (r != 0 && r != kEnd) return -1;
            if (r == kEnd || GetInt(rec.data() + ctl::kMark) != 0 || !SameHandle(rec, ctl::kHandle, h))
                break;
            PutInt(rec.data() + ctl::kMark, 1);
            if (ctl.Rewrite(rec) != 0) return -1;
            any = true;
        }
        if (!any) {
            Record rec;
            int r = ctl.GreaterEqual(1, ControlProbe(ctl, 1, h, Identity{}), rec);
            if (r != 0 && r != kEnd) return -1;
            any = r == 0 && GetInt(rec.data() + ctl::kMark) == 1 && SameHandle(rec, ctl::kHandle, h);
        }
        if (lock.Free() != 0 || ctl.Close() != 0) return -1;
        return any ? 0 : -31;
    });
}

int DBDeleteHandle(const char* handle) {
    return Export("DBDeleteHandle", [&] {
        const std::string h = HandleText(handle);
        return h.empty() ? -1 : DeleteHandle(h);
    });
}

int DBEndHandle(void) {
    return Export("DBEndHandle", [] {
        std::set<std::string> unread, read;
        {
            Table ctl(SetId::Ctl);
            if (ctl.Open() != 0) return -1;
            StoreLock lock;
            if (lock.Take() != 0) return -1;
            Record rec;
            int r = ctl.First(1, rec);
            while (r == 0) {
                std::string h = GetText(rec.data() + ctl::kHandle, kHandleWidth);
                if (GetInt(rec.data() + ctl::kMark) == 0) {
                    unread.insert(h);
                } else {
                    read.insert(h);
                    PutInt(rec.data() + ctl::kMark, 0);
                    if (ctl.Rewrite(rec) != 0) return -1;
                }
                r = ctl.Next(1, rec);
            }
            if (r != kEnd) return -1;
            if (lock.Free() != 0 || ctl.Close() != 0) return -1;
        }
        // A handle read since the last sweep survives even when a watch it added later
        // has not been read yet.
        for (const std::string& h : unread) {
            if (read.count(h)) continue;
            int r = DeleteHandle(h);
            if (r != 0 && r != -31) return -1;
        }
        return 0;
    });
}

int DBDeleteDevice(const char* handle, const char* const* device) {
    return Export("DBDeleteDevice", [&] {
        const std::string h = HandleText(handle);
        Device d;
        if (h.empty() || !ParseDevice(device, d, false)) return -1;
        return DeleteDevice(h, d.identity);
    });
}

int DBSetHandleSend(const char* handle, const char* const* device, int interval) {
    return Export("DBSetHandleSend", [&] {
        const std::string h = HandleText(handle);
        Device d;
        if (h.empty() || !ParseDevice(device, d)) return -1;
        Table hdl(SetId::Hdl);
        if (hdl.Open() != 0) return -1;
        StoreLock lock;
        if (lock.Take() != 0) return -1;
        Record rec = SendProbe(hdl, h, d.identity);
        PutText(rec.data() + hdl::kText, hdl::kTextWidth, d.text);
        PutInt(rec.data() + hdl::kFlag, d.flag);
        PutInt(rec.data() + hdl::kInterval, interval);
        int r = hdl.Add(rec);
        int freed = lock.Free();
        int closed = hdl.Close();
        if (r != 0 || freed != 0 || closed != 0) return -1;
        Register(kRegisterTrap, d.identity);
        return 0;
    });
}

int DBSendHandleCheck(const char* handle, const char* identity) {
    return Export("DBSendHandleCheck", [&] {
        const std::string h = HandleText(handle);
        if (h.empty() || !identity) return -1;
        Session session;
        if (!session.ok()) return -1;
        Table hdl(SetId::Hdl);
        if (hdl.Open() != 0) return -1;
        Record rec;
        int r = hdl.Equal(1, SendProbe(hdl, h, Identity::FromLaidOut(identity)), rec);
        if (r != 0 && r != kEnd) return -1;
        if (hdl.Close() != 0) return -1;
        return r == 0 ? 0 : -31;
    });
}

int DBGetHandleData(const char* handle, const char* identity, int* flag, char* buffer, int* size) {
    return Export("DBGetHandleData", [&] {
        const std::string h = HandleText(handle);
        if (h.empty() || !identity || !size) return -1;
        Session session;
        if (!session.ok()) return -1;
        Table hdl(SetId::Hdl);
        if (hdl.Open() != 0) return -1;
        Record rec;
        int r = hdl.Equal(1, SendProbe(hdl, h, Identity::FromLaidOut(identity)), rec);
        if (r != 0 && r != kEnd) return -1;
        if (hdl.Close() != 0) return -1;
        if (r == kEnd) return -31;
        if (flag) *flag = GetInt(rec.data() + hdl::kFlag);
        std::string text = GetText(rec.data() + hdl::kText, hdl::kTextWidth);
        int need = static_cast<int>(text.size()) + 1;
        if (!buffer || *size < need) {
            *size = need;
            return -3;
        }
        std::memcpy(buffer, text.c_str(), static_cast<size_t>(need));
        return 0;
    });
}

int DBSetHandleNotice(const char* handle, const void* notice) {
    return Export("DBSetHandleNotice", [&] {
        const std::string h = HandleText(handle);
        if (h.empty() || !notice) return -1;
        const char* n = static_cast<const char*>(notice);
        Record rec;
        {
            Table to(SetId::To);
            if (to.Open() != 0) return -1;
            rec = to.NewRecord();
            PutText(rec.data() + to::kHandle, kHandleWidth, h);
            PutText(rec.data() + to::kAddress, 16, GetText(n + notice::kAddress, 16));
            PutText(rec.data() + to::kText, notice::kTextWidth, GetText(n + notice::kText, notice::kTextWidth));
            PutText(rec.data() + to::kText2, notice::kShortWidth, GetText(n + notice::kText2, notice::kShortWidth));
            PutText(rec.data() + to::kText3, notice::kShortWidth, GetText(n + notice::kText3, notice::kShortWidth));
            PutInt(rec.data() + to::kNumber, GetInt(n + notice::kNumber));
            // A destination belongs to one handle: whoever owns it now gives it up first.
            Record owner;
            int r = to.Equal(2, rec, owner);
            if (r != 0 && r != kEnd) return -1;
            if (to.Close() != 0) return -1;
            if (r == 0 && DeleteNotice(GetText(owner.data() + to::kHandle, kHandleWidth)) != 0)
                return -1;
        }
        Table to(SetId::To);
        if (to.Open() != 0) return -1;
        StoreLock lock;
        if (lock.Take() != 0) return -1;
        int r = to.Add(rec);
        int freed = lock.Free();
        int closed = to.Close();
        return r == 0 && freed == 0 && closed == 0 ? 0 : -1;
    });
}

// The notice destination of handle `h` (exactly, or the first after it; "" with `after` is
// before every handle): 0 with its record, -31 when there is none, -1 when the store fails.
static int FindNoticeRecord(const std::string& h, bool after, Record& rec) {
    Session session;
    if (!session.ok()) return -1;
    Table to(SetId::To);
    if (to.Open() != 0) return -1;
    Record probe = to.NewRecord();
    PutText(probe.data() + to::kHandle, kHandleWidth, h);
    int r = !after ? to.Equal(1, probe, rec) : h.empty() ? to.First(1, rec) : to.Greater(1, probe, rec);
    if (r != 0 && r != kEnd) return -1;
    if (to.Close() != 0) return -1;
    return r == kEnd ? -31 : 0;
}

int DBGetHandleNotice(const char* handle, void* notice) {
    return Export("DBGetHandleNotice", [&] {
        const std::string h = HandleText(handle);
        if (h.empty() || !notice) return -1;
        Record rec;
        if (int r = FindNoticeRecord(h, false, rec); r != 0) return r;
        NoticeOfRecord(rec, static_cast<char*>(notice));
        return 0;
    });
}

int DBNextHandleNotice(const char* handle, char* next, void* notice) {
    return Export("DBNextHandleNotice", [&] {
        if (!next || !notice) return -1;
        const std::string h = handle ? HandleText(handle) : std::string();
        Record rec;
        if (int r = FindNoticeRecord(h, true, rec); r != 0) return r;
        PutText(next, kHandleWidth, GetText(rec.data() + to::kHandle, kHandleWidth));
        NoticeOfRecord(rec, static_cast<char*>(notice));
        return 0;
    });
}

int DBGetUDP(const char* address, const char* number, char* buffer, int* size) {
    return Export("DBGetUDP", [&] {
        if (!address || !number || !size) return -1;
        Table to(SetId::To);
        if (to.Open() != 0) return -1;
        Record probe = to.NewRecord(), rec;
        PutText(probe.data() + to::kAddress, 16, address);
        PutInt(probe.data() + to::kNumber, ToInt(number));
        int r = to.Equal(2, probe, rec);
        if (r != 0 && r != kEnd) return -1;
        if (to.Close() != 0) return -1;
        if (r == kEnd) return -31;
        std::string h = GetText(rec.data() + to::kHandle, kHandleWidth);
        int need = static_cast<int>(h.size()) + 1;
        if (!buffer || *size < need) {
            *size = need;
            return -3;
        }
        std::memcpy(buffer, h.c_str(), static_cast<size_t>(need));
        return 0;
    });
}

int DBDeleteNotice(const char* handle) {
    return Export("DBDeleteNotice", [&] {
        const std::string h = HandleText(handle);
        if (h.empty()) return -1;
        Session session;
        if (!session.ok()) return -1;
        return DeleteNotice(h);
    });
}

int DBDeleteNotice2(const char* handle) {
    return Export("DBDeleteNotice2", [&] {
        const std::string h = HandleText(handle);
        return h.empty() ? -1 : DeleteNotice(h);
    });
}

}  // extern "C"
