// Status records: alerts recorded by the monitor, the monitor's status walk, the send queue
// and backlog read by the notification service, the on/off record and the polling settings.
#include <memory>
#include <string>
#include <vector>

#include "QNTFDB.h"
#include "core.h"
#include "frame.h"
#include "records.h"

namespace qm::ntfdb {

int DeleteStatusOfDevice(Table& sts, const Identity& id);
int DeviceWatched(Table& dev, const Identity& id, bool& exists, bool& watched);
int HasAnySendRecord(Table& hdl, const Identity& id, bool& found);

namespace {

// A status record from the eleven line-feed-separated fields of a record text.
Record ParseStatus(const Table& sts, const Identity& id, const char* text) {
    std::vector<std::string> f = SplitFields(text);
    f.resize(11);
    Record r = sts.NewRecord();
    unsigned char* p = r.data();
    PutInt(p + sts::kTime, ToInt(f[0]));
    id.CopyTo(p + sts::kIdentity);
    PutInt(p + sts::kKind, ToInt(f[1]));
    PutInt(p + sts::kIndex, ToInt(f[2]));
    PutInt(p + sts::kSeverity, ToInt(f[3]));
    PutInt(p + sts::kTraining, ToInt(f[4]));
    PutInt(p + sts::kGroup, ToInt(f[5]));
    PutInt(p + sts::kGroupIndex, ToInt(f[6]));
    PutInt(p + sts::kLocation, ToInt(f[7]));
    PutInt(p + sts::kCode, ToInt(f[8]));
    PutText(p + sts::kDescription, sts::kDescriptionWidth, f[9]);
    PutInt(p + sts::kPrinterTime, ToInt(f[10]));
    return r;
}

bool SameAlert(const unsigned char* a, const unsigned char* b, int groupAt, int groupIndexAt,
               int codeAt) {
    return GetInt(a + sts::kGroup) == GetInt(b + groupAt) &&
           GetInt(a + sts::kGroupIndex) == GetInt(b + groupIndexAt) &&
           GetInt(a + sts::kCode) == GetInt(b + codeAt);
}

// Fills the notification service's send record from a status record.
void FillSendRecord(const Record& rec, char* out) {
    const unsigned char* p = rec.data();
    std::memset(out, 0, send::kSize);
    Identity::FromRecord(p + sts::kIdentity).PutParts(out, send::kIdentityOffsets);
    PutDecimal(out + send::kTime, send::kNumberWidth, GetInt(p + sts::kTime));
    PutDecimal(out + send::kKind, send::kNumberWidth, GetInt(p + sts::kKind));
    PutDecimal(out + send::kIndex, send::kNumberWidth, GetInt(p + sts::kIndex));
    PutDecimal(out + send::kSeverity, send::kNumberWidth, GetInt(p + sts::kSeverity));
    PutDecimal(out + send::kTraining, send::kNumberWidth, GetInt(p + sts::kTraining));
    PutDecimal(out + send::kGroup, send::kNumberWidth, GetInt(p + sts::kGroup));
    PutDecimal(out + send::kGroupIndex, send::kNumberWidth, GetInt(p + sts::kGroupIndex));
    PutDecimal(out + send::kLocation, send::kNumberWidth, GetInt(p + sts::kLocation));
    PutDecimal(out + send::kCode, send::kNumberWidth, GetInt(p + sts::kCode));
    PutText(out + send::kDescription, send::kDescriptionWidth,
            GetText(p + sts::kDescription, sts::kDescriptionWidth));
    PutDecimal(out + send::kPrinterTime, send::kNumberWidth, GetInt(p + sts::kPrinterTime));
}

// The device's on/off record (alert index 0, any state): 0 found, 101 none, else failure.
int FindOnOff(Table& sts, const Identity& id, Record& out) {
    Record probe = sts.NewRecord();
    id.CopyTo(probe.data() + sts::kIdentity);
    int r = sts.FirstInSet(2, probe, sts::kDevicePrefix, out);
    while (r == 0) {
        if (GetInt(out.data() + sts::kIndex) == 0) return 0;
        r = sts.NextInSet(2, out);
    }
    return r;
}

// Whether anybody is interested in the device: a send record or a "DV"/"GR" watch.
int Interest(Table& hdl, Table& dev, const Identity& id, bool& sending, bool& watched) {
    bool exists = false;
    if (HasAnySendRecord(hdl, id, sending) != 0) return -1;
    return DeviceWatched(dev, id, exists, watched) == 0 ? 0 : -1;
}

// Whether the device's alert log holds an entry of this alert (same group, group index and
// code). The log is ordered by time only, so this reads it from the start.
int AlertLogged(Table& log, const Identity& id, const Record& alert, bool& found) {
    found = false;
    Record entry;
    int r = log.First(1, entry);
    while (r == 0) {
        const unsigned char* e = entry.data();
        if (GetInt(e + logrec::kKind) == 0 && id.Matches(e + logrec::kIdentity) &&
            SameAlert(alert.data(), e, logrec::kGroup, logrec::kGroupIndex, logrec::kCode)) {
            found = true;
            return 0;
        }
        r = log.Next(1, entry);
    }
    return r == kEnd ? 0 : -1;
}

int CloseAll(StoreLock& lock, std::initializer_list<Table*> tables) {
    int r = lock.Free();
    for (Table* t : tables) r |= t->Close();
    return r == 0 ? 0 : -1;
}

// The status walk of the calling thread (DBOpenStatusDB to DBCloseStatusDB).
struct StatusWalk {
    std::unique_ptr<Table> table;
    std::unique_ptr<Session> session;
};
thread_local StatusWalk t_walk;

}  // namespace
}  // namespace qm::ntfdb

using namespace qm::ntfdb;

extern "C" {

int DBSetSendData(const char* const* device, const char* text, int /*length*/) {
    return Export("DBSetSendData", [&] {
        Device d;
        if (!ParseDevice(device, d, false) || !text) return -1;
        Session session;
        if (!session.ok()) return -1;
        Table hdl(SetId::Hdl), sts(SetId::Sts), dev(SetId::Dev), log(SetId::Log);
        for (Table* t : {&hdl, &sts, &dev, &log})
            if (t->Open() != 0) return -1;
        StoreLock lock;
        if (lock.Take() != 0) return -1;

        int result = -300;
        bool sending = false, watched = false;
        if (Interest(hdl, dev, d.identity, sending, watched) != 0) return -1;
        if (sending || watched) {
            Record alert = ParseStatus(sts, d.identity, text);
            Record probe = sts.NewRecord(), rec;
            d.identity.CopyTo(probe.data() + sts::kIdentity);
            int r = sts.FirstInSet(2, probe, sts::kDevicePrefix, rec);
            bool known = false;
            while (r == 0) {
                int32_t kind = GetInt(rec.data() + sts::kKind);
                if ((kind == 0 || kind == 1) &&
                    SameAlert(alert.data(), rec.data(), sts::kGroup, sts::kGroupIndex, sts::kCode)) {
                    known = true;
                    break;
                }
                r = sts.NextInSet(2, rec);
            }
            if (r != 0 && r != kEnd) return -1;
            if (!known) {
                if (sts.Add(alert) != 0) return -1;
                result = -301;
            } else {
                if (watched) {
                    bool logged = false;
                    if (AlertLogged(log, d.identity, alert, logged) != 0) return -1;
                    if (!logged) result = -301;
                }
                // `rec` is still the store's current record of ntcsts.
                PutInt(rec.data() + sts::kTime, GetInt(alert.data() + sts::kTime));
                if (sts.Rewrite(rec) != 0) return -1;
            }
        }
        if (CloseAll(lock, {&hdl, &sts, &dev, &log}) != 0) return -1;
        return result;
    });
}

int DBOpenStatusDB(int* fileNumber) {
    return Export("DBOpenStatusDB", [&] {
        if (!fileNumber) return -1;
        if (t_walk.table) return -1;  // one walk per thread
        auto session = std::make_unique<Session>();
        if (!session->ok()) return -1;
        auto table = std::make_unique<Table>(SetId::Sts);
        if (table->Open() != 0) return -1;
        *fileNumber = table->data();
        t_walk.session = std::move(session);
        t_walk.table = std::move(table);
        return 0;
    });
}

int DBReadStatusDB(int fileNumber, void* statusRecord) {
    return Export("DBReadStatusDB", [&] {
        if (!statusRecord) return -1;
        char* s = static_cast<char*>(statusRecord);
        Table sts(SetId::Sts);
        sts.Adopt(fileNumber);
        struct Keep {
            Table& t;
            ~Keep() { t.Release(); }
        } keep{sts};
        const Identity device = Identity::FromLaidOut(s);
        Record probe = sts.NewRecord(), rec;
        device.CopyTo(probe.data() + sts::kIdentity);
        PutInt(probe.data() + sts::kKind, GetInt(s + status::kKind));
        PutInt(probe.data() + sts::kIndex, GetInt(s + status::kIndex));
        PutInt(probe.data() + sts::kTime, GetInt(s + status::kTime));
        int r = sts.Greater(2, probe, rec);
        while (r == 0) {
            const unsigned char* p = rec.data();
            // The walk covers the device the caller names; an empty identity walks them all.
            if (!device.Empty() && !device.Matches(p + sts::kIdentity)) return 100;
            int32_t kind = GetInt(p + sts::kKind);
            if ((kind == 0 || kind == 1) && GetInt(p + sts::kIndex) != 0) {
                std::memset(s, 0, status::kSize);
                Identity::FromRecord(p + sts::kIdentity).PutParts(s, send::kIdentityOffsets);
                PutInt(s + status::kKind, kind);
                PutInt(s + status::kIndex, GetInt(p + sts::kIndex));
                PutInt(s + status::kGroup, GetInt(p + sts::kGroup));
                PutInt(s + status::kGroupIndex, GetInt(p + sts::kGroupIndex));
                PutInt(s + status::kCode, GetInt(p + sts::kCode));
                PutInt(s + status::kTime, GetInt(p + sts::kTime));
                return 0;
            }
            r = sts.Next(2, rec);
        }
        return r == kEnd ? 100 : -1;
    });
}

int DBUpdateSendDB(int fileNumber, int kind, void* statusRecord) {
    return Export("DBUpdateSendDB", [&] {
        if (!statusRecord) return -1;
        const char* s = static_cast<const char*>(statusRecord);
        Table sts(SetId::Sts);
        sts.Adopt(fileNumber);
        struct Keep {
            Table& t;
            ~Keep() { t.Release(); }
        } keep{sts};
        Table hdl(SetId::Hdl);
        if (hdl.Open() != 0) return -1;
        StoreLock lock;
        if (lock.Take() != 0) return -1;
        const Identity id = Identity::FromLaidOut(s);
        Record probe = sts.NewRecord(), rec;
        id.CopyTo(probe.data() + sts::kIdentity);
        PutInt(probe.data() + sts::kKind, GetInt(s + status::kKind));
        PutInt(probe.data() + sts::kIndex, GetInt(s + status::kIndex));
        PutInt(probe.data() + sts::kTime, GetInt(s + status::kTime));
        int r = sts.Equal(2, probe, rec);
        if (r == kEnd) return -31;
        if (r != 0) return -1;
        bool sending = false;
        if (HasAnySendRecord(hdl, id, sending) != 0) return -1;
        if (sending) {
            PutInt(rec.data() + sts::kKind, kind);
            r = sts.Rewrite(rec);
        } else {
            r = sts.Delete();
        }
        if (r != 0) return -1;
        return CloseAll(lock, {&hdl});
    });
}

int DBCloseStatusDB(void) {
    return Export("DBCloseStatusDB", [] {
        if (!t_walk.table) return -1;
        int r = t_walk.table->Close();
        t_walk.table.reset();
        int e = t_walk.session ? t_walk.session->End() : 0;
        t_walk.session.reset();
        return r == 0 && e == 0 ? 0 : -1;
    });
}

int DBReadSendDB(void* position, char* sendRecord) {
    return Export("DBReadSendDB", [&] {
        if (!position || !sendRecord) return -1;
        unsigned char* pos = static_cast<unsigned char*>(position);
        Session session;
        if (!session.ok()) return -1;
        Table sts(SetId::Sts);
        if (sts.Open() != 0) return -1;
        StoreLock lock;
        if (lock.Take() != 0) return -1;
        // The position is an index-1 key laid out as the record's bytes 4 to 91.
        Record probe = sts.NewRecord(), rec;
        std::memcpy(probe.data() + sts::kTime, pos, 88);
        int r = sts.Greater(1, probe, rec);
        while (r == 0 && GetInt(rec.data() + sts::kKind) == 0) r = sts.Next(1, rec);
        if (r == kEnd) return CloseAll(lock, {&sts}) == 0 ? 100 : -1;
        if (r != 0) return -1;

        const int32_t kind = GetInt(rec.data() + sts::kKind);
        FillSendRecord(rec, sendRecord);
        std::memset(pos, 0, position::kSize);
        std::memcpy(pos + position::kTime, rec.data() + sts::kTime, 4 + kIdentitySize);
        PutInt(pos + position::kIndex, GetInt(rec.data() + sts::kIndex));
        if (kind == 2) {
            r = sts.Delete();  // a cleared alert is told once and then forgotten
        } else {
            PutInt(rec.data() + sts::kKind, 0);
            r = sts.Rewrite(rec);
        }
        if (r != 0) return -1;
        return CloseAll(lock, {&sts});
    });
}

int DBDeleteSendDB(void* position) {
    return Export("DBDeleteSendDB", [&] {
        if (!position) return -1;
        Table sts(SetId::Sts);
        if (sts.Open() != 0) return -1;
        StoreLock lock;
        if (lock.Take() != 0) return -1;
        Record probe = sts.NewRecord(), rec;
        std::memcpy(probe.data() + sts::kTime, position, 88);
        int r = sts.Equal(1, probe, rec);
        if (r == kEnd) return -31;
        if (r != 0 || sts.Delete() != 0) return -1;
        return CloseAll(lock, {&sts});
    });
}

int DBReadFirstSend(const char* handle, char* sendRecord, int* flag, char* buffer, int* size) {
    return Export("DBReadFirstSend", [&] {
        const std::string h = HandleText(handle);
        if (h.empty() || !sendRecord || !size) return -1;
        Session session;
        if (!session.ok()) return -1;
        Table hdl(SetId::Hdl), sts(SetId::Sts);
        if (hdl.Open() != 0 || sts.Open() != 0) return -1;

        Record hprobe = hdl.NewRecord(), hrec;
        PutText(hprobe.data() + hdl::kHandle, kHandleWidth, h);
        int r = hdl.FirstInSet(1, hprobe, hdl::kHandlePrefix, hrec);
        if (r == kEnd) return -31;
        if (r != 0) return -1;

        // The position travels in the send record's own texts.
        Record probe = sts.NewRecord(), rec;
        PutInt(probe.data() + sts::kTime, ToInt(GetText(sendRecord + send::kTime, send::kNumberWidth)));
        Identity::FromLaidOut(sendRecord).CopyTo(probe.data() + sts::kIdentity);
        PutInt(probe.data() + sts::kKind, ToInt(GetText(sendRecord + send::kKind, send::kNumberWidth)));
        PutInt(probe.data() + sts::kIndex, ToInt(GetText(sendRecord + send::kIndex, send::kNumberWidth)));
        r = sts.Greater(1, probe, rec);
        while (r == 0) {
            if (GetInt(rec.data() + sts::kKind) == 0) {
                Identity id = Identity::FromRecord(rec.data() + sts::kIdentity);
                PutText(hprobe.data() + hdl::kHandle, kHandleWidth, h);
                id.CopyTo(hprobe.data() + hdl::kIdentity);
                int found = hdl.Equal(1, hprobe, hrec);
                if (found == 0) break;
                if (found != kEnd) return -1;
            }
            r = sts.Next(1, rec);
        }
        if (r == kEnd) return hdl.Close() == 0 && sts.Close() == 0 ? 100 : -1;
        if (r != 0) return -1;
        std::string text = GetText(hrec.data() + hdl::kText, hdl::kTextWidth);
        if (flag) *flag = GetInt(hrec.data() + hdl::kFlag);
        int need = static_cast<int>(text.size()) + 1;
        if (!buffer || *size < need) {
            *size = need;  // the position stays, so the same record comes again
            return -3;
        }
        FillSendRecord(rec, sendRecord);
        std::memcpy(buffer, text.c_str(), static_cast<size_t>(need));
        return hdl.Close() == 0 && sts.Close() == 0 ? 0 : -1;
    });
}

int DBSetOnOff(const char* const* device, const char* text, int /*length*/) {
    return Export("DBSetOnOff", [&] {
        Device d;
        if (!ParseDevice(device, d, false) || !text) return -1;
        Session session;
        if (!session.ok()) return -1;
        Table hdl(SetId::Hdl), dev(SetId::Dev), sts(SetId::Sts);
        for (Table* t : {&hdl, &dev, &sts})
            if (t->Open() != 0) return -1;
        StoreLock lock;
        if (lock.Take() != 0) return -1;
        bool sending = false, watched = false;
        if (Interest(hdl, dev, d.identity, sending, watched) != 0) return -1;
        if (sending || watched) {
            Record parsed = ParseStatus(sts, d.identity, text);
            PutInt(parsed.data() + sts::kIndex, 0);  // the on/off record is alert index 0
            const int32_t state = GetInt(parsed.data() + sts::kKind);
            Record rec;
            int r = FindOnOff(sts, d.identity, rec);
            if (r == 0) {
                if (state == 5) {
                    r = sts.Delete();
                } else {
                    PutInt(rec.data() + sts::kTime, GetInt(parsed.data() + sts::kTime));
                    PutInt(rec.data() + sts::kKind, state);
                    PutInt(rec.data() + sts::kSeverity, GetInt(parsed.data() + sts::kSeverity));
                    r = sts.Rewrite(rec);
                }
            } else if (r == kEnd) {
                r = state == 5 ? 0 : sts.Add(parsed);
            }
            if (r != 0) return -1;
        }
        return CloseAll(lock, {&hdl, &dev, &sts});
    });
}

int DBReadOnOff(const char* const* device) {
    return Export("DBReadOnOff", [&] {
        Device d;
        if (!ParseDevice(device, d, false)) return -1;
        Session session;
        if (!session.ok()) return -1;
        Table sts(SetId::Sts);
        if (sts.Open() != 0) return -1;
        Record rec;
        int r = FindOnOff(sts, d.identity, rec);
        if (r != 0 && r != kEnd) return -1;
        if (sts.Close() != 0) return -1;
        if (r == kEnd) return -31;
        return GetInt(rec.data() + sts::kSeverity) != 0 ? 1 : 0;
    });
}

int DBDeleteOnOff(const char* const* device) {
    return Export("DBDeleteOnOff", [&] {
        Device d;
        if (!ParseDevice(device, d, false)) return -1;
        Session session;
        if (!session.ok()) return -1;
        Table sts(SetId::Sts);
        if (sts.Open() != 0) return -1;
        StoreLock lock;
        if (lock.Take() != 0) return -1;
        Record rec;
        int r = FindOnOff(sts, d.identity, rec);
        if (r == 0 && GetInt(rec.data() + sts::kSeverity) == 0) r = sts.Delete();
        if (r != 0 && r != kEnd) return -1;
        return CloseAll(lock, {&sts});
    });
}

int DBSetPolling(const char* const* device, int first, int second, int third) {
    return Export("DBSetPolling", [&] {
        Device d;
        if (!ParseDevice(device, d)) return -1;
        Table dev(SetId::Dev);
        if (dev.Open() != 0) return -1;
        StoreLock lock;
        if (lock.Take() != 0) return -1;
        Record probe = dev.NewRecord(), rec;
        d.identity.CopyTo(probe.data() + dev::kIdentity);
        int r = dev.Equal(1, probe, rec);
        if (r != 0 && r != kEnd) return -1;
        const bool exists = r == 0;
        if (!exists) {
            rec = probe;
            PutInt(rec.data() + dev::kFlag, d.flag);
        }
        PutInt(rec.data() + dev::kFirst, first);
        PutInt(rec.data() + dev::kSecond, second);
        PutInt(rec.data() + dev::kThird, third);
        r = exists ? dev.Rewrite(rec) : dev.Add(rec);
        if (r != 0) return -1;
        return CloseAll(lock, {&dev});
    });
}

int DBReadSendPolling(void* pollingRecord) {
    return Export("DBReadSendPolling", [&] {
        if (!pollingRecord) return -1;
        char* p = static_cast<char*>(pollingRecord);
        Session session;
        if (!session.ok()) return -1;
        Table hdl(SetId::Hdl);
        if (hdl.Open() != 0) return -1;
        Record probe = hdl.NewRecord(), rec;
        PutText(probe.data() + hdl::kHandle, kHandleWidth, GetText(p + polling::kHandle, kHandleWidth));
        Identity::FromLaidOut(p + polling::kIdentityOffsets[0]).CopyTo(probe.data() + hdl::kIdentity);
        int r = hdl.Greater(2, probe, rec);
        if (r != 0 && r != kEnd) return -1;
        if (hdl.Close() != 0) return -1;
        if (r == kEnd) return -31;
        std::memset(p, 0, polling::kSize);
        PutText(p + polling::kHandle, kHandleWidth, GetText(rec.data() + hdl::kHandle, kHandleWidth));
        Identity::FromRecord(rec.data() + hdl::kIdentity).PutParts(p, polling::kIdentityOffsets);
        PutInt(p + polling::kInterval, GetInt(rec.data() + hdl::kInterval));
        return 0;
    });
}

}  // extern "C"
