// Library start per thread, and the system settings file (QMCONFIG) with its initial records.
#include <cstring>

#include "files.h"
#include "frame.h"
#include "qmdbmgr.h"
#include "trace.h"

namespace qm::confdb {
namespace {

constexpr int kItemOffset = 4, kItemWidth = 128, kValueOffset = 132, kValueWidth = 256;

// The records a new settings file starts with, in this order.
constexpr const char* kInitial[][2] = {
    {"QMC_SepaBrowser", "No"},     {"QMC_BroadIPLocal", "ON"},  {"QMC_BroadIPXLocal", "ON"},
    {"QMC_MaxLogSize", "524288"},  {"QMC_LogOtherSave", "OFF"}, {"QMC_LogEffective", "30"},
    {"QMC_AllDeviceGroup", "All Devices"},
};

void MakeRecord(unsigned char* rec, const char* item, const char* value) {
    std::memset(rec, 0, kConfigLength);
    PutText(rec + kItemOffset, kItemWidth, item);
    PutText(rec + kValueOffset, kValueWidth, value);
}

// Adds every initial record that is missing. "Already there" counts as seeded: another
// process may be seeding the same new file at this moment, or a writer may have stored one of
// the items between the file's creation and its seeding; its value is kept.
int SeedSettings(File& f) {
    unsigned char rec[kConfigLength];
    for (const auto& [item, value] : kInitial) {
        MakeRecord(rec, item, value);
        int r = f.store().ADDREC(f.data(), rec);
        if (r != 0 && r != ISAM_KEY_DUPLICATE) return r;
    }
    return 0;
}

bool IsInitialItem(const char* item) {
    for (const auto& initial : kInitial)
        if (std::strcmp(initial[0], item) == 0) return true;
    return false;
}

// Opens the settings file, creating and seeding it when it does not exist yet.
int OpenSettings(File& f) {
    bool created = false;
    int r = f.OpenOrCreate(created);
    if (r != 0 || !created) return r;
    return SeedSettings(f);
}

}  // namespace
}  // namespace qm::confdb

using namespace qm::confdb;

extern "C" int DBMgrInitialize(void) {
    return DbCall("DBMgrInitialize", [&](const DbFrame& frame) -> int {
        frame.In();
        const StoreApi* s = Store();
        int r = s ? s->INTISAM(6, 10, 4) : -1;
        if (r != 0 && r != 125 && r != 518) return frame.Fail("nRet=%d", r);
        return frame.Out(0, "Ret=0");
    });
}

extern "C" int DBMgrRelease(void) {
    return DbCall("DBMgrRelease", [&](const DbFrame& frame) -> int {
        frame.In();
        const StoreApi* s = Store();
        int r = s ? s->CLISAM() : -1;
        return frame.Done(r);
    });
}

extern "C" int DBReadQMInfo(const char* Item, char* Data) {
    return DbCall("DBReadQMInfo", [&](const DbFrame& frame) -> int {
        const StoreApi* s = frame.Begin({{"Item", Item, kItemWidth}}, {{"Data", Data}});
        if (!s) return -1;
        File f(*s, FileId::Config);
        int r = OpenSettings(f);
        const TextKey<kItemWidth> key(Item);  // Item fits: checked above
        unsigned char rec[kConfigLength];
        if (r == 0) {
            r = s->EQLREC(f.index(1), key.bytes, rec);
            // An initial item is missing only when the seeding of a new file was cut short (a
            // crash, or a reader that came between creation and seeding): finish it now.
            if (r == ISAM_END && IsInitialItem(Item) && (r = SeedSettings(f)) == 0)
                r = s->EQLREC(f.index(1), key.bytes, rec);
            if (r == 0) {
                GetText(Data, rec + kValueOffset, kValueWidth);
            } else if (r == ISAM_END) {
                Data[0] = '\0';
                r = 0;
            }
        }
        if (r == 0) r = f.Close();
        if (r != 0) return frame.Fail("nRet=%d", r);
        return frame.Out(0, "Data=%s", Data);
    });
}

extern "C" int DBWriteQMInfo(const char* Item, const char* Data) {
    return DbCall("DBWriteQMInfo", [&](const DbFrame& frame) -> int {
        const StoreApi* s = frame.Begin({{"Item", Item, kItemWidth}, {"Data", Data, kValueWidth}});
        if (!s) return -1;
        File f(*s, FileId::Config);
        int r = OpenSettings(f);
        const TextKey<kItemWidth> key(Item);  // Item fits: checked above
        unsigned char rec[kConfigLength];
        if (r == 0) {
            // Settings take no locks: another writer may add the same item between our
            // lookup and our add. Its value is replaced, as the last writer wins.
            const Field value{"", kValueOffset, kValueWidth};
            r = WriteKeyedText(f, key.bytes, rec, &value, Data,
                               [&](unsigned char* fresh) { MakeRecord(fresh, Item, Data); });
        }
        if (r == 0) r = f.Close();
        return frame.Done(r);
    });
}
