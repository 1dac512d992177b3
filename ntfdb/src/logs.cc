// Log entries added by the monitor: alert log, consumables and print counters.
#include <string>
#include <vector>

#include "QNTFDB.h"
#include "core.h"
#include "frame.h"
#include "qm/platform/clock.h"
#include "records.h"

namespace qm::ntfdb {
namespace {

constexpr int kSeverity = 92, kTraining = 96, kLocation = 108, kDescription = 116,
              kDescriptionWidth = 256, kPrinterTime = 372, kLevel = 376, kDate = 380,
              kTimeText = 392, kTextWidth = 12;

enum class LogKind { Alert = 0, Consumables = 1, Counters = 2 };

int AddEntry(const char* const* device, const char* text, LogKind kind) {
    Device d;
    if (!ParseDevice(device, d, false) || !text) return -1;
    std::vector<std::string> f = SplitFields(text);
    f.resize(11);
    // The entry's time is its date and time texts read as local calendar time.
    auto seconds = platform::LocalSecondsFromText(f[0], f[1]);
    if (!seconds) return -1;
    Session session;
    if (!session.ok()) return -1;
    Table log(SetId::Log);
    if (log.Open() != 0) return -1;
    StoreLock lock;
    if (lock.Take() != 0) return -1;
    Record r = log.NewRecord();
    unsigned char* p = r.data();
    PutInt(p + logrec::kTime, static_cast<int32_t>(*seconds));
    d.identity.CopyTo(p + logrec::kIdentity);
    PutInt(p + logrec::kKind, static_cast<int32_t>(kind));
    switch (kind) {
        case LogKind::Alert:
            PutInt(p + logrec::kIndex, ToInt(f[2]));
            PutInt(p + kSeverity, ToInt(f[3]));
            PutInt(p + kTraining, ToInt(f[4]));
            PutInt(p + logrec::kGroup, ToInt(f[5]));
            PutInt(p + logrec::kGroupIndex, ToInt(f[6]));
            PutInt(p + kLocation, ToInt(f[7]));
            PutInt(p + logrec::kCode, ToInt(f[8]));
            PutText(p + kDescription, kDescriptionWidth, f[9]);
            PutInt(p + kPrinterTime, ToInt(f[10]));
            break;
        case LogKind::Consumables:
            PutInt(p + kSeverity, ToInt(f[2]));        // supply type
            PutInt(p + logrec::kIndex, ToInt(f[3]));   // supply index
            PutInt(p + kTraining, ToInt(f[4]));        // maximum capacity
            PutInt(p + kLevel, ToInt(f[5]));
            break;
        case LogKind::Counters:
            PutInt(p + kSeverity, ToInt(f[2]));  // counter unit
            PutInt(p + kTraining, ToInt(f[3]));  // life count
            break;
    }
    PutText(p + kDate, kTextWidth, f[0]);
    PutText(p + kTimeText, kTextWidth, f[1]);
    int added = log.Add(r);
    int freed = lock.Free();
    int closed = log.Close();
    return added == 0 && freed == 0 && closed == 0 ? 0 : -1;
}

}  // namespace
}  // namespace qm::ntfdb

using namespace qm::ntfdb;

extern "C" {

int DBSetLogData(const char* const* device, const char* text, int /*length*/) {
    return Export("DBSetLogData", [&] { return AddEntry(device, text, LogKind::Alert); });
}

int DBSetConsData(const char* const* device, const char* text, int /*length*/) {
    return Export("DBSetConsData", [&] { return AddEntry(device, text, LogKind::Consumables); });
}

int DBSetPrtCntData(const char* const* device, const char* text, int /*length*/) {
    return Export("DBSetPrtCntData", [&] { return AddEntry(device, text, LogKind::Counters); });
}

}  // extern "C"
