// Fuzzes the configuration database with hostile strings from callers and hostile record
// bytes in its files (the channel text decoder, item fields without their NUL).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "qmdbmgr.h"
#include "qmisam.h"
#include "scratch.h"

namespace {

std::string g_conf;

void Setup() {
    const std::string made = qm_fuzz::ScratchDir("qmfuzz");
    const char* root = made.c_str();
    for (const char* d : {"bin", "conf", "log"}) std::filesystem::create_directories(std::string(root) + "/" + d);
    setenv("QM_ROOT", root, 1);
    // The database works relative to the current folder ("..\\conf\\"), so the fuzzer runs
    // from the root's bin/; the corpus paths it was given stay valid through links to
    // everything in the folder it was started from.
    std::string bin = std::string(root) + "/bin";
    std::error_code ec;
    for (const auto& e : std::filesystem::directory_iterator(std::filesystem::current_path(), ec))
        std::filesystem::create_symlink(e.path(), bin + "/" + e.path().filename().string(), ec);
    if (chdir(bin.c_str()) != 0) std::abort();
    g_conf = std::string(root) + "/conf";
    DBMgrInitialize();
}

// Input: one operation byte, then fields separated by NUL bytes.
std::vector<std::string> Fields(const uint8_t* data, size_t size) {
    std::vector<std::string> f;
    std::string cur;
    for (size_t i = 0; i < size; ++i) {
        if (data[i] == 0) {
            f.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(data[i]));
        }
    }
    f.push_back(cur);
    while (f.size() < 4) f.emplace_back();
    return f;
}

// Writes a channel record whose text field holds whatever bytes the input gives.
void RawChannel(const std::string& key, const std::string& text) {
    static const IsamSegment seg[] = {{4, 64, ISAM_SEG_TEXT}};
    static const IsamIndex idx[] = {{"..\\conf\\QMCHANEL.idx", 64, 0, 0, 1, seg}};
    IsamFileSet def{"..\\conf\\QMCHANEL", -1, 256, 4096, 0, 1, idx};
    if (OPNIFIL(&def) != 0 && CREIFIL(&def) != 0) return;
    unsigned char rec[256] = {};
    std::memcpy(rec + 4, key.data(), std::min<size_t>(key.size(), 64));
    // The whole rest of the record, so the text may run to its end without a NUL.
    std::memcpy(rec + 69, text.data(), std::min<size_t>(text.size(), 256 - 69));
    unsigned char old[256];
    if (EQLREC(def.dataFileNumber + 1, rec + 4, old) == 0) RWTREC(def.dataFileNumber, rec);
    else ADDREC(def.dataFileNumber, rec);
    CLIFIL(&def);
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    Setup();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static int runs = 0;
    if (++runs % 2000 == 0) {
        // Keep the files small so the fuzzer stays fast.
        std::error_code ec;
        for (const auto& e : std::filesystem::directory_iterator(g_conf, ec))
            std::filesystem::remove(e.path(), ec);
    }
    if (size == 0) return 0;
    auto f = Fields(data + 1, size - 1);
    const char *a = f[0].c_str(), *b = f[1].c_str(), *c = f[2].c_str(), *d = f[3].c_str();
    char out[5200];
    unsigned char channel[64];
    int n = 0;
    switch (data[0] % 8) {
        case 0:
            DBWriteDeviceInfo(a, b, c);
            DBReadDeviceInfo(a, b, out);
            break;
        case 1:
            DBWriteChannelInfo(a, reinterpret_cast<const unsigned char*>(b), static_cast<int>(f[1].size()));
            DBReadChannelInfo(a, channel, &n);
            DBConvDeviceKeyChannelInfo(a, c);
            break;
        case 2:
            RawChannel(f[0], f[1]);
            DBReadChannelInfo(a, channel, &n);
            if (n < 0 || n > 64) std::abort();
            break;
        case 3:
            DBWriteIPHostName(a, b);
            DBReadIPHostName(a, out);
            break;
        case 4:
            DBWriteModelInfo(a, b, c);
            DBReadModelInfo(a, b, out);
            break;
        case 5: {
            DBReadGroupNameList(&n, nullptr);
            DBCreateGroupInfo(a);
            DBWriteGroupInfo(a, b, c);
            DBReadGroupInfo(a, b, out);
            DBWriteSubGroupInGroup(a, d);
            n = 0;
            if (DBReadAddGroupNameList(a, &n, nullptr) == 0 && n > 0 && n < 100) {
                std::vector<std::vector<char>> s(n, std::vector<char>(65));
                std::vector<char*> p;
                for (auto& x : s) p.push_back(x.data());
                DBReadAddGroupNameList(a, &n, p.data());
            }
            if (data[0] & 0x80) DBDeleteGroupInfo(a);
            break;
        }
        case 6: {
            // Named groups only: closing a writer of group 0 would start name lookups, and the
            // rename below would wait out the rewrite this very handle holds open.
            if (f[0] == "All Devices") break;
            DBHANDLE h = DBOpenDeviceKeyInGroup(a);
            if (h == DB_NO_HANDLE) break;
            DBWriteDeviceKeyInGroup(h, b);
            DBWriteDeviceKeyInGroup(h, c);
            char* key = nullptr;
            int len = 0;
            for (int i = 0; i < 10 && DBReadDeviceKeyInGroup(h, &key, &len) == 0 && len > 0; ++i) {
                if (len != static_cast<int>(std::strlen(key))) std::abort();
            }
            DBDeleteDeviceKeyInGroup(h, b);
            DBConvDeviceKeyInGroup(c, d);
            DBCloseDeviceKeyInGroup(h);
            break;
        }
        case 7:
            DBWriteQMInfo(a, b);
            DBReadQMInfo(a, out);
            break;
    }
    return 0;
}
