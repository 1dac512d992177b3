// The monitor's view of the notification database: the library is loaded by name and the 21
// functions it needs are bound by name, in a fixed order; the first one missing ends start-up.
#pragma once

#include "qm/platform/owners.h"

namespace qm::monitor {

using DBThreadFunction = void (*)(void* argument);
using DeviceKey = const char* const*;  // seven texts: keys 1-5, record flag, spare

struct NtfDbApi {
    int (*DBInitialize)(const char* installFolder) = nullptr;
    int (*DBRelease)() = nullptr;
    int (*DBSetSendData)(DeviceKey device, const char* text, int length) = nullptr;
    int (*DBSetLogData)(DeviceKey device, const char* text, int length) = nullptr;
    int (*DBSetConsData)(DeviceKey device, const char* text, int length) = nullptr;
    int (*DBSetPrtCntData)(DeviceKey device, const char* text, int length) = nullptr;
    int (*DBReadLogPolling)(void* pollingRecord) = nullptr;
    int (*DBOpenStatusDB)(int* fileNumber) = nullptr;
    int (*DBReadStatusDB)(int fileNumber, void* statusRecord) = nullptr;
    int (*DBUpdateSendDB)(int fileNumber, int kind, void* statusRecord) = nullptr;
    int (*DBCloseStatusDB)() = nullptr;
    int (*DBReadOnOff)(DeviceKey device) = nullptr;
    int (*DBSetOnOff)(DeviceKey device, const char* text, int length) = nullptr;
    int (*DBReadSendPolling)(void* pollingRecord) = nullptr;
    int (*DBCompactLog)() = nullptr;
    int (*DBCompactSts)() = nullptr;
    int (*DBDeleteTerm)() = nullptr;
    int (*DBDeleteSize)() = nullptr;
    int (*DBDeleteOnOff)(DeviceKey device) = nullptr;
    int (*DBCreateThread)(DBThreadFunction function, void* argument) = nullptr;
    int (*DBExitThread)() = nullptr;
};

// Result codes the monitor relies on.
inline constexpr int kDbNoRecord = -31;
inline constexpr int kDbEndOfWalk = 100;
inline constexpr int kDbAlertNew = -301;

// Sizes and offsets of the records the monitor reads.
inline constexpr int kPollingRecordSize = 128;
inline constexpr int kStatusRecordSize = 100;

// Loads "QNTFDB" and binds every function. 0; -4 when the library cannot be loaded; -1 when
// a function is missing (the library is freed again). `missing` names the first missing one.
int BindNtfDb(NtfDbApi* api, qm::platform::UniqueLibrary* library, const char** missing);

}  // namespace qm::monitor
