// Reading the log: the polling walk over the watched devices.
#include <cstring>

#include "QNTFDB.h"
#include "core.h"
#include "frame.h"
#include "records.h"

namespace qm::ntfdb {
namespace {

int ReadLogPolling(unsigned char* p) {
    Session session;
    if (!session.ok()) return -1;
    Table dev(SetId::Dev);
    if (dev.Open() != 0) return -1;
    Record probe = dev.NewRecord(), rec;
    Identity::FromLaidOut(reinterpret_cast<const char*>(p + polling::kIdentityOffsets[0]))
        .CopyTo(probe.data() + dev::kIdentity);
    int r = dev.Greater(1, probe, rec);
    // Devices whose watches are all stopped are passed over.
    for (; r == 0; r = dev.Next(1, rec)) {
        const unsigned char* d = rec.data();
        if (GetInt(d + dev::kWatches) > 0 || GetInt(d + dev::kCounters) > 0 ||
            GetInt(d + dev::kConsumables) > 0)
            break;
    }
    if (r != 0 && r != kEnd) return -1;
    if (dev.Close() != 0) return -1;
    if (r == kEnd) return -31;
    const unsigned char* d = rec.data();
    char* out = reinterpret_cast<char*>(p);
    Identity::FromRecord(d + dev::kIdentity).PutParts(out, polling::kIdentityOffsets);
    PutInt(p + polling::kFlag, GetInt(d + dev::kFlag));
    PutInt(p + polling::kWatches, GetInt(d + dev::kWatches));
    PutInt(p + polling::kCounters, GetInt(d + dev::kCounters));
    PutInt(p + polling::kConsumables, GetInt(d + dev::kConsumables));
    PutInt(p + polling::kThird, GetInt(d + dev::kThird));
    PutInt(p + polling::kFirst, GetInt(d + dev::kFirst));
    PutInt(p + polling::kSecond, GetInt(d + dev::kSecond));
    PutInt(p + 120, 0);
    PutInt(p + 124, 0);
    return 0;
}

}  // namespace
}  // namespace qm::ntfdb

using namespace qm::ntfdb;

extern "C" {

int DBReadLogPolling(void* pollingRecord) {
    return Export("DBReadLogPolling", [&] {
        if (!pollingRecord) return -1;
        return ReadLogPolling(static_cast<unsigned char*>(pollingRecord));
    });
}

}  // extern "C"
