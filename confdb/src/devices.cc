// Devices (QMDEVICE), channel blocks (QMCHANEL) and the device key list.
#include <cstring>

#include "store.h"
#include "frame.h"
#include "files.h"
#include "qmdbmgr.h"
#include "trace.h"

namespace qm::confdb {
namespace {

constexpr int kKeyOffset = 4, kKeyWidth = 65, kKeyBytes = 64;
constexpr int kChannelOffset = 69, kChannelWidth = 129;

const Field kDeviceFields[] = {
    {"DEV_DeviceKey", 4, 65},       {"DEV_IPHostName", 69, 64},
    {"DEV_Description", 133, 65},   {"DEV_ManagmentNum", 198, 65},
    {"DEV_SerialNum", 263, 65},     {"DEV_ErrorLog", 328, 8},
    {"DEV_PrintLog", 336, 8},       {"DEV_PrintParHour", 344, 8},
    {"DEV_ConsumLog", 352, 8},      {"DEV_ConsumParHour", 360, 8},
    {"DEV_ErrorLogHandle", 368, 32}, {"DEV_PrintLogHandle", 400, 32},
    {"DEV_ConsLogHandle", 432, 32}, {nullptr, 0, 0},
};

void DefaultDevice(unsigned char* rec, const char* key) {
    std::memset(rec, 0, kDeviceLength);
    PutText(rec + kKeyOffset, kKeyWidth, key);
    PutText(rec + 328, 8, "END");
    PutText(rec + 336, 8, "END");
    PutText(rec + 344, 8, "60");
    PutText(rec + 352, 8, "END");
    PutText(rec + 360, 8, "1440");
}

struct DeviceKey {
    unsigned char bytes[kKeyBytes] = {};
    explicit DeviceKey(const char* key) { std::memcpy(bytes, key, strnlen(key, kKeyBytes)); }
};

int Hex(char c) {
    // Digits below 'A' are decimal; the rest count from 'A' (lower case folds to upper).
    if (c < 'A') return (c - '0') & 0x0F;
    return ((c & ~0x20) - 'A' + 10) & 0x0F;
}

}  // namespace
}  // namespace qm::confdb

using namespace qm::confdb;

extern "C" int DBReadDeviceInfo(const char* lpszDKey, const char* lpszItem, char* lpszData) {
    return DbCall("DBReadDeviceInfo", [&](const DbFrame& frame) -> int {
        const StoreApi* s =
            frame.Begin({{"lpszDKey", lpszDKey, kKeyWidth}, {"lpszItem", lpszItem}}, {{"lpszData", lpszData}});
        if (!s) return -1;
        DeviceKey key(lpszDKey);
        int r = ReadKeyedText(*s, FileId::Device, key.bytes, FindField(kDeviceFields, lpszItem),
                              lpszData);
        if (r != 0) return frame.Fail("nRet=%d", r);
        return frame.Out(0, "lpszData=%s", lpszData);
    });
}

extern "C" int DBWriteDeviceInfo(const char* lpszDKey, const char* lpszItem, const char* lpszData) {
    return DbCall("DBWriteDeviceInfo", [&](const DbFrame& frame) -> int {
        const StoreApi* s =
            frame.Begin({{"lpszDKey", lpszDKey, kKeyWidth}, {"lpszItem", lpszItem}, {"lpszData", lpszData}});
        if (!s) return -1;
        File f(*s, FileId::Device);
        bool created;
        int r = f.OpenOrCreate(created);
        if (r == 0) r = f.Lock();
        unsigned char rec[kDeviceLength];
        if (r == 0) {
            DeviceKey key(lpszDKey);
            r = WriteKeyedText(f, key.bytes, rec, FindField(kDeviceFields, lpszItem), lpszData,
                               [&](unsigned char* fresh) { DefaultDevice(fresh, lpszDKey); });
        }
        if (r == 0) r = f.Unlock();
        if (r == 0) r = f.Close();
        return frame.Done(r);
    });
}

extern "C" int DBReadChannelInfo(const char* lpszDKey, unsigned char* pChannel, int* pnSize) {
    return DbCall("DBReadChannelInfo", [&](const DbFrame& frame) -> int {
        const StoreApi* s =
            frame.Begin({{"lpszDKey", lpszDKey, kKeyWidth}}, {{"pChannel", pChannel}, {"pnSize", pnSize}});
        if (!s) return -1;
        *pnSize = 0;
        File f(*s, FileId::Channel);
        int r = f.Open();
        if (r == ISAM_FILE_MISSING) {
            return frame.Out(0, "nSize=%d", 0);
        }
        int size = 0;
        if (r == 0) {
            DeviceKey key(lpszDKey);
            unsigned char rec[kChannelLength];
            r = s->EQLREC(f.index(1), key.bytes, rec);
            if (r == 0) {
                std::string text = FieldText(rec + kChannelOffset, kChannelWidth);
                size = static_cast<int>(text.size() / 2);
                for (int i = 0; i < size; ++i)
                    pChannel[i] =
                        static_cast<unsigned char>(Hex(text[2 * i]) << 4 | Hex(text[2 * i + 1]));
            } else if (r == ISAM_END) {
                r = 0;
            }
        }
        if (r == 0) r = f.Close();
        if (r != 0) return frame.Fail("nRet=%d", r);
        *pnSize = size;
        frame.Out(0, "pChannel=");
        QbDump(0x80u, "QMDBMGR", __LINE__, pChannel, size);
        return frame.Out(0, "nSize=%d", size);
    });
}

extern "C" int DBWriteChannelInfo(const char* lpszDKey, const unsigned char* pChannel, int nSize) {
    return DbCall("DBWriteChannelInfo", [&](const DbFrame& frame) -> int {
        frame.In("lpszDKey=%s, nSize=%d", Shown(lpszDKey), nSize);
        if (!frame.Text(lpszDKey, kKeyWidth, "lpszDKey") || !frame.NotNull(pChannel, "pChannel")) return -1;
        if (nSize <= 0) return frame.Fail("nSize=%d", nSize);
        if (nSize >= 65) return frame.Fail("(SizeError) nSize=%d", nSize);
        const StoreApi* s = frame.Store();
        if (!s) return -1;
        char text[kChannelWidth] = {};
        static const char kDigits[] = "0123456789ABCDEF";
        for (int i = 0; i < nSize; ++i) {
            text[2 * i] = kDigits[pChannel[i] >> 4];
            text[2 * i + 1] = kDigits[pChannel[i] & 0x0F];
        }
        File f(*s, FileId::Channel);
        bool created;
        int r = f.OpenOrCreate(created);
        if (r == 0) r = f.Lock();
        if (r == 0) {
            DeviceKey key(lpszDKey);
            unsigned char rec[kChannelLength];
            r = s->EQLREC(f.index(1), key.bytes, rec);
            if (r == 0) {
                PutText(rec + kChannelOffset, kChannelWidth, text);
                r = s->RWTREC(f.data(), rec);
            } else if (r == ISAM_END) {
                std::memset(rec, 0, sizeof rec);
                PutText(rec + kKeyOffset, kKeyWidth, lpszDKey);
                PutText(rec + kChannelOffset, kChannelWidth, text);
                r = s->ADDREC(f.data(), rec);
            }
        }
        if (r == 0) r = f.Unlock();
        if (r == 0) r = f.Close();
        if (r != 0) return frame.Fail("nRet=%d", r);
        return frame.Out(0, "Ret=0 szChannel=%s", text);
    });
}

extern "C" int DBConvDeviceKeyChannelInfo(const char* lpszDKey, const char* lpszNewDkey) {
    return DbCall("DBConvDeviceKeyChannelInfo", [&](const DbFrame& frame) -> int {
        const StoreApi* s =
            frame.Begin({{"lpszDKey", lpszDKey, kKeyWidth}, {"lpszNewDkey", lpszNewDkey, kKeyWidth}});
        if (!s) return -1;
        File f(*s, FileId::Channel);
        int r = f.Open();
        if (r == 0) r = f.Lock();
        DeviceKey oldKey(lpszDKey), newKey(lpszNewDkey);
        const bool same = std::memcmp(oldKey.bytes, newKey.bytes, kKeyBytes) == 0;
        unsigned char rec[kChannelLength];
        // The source is checked first: without it the call fails and the target keeps its record.
        if (r == 0) r = s->EQLREC(f.index(1), oldKey.bytes, rec);
        // Moving a key onto itself must not delete the record it would then move.
        if (r == 0 && !same) {
            unsigned char target[kChannelLength];
            r = s->EQLREC(f.index(1), newKey.bytes, target);
            if (r == 0)
                r = s->DELREC(f.data());
            else if (r == ISAM_END)
                r = 0;
            // The lookup of the target made it current; the source must be current again.
            if (r == 0) r = s->EQLREC(f.index(1), oldKey.bytes, rec);
        }
        if (r == 0 && !same) {
            PutText(rec + kKeyOffset, kKeyWidth, lpszNewDkey);
            r = s->RWTREC(f.data(), rec);
        }
        if (r == 0) r = f.Unlock();
        if (r == 0) r = f.Close();
        return frame.Done(r);
    });
}

extern "C" int DBReadDeviceKeyList(int* pnDnum, char** lppszDKey) {
    return DbCall("DBReadDeviceKeyList", [&](const DbFrame& frame) -> int {
        frame.In("pnDnum=%d", pnDnum ? *pnDnum : -1);
        if (!frame.NotNull(pnDnum, "pnDnum")) return -1;
        const int wanted = *pnDnum;
        if (wanted < 0) return frame.Fail("pnDnum=%d", wanted);
        if (wanted > 0) if (!frame.NotNull(lppszDKey, "lppszDKey")) return -1;
        const StoreApi* s = frame.Store();
        if (!s) return -1;
        File f(*s, FileId::Device);
        int r = f.Open();
        if (r == ISAM_FILE_MISSING && wanted == 0) {
            return frame.Out(0, "pnDnum=%d", 0);
        }
        int n = 0;
        unsigned char rec[kDeviceLength];
        if (r == 0) {
            for (r = s->FRSREC(f.index(1), rec); r == 0 && (wanted == 0 || n < wanted);
                 r = s->NXTREC(f.index(1), rec)) {
                if (wanted > 0) {
                    if (!lppszDKey[n]) {
                        r = -1;
                        break;
                    }
                    GetText(lppszDKey[n], rec + kKeyOffset, kKeyWidth);
                }
                ++n;
            }
            // Counting ends at "no more"; copying must find every record it was asked for.
            if (r == ISAM_END && wanted == 0) r = 0;
            if (wanted > 0 && n == wanted) r = 0;
        }
        if (r == 0) r = f.Close();
        if (r != 0) return frame.Fail("nRet=%d", r);
        if (wanted == 0) *pnDnum = n;
        return frame.Out(0, "pnDnum=%d", *pnDnum);
    });
}
