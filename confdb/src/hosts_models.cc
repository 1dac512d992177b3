// Host names of IP addresses (QMDNSINF) and per-model display settings (QMMODEL).
#include "checks.h"
#include "files.h"
#include "qmdbmgr.h"

namespace qm::confdb {
namespace {

constexpr int kAddrOffset = 4, kAddrWidth = 16, kHostOffset = 20, kHostWidth = 64;
constexpr int kModelOffset = 4, kModelWidth = 32;

const Field kModelFields[] = {
    {"MCN_ModelName", 4, 32},
    {"MCN_LargeImage", 36, 128},
    {"MCN_SmallImage", 164, 128},
    {"MCN_SmallImage_Ready", 292, 128},
    {"MCN_SmallImage_Warning", 420, 128},
    {"MCN_SmallImage_Eror", 548, 128},
    {"MCN_SmallImage_Service", 676, 128},
    {"MCN_SmallImage_CommError", 804, 128},
    {"MCN_SmallestImage", 932, 128},
    {"MCN_SmallestImage_Ready", 1060, 128},
    {"MCN_SmallestImage_Warning", 1188, 128},
    {"MCN_SmallestImage_Eror", 1316, 128},
    {"MCN_SmallestImage_Service", 1444, 128},
    {"MCN_SmallestImage_CommError", 1572, 128},
    {"MCN_ColorType", 1700, 8},
    {"MCN_DeviceCategory", 1708, 8},
    {"MCN_ImageOptionFile", 1716, 332},
    {nullptr, 0, 0},
};

template <size_t N>
struct TextKey {
    unsigned char bytes[N] = {};
    explicit TextKey(const char* text) { std::memcpy(bytes, text, strnlen(text, N - 1)); }
};

}  // namespace
}  // namespace qm::confdb

using namespace qm::confdb;

extern "C" int DBReadIPHostName(const char* lpszIPAddr, char* lpszHName) {
    DB_TRACE("QMDBMGR: DBReadIPHostName[IN] lpszIPAddr=%s", lpszIPAddr ? lpszIPAddr : "(null)");
    CHECK_NULL("DBReadIPHostName", lpszIPAddr);
    CHECK_NULL("DBReadIPHostName", lpszHName);
    CHECK_SIZE("DBReadIPHostName", lpszIPAddr, kAddrWidth);
    GET_STORE("DBReadIPHostName");
    lpszHName[0] = '\0';
    File f(*s, FileId::DnsInfo);
    int r = f.Open();
    if (r == ISAM_FILE_MISSING) {
        DB_TRACE("QMDBMGR: DBReadIPHostName[OUT] lpszHName=%s", lpszHName);
        return 0;
    }
    if (r == 0) {
        TextKey<kAddrWidth> key(lpszIPAddr);
        unsigned char rec[kDnsLength];
        r = s->EQLREC(f.index(1), key.bytes, rec);
        if (r == 0) GetText(lpszHName, rec + kHostOffset, kHostWidth);
        else if (r == ISAM_END) r = 0;
    }
    if (r == 0) r = f.Close();
    FAIL_ON("DBReadIPHostName", r);
    DB_TRACE("QMDBMGR: DBReadIPHostName[OUT] lpszHName=%s", lpszHName);
    return 0;
}

extern "C" int DBWriteIPHostName(const char* lpszIPAddr, const char* lpszHName) {
    DB_TRACE("QMDBMGR: DBWriteIPHostName[IN] lpszIPAddr=%s, lpszHName=%s",
             lpszIPAddr ? lpszIPAddr : "(null)", lpszHName ? lpszHName : "(null)");
    CHECK_NULL("DBWriteIPHostName", lpszIPAddr);
    CHECK_SIZE("DBWriteIPHostName", lpszIPAddr, kAddrWidth);
    CHECK_NULL("DBWriteIPHostName", lpszHName);
    CHECK_SIZE("DBWriteIPHostName", lpszHName, kHostWidth);
    GET_STORE("DBWriteIPHostName");
    File f(*s, FileId::DnsInfo);
    bool created;
    int r = f.OpenOrCreate(created);
    if (r == 0) r = f.Lock();
    if (r == 0) {
        TextKey<kAddrWidth> key(lpszIPAddr);
        unsigned char rec[kDnsLength];
        r = s->EQLREC(f.index(1), key.bytes, rec);
        if (r == 0) {
            PutText(rec + kHostOffset, kHostWidth, lpszHName);
            r = s->RWTREC(f.data(), rec);
        } else if (r == ISAM_END) {
            std::memset(rec, 0, sizeof rec);
            PutText(rec + kAddrOffset, kAddrWidth, lpszIPAddr);
            PutText(rec + kHostOffset, kHostWidth, lpszHName);
            r = s->ADDREC(f.data(), rec);
        }
    }
    if (r == 0) r = f.Unlock();
    if (r == 0) r = f.Close();
    FAIL_ON("DBWriteIPHostName", r);
    DB_TRACE("QMDBMGR: DBWriteIPHostName[OUT] Ret=0");
    return 0;
}

extern "C" int DBReadModelInfo(const char* lpszModel, const char* lpszItem, char* lpszData) {
    DB_TRACE("QMDBMGR: DBReadModelInfo[IN] lpszModel=%s, lpszItem=%s",
             lpszModel ? lpszModel : "(null)", lpszItem ? lpszItem : "(null)");
    CHECK_NULL("DBReadModelInfo", lpszModel);
    CHECK_NULL("DBReadModelInfo", lpszItem);
    CHECK_NULL("DBReadModelInfo", lpszData);
    CHECK_SIZE("DBReadModelInfo", lpszModel, kModelWidth);
    GET_STORE("DBReadModelInfo");
    lpszData[0] = '\0';
    const Field* field = FindField(kModelFields, lpszItem);
    File f(*s, FileId::Model);
    int r = f.Open();
    if (r == ISAM_FILE_MISSING) {
        DB_TRACE("QMDBMGR: DBReadModelInfo[OUT] lpszData=%s", lpszData);
        return 0;
    }
    if (r == 0) {
        TextKey<kModelWidth> key(lpszModel);
        unsigned char rec[kModelLength];
        r = s->EQLREC(f.index(1), key.bytes, rec);
        // Values are cut to their field on write, so the field always ends within its width.
        if (r == 0 && field) GetText(lpszData, rec + field->offset, field->width);
        if (r == ISAM_END) r = 0;
    }
    if (r == 0) r = f.Close();
    FAIL_ON("DBReadModelInfo", r);
    DB_TRACE("QMDBMGR: DBReadModelInfo[OUT] lpszData=%s", lpszData);
    return 0;
}

extern "C" int DBWriteModelInfo(const char* lpszModel, const char* lpszItem, const char* lpszData) {
    DB_TRACE("QMDBMGR: DBWriteModelInfo[IN] lpszModel=%s, lpszItem=%s, lpszData=%s",
             lpszModel ? lpszModel : "(null)", lpszItem ? lpszItem : "(null)",
             lpszData ? lpszData : "(null)");
    CHECK_NULL("DBWriteModelInfo", lpszModel);
    CHECK_SIZE("DBWriteModelInfo", lpszModel, kModelWidth);
    CHECK_NULL("DBWriteModelInfo", lpszItem);
    CHECK_NULL("DBWriteModelInfo", lpszData);
    GET_STORE("DBWriteModelInfo");
    File f(*s, FileId::Model);
    bool created;
    int r = f.OpenOrCreate(created);
    unsigned char rec[kModelLength];
    if (r == 0) {
        TextKey<kModelWidth> key(lpszModel);
        r = s->EQLREC(f.index(1), key.bytes, rec);
        if (r == ISAM_END) {
            std::memset(rec, 0, sizeof rec);
            PutText(rec + kModelOffset, kModelWidth, lpszModel);
            r = s->ADDREC(f.data(), rec);
            if (r == ISAM_KEY_DUPLICATE) r = s->EQLREC(f.index(1), key.bytes, rec);
        }
    }
    if (r == 0) {
        // An over-long value is cut to its field rather than written past it.
        if (const Field* field = FindField(kModelFields, lpszItem)) {
            PutText(rec + field->offset, field->width, lpszData);
            r = s->RWTREC(f.data(), rec);
        }
    }
    if (r == 0) r = f.Close();
    FAIL_ON("DBWriteModelInfo", r);
    DB_TRACE("QMDBMGR: DBWriteModelInfo[OUT] Ret=0");
    return 0;
}
