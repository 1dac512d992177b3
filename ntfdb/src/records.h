// Field offsets of the seven record layouts and of the callers' structures.
#pragma once

namespace qm::ntfdb {

namespace sys {
constexpr int kNumber = 4, kMaxSize = 8, kDays = 12, kCsv = 16, kPercent = 20, kLastHandle = 24;
}

namespace dev {
constexpr int kIdentity = 4, kFirst = 80, kSecond = 84, kThird = 88, kFlag = 92;
// Running counts per kind, and the stopped counts of the log mode 12 bytes further on.
constexpr int kCounters = 96, kConsumables = 100, kWatches = 104, kStoppedShift = 12;
constexpr int kDefaultFirst = 3600, kDefaultSecond = 86400, kDefaultThird = 60;
}

namespace ctl {
constexpr int kMark = 4, kHandle = 8, kIdentity = 24, kStart = 100, kStop = 104, kText = 108,
              kTextWidth = 68, kRunning = 176, kStartDate = 180, kStartTime = 192,
              kStopDate = 204, kStopTime = 216, kDateWidth = 12;
// Bytes of index 1 that name a handle (mark and handle) and of index 2 that name a device
// (mark and identity).
constexpr int kHandlePrefix = 20, kDevicePrefix = 80;
}

namespace logrec {
constexpr int kTime = 4, kIdentity = 8, kKind = 84, kIndex = 88, kGroup = 100,
              kGroupIndex = 104, kCode = 112;
// The rest of an entry; consumables keep supply type and maximum at 92 and 96, counters
// their unit and life count there.
constexpr int kSeverity = 92, kTraining = 96, kLocation = 108, kDescription = 116,
              kDescriptionWidth = 256, kPrinterTime = 372, kLevel = 376, kDate = 380,
              kTimeText = 392, kTextWidth = 12;
}

namespace to {
constexpr int kHandle = 4, kAddress = 20, kText = 36, kText2 = 168, kText3 = 192, kNumber = 216;
}

namespace notice {
constexpr int kAddress = 0, kText = 16, kText2 = 148, kText3 = 172, kNumber = 196, kSize = 200;
constexpr int kTextWidth = 132, kShortWidth = 24;
}

namespace hdl {
constexpr int kHandle = 4, kIdentity = 20, kText = 96, kTextWidth = 68, kFlag = 164,
              kInterval = 168;
constexpr int kHandlePrefix = 16, kDevicePrefix = 76;
}

namespace sts {
constexpr int kTime = 4, kIdentity = 8, kKind = 84, kIndex = 88, kSeverity = 92, kTraining = 96,
              kGroup = 100, kGroupIndex = 104, kLocation = 108, kCode = 112, kDescription = 116,
              kDescriptionWidth = 256, kPrinterTime = 372;
constexpr int kDevicePrefix = 76;  // identity first in index 2
}

// The send record handed to the notification service (all texts).
namespace send {
constexpr int kIdentityOffsets[5] = {0, 12, 28, 52, 68};
constexpr int kTime = 76, kKind = 88, kIndex = 100, kSeverity = 112, kTraining = 124,
              kGroup = 136, kGroupIndex = 148, kLocation = 160, kCode = 172, kNumberWidth = 12,
              kDescription = 184, kDescriptionWidth = 256, kPrinterTime = 440, kSize = 452;
}

// The monitor's status record.
namespace status {
constexpr int kKind = 76, kIndex = 80, kGroup = 84, kGroupIndex = 88, kCode = 92, kTime = 96,
              kSize = 100;
}

// The status position of the send queue: the first 88 bytes are an index-1 key of ntcsts.
namespace position {
constexpr int kTime = 0, kIdentity = 4, kKind = 80, kIndex = 84, kSize = 92;
}

// The polling record of the send records.
namespace polling {
constexpr int kHandle = 0, kIdentityOffsets[5] = {16, 28, 44, 68, 84}, kInterval = 120,
              kSize = 128;
}

}  // namespace qm::ntfdb
