// Host names of IP addresses (QMDNSINF) and per-model display settings (QMMODEL).
#include "store.h"
#include "frame.h"
#include "trace.h"
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

}  // namespace
}  // namespace qm::confdb

using namespace qm::confdb;

extern "C" int DBReadIPHostName(const char* lpszIPAddr, char* lpszHName) {
    return DbCall("DBReadIPHostName", [&](const DbFrame& frame) -> int {
        const StoreApi* s = frame.Begin({{"lpszIPAddr", lpszIPAddr, kAddrWidth}}, {{"lpszHName", lpszHName}});
        if (!s) return -1;
        const Field host{"", kHostOffset, kHostWidth};
        TextKey<kAddrWidth> key(lpszIPAddr);
        int r = ReadKeyedText(*s, FileId::DnsInfo, key.bytes, &host, lpszHName);
        if (r != 0) return frame.Fail("nRet=%d", r);
        return frame.Out(0, "lpszHName=%s", lpszHName);
    });
}

extern "C" int DBWriteIPHostName(const char* lpszIPAddr, const char* lpszHName) {
    return DbCall("DBWriteIPHostName", [&](const DbFrame& frame) -> int {
        const StoreApi* s =
            frame.Begin({{"lpszIPAddr", lpszIPAddr, kAddrWidth}, {"lpszHName", lpszHName, kHostWidth}});
        if (!s) return -1;
        File f(*s, FileId::DnsInfo);
        bool created;
        int r = f.OpenOrCreate(created);
        if (r == 0) r = f.Lock();
        if (r == 0) {
            const Field host{"", kHostOffset, kHostWidth};
            TextKey<kAddrWidth> key(lpszIPAddr);
            unsigned char rec[kDnsLength];
            r = WriteKeyedText(f, key.bytes, rec, &host, lpszHName, [&](unsigned char* fresh) {
                std::memset(fresh, 0, kDnsLength);
                PutText(fresh + kAddrOffset, kAddrWidth, lpszIPAddr);
                PutText(fresh + kHostOffset, kHostWidth, lpszHName);
            });
        }
        if (r == 0) r = f.Unlock();
        if (r == 0) r = f.Close();
        return frame.Done(r);
    });
}

extern "C" int DBReadModelInfo(const char* lpszModel, const char* lpszItem, char* lpszData) {
    return DbCall("DBReadModelInfo", [&](const DbFrame& frame) -> int {
        const StoreApi* s =
            frame.Begin({{"lpszModel", lpszModel, kModelWidth}, {"lpszItem", lpszItem}}, {{"lpszData", lpszData}});
        if (!s) return -1;
        TextKey<kModelWidth> key(lpszModel);
        int r = ReadKeyedText(*s, FileId::Model, key.bytes, FindField(kModelFields, lpszItem),
                              lpszData);
        if (r != 0) return frame.Fail("nRet=%d", r);
        return frame.Out(0, "lpszData=%s", lpszData);
    });
}

extern "C" int DBWriteModelInfo(const char* lpszModel, const char* lpszItem, const char* lpszData) {
    return DbCall("DBWriteModelInfo", [&](const DbFrame& frame) -> int {
        const StoreApi* s =
            frame.Begin({{"lpszModel", lpszModel, kModelWidth}, {"lpszItem", lpszItem}, {"lpszData", lpszData}});
        if (!s) return -1;
        File f(*s, FileId::Model);
        bool created;
        int r = f.OpenOrCreate(created);
        unsigned char rec[kModelLength];
        if (r == 0) {
            TextKey<kModelWidth> key(lpszModel);
            // An over-long value is cut to its field rather than written past it.
            r = WriteKeyedText(f, key.bytes, rec, FindField(kModelFields, lpszItem), lpszData,
                               [&](unsigned char* fresh) {
                                   std::memset(fresh, 0, kModelLength);
                                   PutText(fresh + kModelOffset, kModelWidth, lpszModel);
                               });
        }
        if (r == 0) r = f.Close();
        return frame.Done(r);
    });
}
