// Devices (QMDEVICE), channel blocks (QMCHANEL) and the device key list.
#include <cstring>

#include "checks.h"
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
    DB_TRACE("QMDBMGR: DBReadDeviceInfo[IN] lpszDKey=%s, lpszItem=%s",
             lpszDKey ? lpszDKey : "(null)", lpszItem ? lpszItem : "(null)");
    CHECK_NULL("DBReadDeviceInfo", lpszDKey);
    CHECK_NULL("DBReadDeviceInfo", lpszItem);
    CHECK_NULL("DBReadDeviceInfo", lpszData);
    CHECK_SIZE("DBReadDeviceInfo", lpszDKey, kKeyWidth);
    GET_STORE("DBReadDeviceInfo");
    lpszData[0] = '\0';
    const Field* field = FindField(kDeviceFields, lpszItem);
    File f(*s, FileId::Device);
    int r = f.Open();
    if (r == ISAM_FILE_MISSING) {
        DB_TRACE("QMDBMGR: DBReadDeviceInfo[OUT] lpszData=%s", lpszData);
        return 0;
    }
    if (r == 0) {
        DeviceKey key(lpszDKey);
        unsigned char rec[kDeviceLength];
        r = s->EQLREC(f.index(1), key.bytes, rec);
        if (r == 0 && field) GetText(lpszData, rec + field->offset, field->width);
        if (r == ISAM_END) r = 0;
    }
    if (r == 0) r = f.Close();
    FAIL_ON("DBReadDeviceInfo", r);
    DB_TRACE("QMDBMGR: DBReadDeviceInfo[OUT] lpszData=%s", lpszData);
    return 0;
}

extern "C" int DBWriteDeviceInfo(const char* lpszDKey, const char* lpszItem, const char* lpszData) {
    DB_TRACE("QMDBMGR: DBWriteDeviceInfo[IN] lpszDKey=%s, lpszItem=%s, lpszData=%s",
             lpszDKey ? lpszDKey : "(null)", lpszItem ? lpszItem : "(null)",
             lpszData ? lpszData : "(null)");
    CHECK_NULL("DBWriteDeviceInfo", lpszDKey);
    CHECK_SIZE("DBWriteDeviceInfo", lpszDKey, kKeyWidth);
    CHECK_NULL("DBWriteDeviceInfo", lpszItem);
    CHECK_NULL("DBWriteDeviceInfo", lpszData);
    GET_STORE("DBWriteDeviceInfo");
    File f(*s, FileId::Device);
    bool created;
    int r = f.OpenOrCreate(created);
    if (r == 0) r = f.Lock();
    unsigned char rec[kDeviceLength];
    if (r == 0) {
        DeviceKey key(lpszDKey);
        r = s->EQLREC(f.index(1), key.bytes, rec);
        if (r == ISAM_END) {
            DefaultDevice(rec, lpszDKey);
            r = s->ADDREC(f.data(), rec);
        }
    }
    if (r == 0) {
        if (const Field* field = FindField(kDeviceFields, lpszItem)) {
            PutText(rec + field->offset, field->width, lpszData);
            r = s->RWTREC(f.data(), rec);
        }
    }
    if (r == 0) r = f.Unlock();
    if (r == 0) r = f.Close();
    FAIL_ON("DBWriteDeviceInfo", r);
    DB_TRACE("QMDBMGR: DBWriteDeviceInfo[OUT] Ret=0");
    return 0;
}

extern "C" int DBReadChannelInfo(const char* lpszDKey, unsigned char* pChannel, int* pnSize) {
    DB_TRACE("QMDBMGR: DBReadChannelInfo[IN] lpszDKey=%s", lpszDKey ? lpszDKey : "(null)");
    CHECK_NULL("DBReadChannelInfo", lpszDKey);
    CHECK_NULL("DBReadChannelInfo", pChannel);
    CHECK_NULL("DBReadChannelInfo", pnSize);
    CHECK_SIZE("DBReadChannelInfo", lpszDKey, kKeyWidth);
    GET_STORE("DBReadChannelInfo");
    *pnSize = 0;
    File f(*s, FileId::Channel);
    int r = f.Open();
    if (r == ISAM_FILE_MISSING) {
        DB_TRACE("QMDBMGR: DBReadChannelInfo[OUT] nSize=%d", 0);
        return 0;
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
                pChannel[i] = static_cast<unsigned char>(Hex(text[2 * i]) << 4 | Hex(text[2 * i + 1]));
        } else if (r == ISAM_END) {
            r = 0;
        }
    }
    if (r == 0) r = f.Close();
    FAIL_ON("DBReadChannelInfo", r);
    *pnSize = size;
    DB_TRACE("QMDBMGR: DBReadChannelInfo[OUT] pChannel=");
    QbDump(0x80u, "QMDBMGR", __LINE__, pChannel, size);
    DB_TRACE("QMDBMGR: DBReadChannelInfo[OUT] nSize=%d", size);
    return 0;
}

extern "C" int DBWriteChannelInfo(const char* lpszDKey, const unsigned char* pChannel, int nSize) {
    DB_TRACE("QMDBMGR: DBWriteChannelInfo[IN] lpszDKey=%s, nSize=%d",
             lpszDKey ? lpszDKey : "(null)", nSize);
    CHECK_NULL("DBWriteChannelInfo", lpszDKey);
    CHECK_SIZE("DBWriteChannelInfo", lpszDKey, kKeyWidth);
    CHECK_NULL("DBWriteChannelInfo", pChannel);
    if (nSize <= 0) {
        DB_ERROR("QMDBMGR: DBWriteChannelInfo[ER_OUT] nSize=%d", nSize);
        return -1;
    }
    if (nSize >= 65) {
        DB_ERROR("QMDBMGR: DBWriteChannelInfo[ER_OUT] (SizeError) nSize=%d", nSize);
        return -1;
    }
    GET_STORE("DBWriteChannelInfo");
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
    FAIL_ON("DBWriteChannelInfo", r);
    DB_TRACE("QMDBMGR: DBWriteChannelInfo[OUT] Ret=0 szChannel=%s", text);
    return 0;
}

extern "C" int DBConvDeviceKeyChannelInfo(const char* lpszDKey, const char* lpszNewDkey) {
    DB_TRACE("QMDBMGR: DBConvDeviceKeyChannelInfo[IN] lpszDKey=%s, lpszNewDkey=%s",
             lpszDKey ? lpszDKey : "(null)", lpszNewDkey ? lpszNewDkey : "(null)");
    CHECK_NULL("DBConvDeviceKeyChannelInfo", lpszDKey);
    CHECK_SIZE("DBConvDeviceKeyChannelInfo", lpszDKey, kKeyWidth);
    CHECK_NULL("DBConvDeviceKeyChannelInfo", lpszNewDkey);
    CHECK_SIZE("DBConvDeviceKeyChannelInfo", lpszNewDkey, kKeyWidth);
    GET_STORE("DBConvDeviceKeyChannelInfo");
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
        if (r == 0) r = s->DELREC(f.data());
        else if (r == ISAM_END) r = 0;
        // The lookup of the target made it current; the source must be current again.
        if (r == 0) r = s->EQLREC(f.index(1), oldKey.bytes, rec);
    }
    if (r == 0 && !same) {
        PutText(rec + kKeyOffset, kKeyWidth, lpszNewDkey);
        r = s->RWTREC(f.data(), rec);
    }
    if (r == 0) r = f.Unlock();
    if (r == 0) r = f.Close();
    FAIL_ON("DBConvDeviceKeyChannelInfo", r);
    DB_TRACE("QMDBMGR: DBConvDeviceKeyChannelInfo[OUT] Ret=0");
    return 0;
}

extern "C" int DBReadDeviceKeyList(int* pnDnum, char** lppszDKey) {
    DB_TRACE("QMDBMGR: DBReadDeviceKeyList[IN] pnDnum=%d", pnDnum ? *pnDnum : -1);
    CHECK_NULL("DBReadDeviceKeyList", pnDnum);
    const int wanted = *pnDnum;
    if (wanted < 0) {
        DB_ERROR("QMDBMGR: DBReadDeviceKeyList[ER_OUT] pnDnum=%d", wanted);
        return -1;
    }
    if (wanted > 0) CHECK_NULL("DBReadDeviceKeyList", lppszDKey);
    GET_STORE("DBReadDeviceKeyList");
    File f(*s, FileId::Device);
    int r = f.Open();
    if (r == ISAM_FILE_MISSING && wanted == 0) {
        DB_TRACE("QMDBMGR: DBReadDeviceKeyList[OUT] pnDnum=%d", 0);
        return 0;
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
    FAIL_ON("DBReadDeviceKeyList", r);
    if (wanted == 0) *pnDnum = n;
    DB_TRACE("QMDBMGR: DBReadDeviceKeyList[OUT] pnDnum=%d", *pnDnum);
    return 0;
}
