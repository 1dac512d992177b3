// The log polling read: which devices the monitor polls for its logs, and how often.
#include "QNTFDB.h"
#include "core.h"
#include "frame.h"
#include "records.h"

namespace qm::ntfdb {
namespace {

// The 128-byte polling record of the log polling read.
constexpr int kIdentityOffsets[5] = {16, 28, 44, 68, 84};
constexpr int kFlag = 92, kWatches = 96, kCounters = 100, kConsumables = 104, kThird = 108,
              kFirst = 112, kSecond = 116, kSize = 128;

}  // namespace
}  // namespace qm::ntfdb

using namespace qm::ntfdb;

extern "C" int DBReadLogPolling(void* pollingRecord) {
    return Export("DBReadLogPolling", [&] {
        if (!pollingRecord) return -1;
        char* p = static_cast<char*>(pollingRecord);
        Session session;
        if (!session.ok()) return -1;
        Table dev(SetId::Dev);
        if (dev.Open() != 0) return -1;
        Record probe = dev.NewRecord(), rec;
        Identity::FromLaidOut(p + kIdentityOffsets[0]).CopyTo(probe.data() + dev::kIdentity);
        int r = dev.Greater(1, probe, rec);
        // The next device with anything running: an alert watch, counters or consumables.
        while (r == 0 && GetInt(rec.data() + dev::kWatches) <= 0 &&
               GetInt(rec.data() + dev::kCounters) <= 0 && GetInt(rec.data() + dev::kConsumables) <= 0)
            r = dev.Next(1, rec);
        if (r != 0 && r != kEnd) return -1;
        if (dev.Close() != 0) return -1;
        if (r == kEnd) return -31;
        const unsigned char* d = rec.data();
        std::memset(p, 0, kSize);
        Identity::FromRecord(d + dev::kIdentity).PutParts(p, kIdentityOffsets);
        PutInt(p + kFlag, GetInt(d + dev::kFlag));
        PutInt(p + kWatches, GetInt(d + dev::kWatches));
        PutInt(p + kCounters, GetInt(d + dev::kCounters));
        PutInt(p + kConsumables, GetInt(d + dev::kConsumables));
        PutInt(p + kThird, GetInt(d + dev::kThird));
        PutInt(p + kFirst, GetInt(d + dev::kFirst));
        PutInt(p + kSecond, GetInt(d + dev::kSecond));
        return 0;
    });
}
