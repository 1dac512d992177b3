// Tags that show what the configuration database keeps: settings, groups, devices, models,
// host names, group name lists and the group selection list written into the page.
#include <cstring>
#include <string>
#include <vector>

#include "QBUtil.h"
#include "processor.h"
#include "qmdbmgr.h"
#include "qmmibgw.h"

namespace qm::tag {
namespace {

constexpr const char* kModule = "TPMainClass";
// Database texts are at most this long (GRP_MapInfo is the biggest item).
constexpr size_t kDbText = 5120 + 64;
constexpr size_t kNameSize = 65;


// One of the three group name lists, read as the database wants: count first, then names.
int ReadNameList(const std::string& mode, const char* group, std::vector<std::string>* out, const char** call) {
    auto read = [&](int* n, char** names) {
        if (mode == "ALL") return DBReadGroupNameList(n, names);
        if (mode == "SUBCURRENT") return DBReadSubGroupNameList(group, n, names);
        return DBReadAddGroupNameList(group, n, names);
    };
    *call = mode == "ALL" ? "DBReadGroupNameList" : mode == "SUBCURRENT" ? "DBReadSubGroupNameList"
                                                                       : "DBReadAddGroupNameList";
    EnsureDbThread();
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: %s\n", *call);
    int count = 0;
    int r = read(&count, nullptr);
    if (r == 0 && count > 0) {
        std::vector<std::vector<char>> buffers(static_cast<size_t>(count), std::vector<char>(kNameSize, 0));
        std::vector<char*> pointers;
        for (auto& b : buffers) pointers.push_back(b.data());
        int n = count;
        r = read(&n, pointers.data());
        // The list may have shrunk between the two calls; never read past what was given.
        n = std::min(n, count);
        for (int i = 0; r == 0 && i < n; ++i) {
            buffers[static_cast<size_t>(i)][kNameSize - 1] = 0;
            out->emplace_back(buffers[static_cast<size_t>(i)].data());
        }
    }
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: %s=%d\n", *call, r);
    return r;
}

}  // namespace

// The common shape of the "read one text from the database" tags.
int CTagProcessor::DbTextTag(const char* name, int argc, void** argv, int expected,
                             const std::function<int(char*)>& read, const char* dbCall) {
    if (!Called(name, argc, argv, expected, false)) return Finish(name, argv, -2);
    std::vector<char> data(kDbText, 0);
    EnsureDbThread();
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: %s\n", dbCall);
    int r = read(data.data());
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: %s=%d\n", dbCall, r);
    if (r != 0) return Finish(name, argv, DbError(r));
    data.back() = 0;
    int code = EncodeResult(MIB_BER_OCTET_STRING, data.data());
    return Finish(name, argv, code);
}

int CTagProcessor::GetQMInfo(int argc, void** argv) {
    return DbTextTag("GetQMInfo", argc, argv, 1,
                     [&](char* d) { return DBReadQMInfo(Text(argv, 1), d); }, "DBReadQMInfo");
}

int CTagProcessor::GetGroupInfo(int argc, void** argv) {
    return DbTextTag("GetGroupInfo", argc, argv, 2,
                     [&](char* d) { return DBReadGroupInfo(Text(argv, 1), Text(argv, 2), d); }, "DBReadGroupInfo");
}

int CTagProcessor::GetModelInfo(int argc, void** argv) {
    return DbTextTag("GetModelInfo", argc, argv, 2,
                     [&](char* d) { return DBReadModelInfo(Text(argv, 1), Text(argv, 2), d); }, "DBReadModelInfo");
}

int CTagProcessor::GetIPHostName(int argc, void** argv) {
    if (argc - 1 == 1 && argv[1] != nullptr) {
        DeviceKey key;
        int r = SetDevKeyInfo(Text(argv, 1), &key);
        if (r != 0) {
            State().mibError = State().qbError = State().dbError = State().asnError = 0;
            QbTrace(QB_TRACE_INFO, kModule, __LINE__, "CALLED GetIPHostName(%s)\n", Text(argv, 1));
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "SetDevKeyInfo ERROR=%d\n", r);
            Result().clear();
            return Finish("GetIPHostName", argv, -3);
        }
        return DbTextTag("GetIPHostName", argc, argv, 1,
                         [&](char* d) { return DBReadIPHostName(key.ip.c_str(), d); }, "DBReadIPHostName");
    }
    return DbTextTag("GetIPHostName", argc, argv, 1, [](char*) { return 0; }, "DBReadIPHostName");
}

int CTagProcessor::GetDeviceInfo(int argc, void** argv) {
    if (argc - 1 == 2 && argv[1] != nullptr && argv[2] != nullptr) {
        std::string item = Text(argv, 2);
        DeviceKey key;
        int r = SetDevKeyInfo(Text(argv, 1), &key);
        if (r != 0 || item.rfind("DEVKEY_", 0) == 0) {
            if (!Called("GetDeviceInfo", argc, argv, 2, false)) return Finish("GetDeviceInfo", argv, -2);
            if (r != 0) {
                QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "SetDevKeyInfo ERROR=%d\n", r);
                return Finish("GetDeviceInfo", argv, -3);
            }
            std::string field = item.substr(7);
            const std::string* text = field == "IP" ? &key.ip
                                      : field == "IPX" ? &key.ipx
                                      : field == "MAC" ? &key.mac
                                      : field == "DeviceIndex" ? &key.index
                                      : field == "DeviceType" ? &key.type
                                                             : nullptr;
            // Other DEVKEY_ names are not key fields: the database answers for them.
            if (text != nullptr) {
                int code = EncodeResult(MIB_BER_OCTET_STRING, *text);
                return Finish("GetDeviceInfo", argv, code);
            }
        }
    }
    return DbTextTag("GetDeviceInfo", argc, argv, 2,
                     [&](char* d) { return DBReadDeviceInfo(Text(argv, 1), Text(argv, 2), d); }, "DBReadDeviceInfo");
}

int CTagProcessor::GetGroupNameList(int argc, void** argv) {
    if (!Called("GetGroupNameList", argc, argv, 2, false)) return Finish("GetGroupNameList", argv, -2);
    std::string mode = Text(argv, 1);
    if (mode != "ALL" && mode != "SUBCURRENT" && mode != "SUBADD") {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "PARAM ERROR\n");
        return Finish("GetGroupNameList", argv, -2);
    }
    std::vector<std::string> names;
    const char* call = nullptr;
    int r = ReadNameList(mode, Text(argv, 2), &names, &call);
    if (r != 0) return Finish("GetGroupNameList", argv, DbError(r));
    if (names.empty()) {
        // An empty table: a SEQUENCE with nothing in it, so that row 0 is NULL.
        SetResult({0x30, 0x00});
        return Finish("GetGroupNameList", argv, 0);
    }
    std::vector<SeqEntry> entries;
    for (const auto& n : names) {
        SeqEntry e;
        r = Encode(MIB_BER_OCTET_STRING, n, &e.value);
        if (r != 0) return Finish("GetGroupNameList", argv, r);
        entries.push_back(std::move(e));
    }
    // One name gives the single SEQUENCE { NULL, name }, which templates index as row 0.
    r = Encode(entries);
    if (r != 0) return Finish("GetGroupNameList", argv, BerError(r));
    return Finish("GetGroupNameList", argv, 0);
}

int CTagProcessor::CreateHTMLGroupList(int argc, void** argv) {
    if (!Called("CreateHTMLGroupList", argc, argv, 5, false)) return Finish("CreateHTMLGroupList", argv, -2);
    std::vector<std::string> names;
    const char* call = nullptr;
    int r = ReadNameList("ALL", nullptr, &names, &call);
    if (r != 0) {
        // "Could not be read", in Shift-JIS, with its terminating zero.
        static const char kFailure[] = "\x8e\xe6\x93\xbe\x82\xc5\x82\xab\x82\xdc\x82\xb9\x82\xf1\x82\xc5\x82\xb5\x82\xbd";
        if (output_ != nullptr) output_(hostContext_, 4, static_cast<int32_t>(sizeof kFailure), kFailure);
        return Finish("CreateHTMLGroupList", argv, DbError(r));
    }
    std::string html = "<SELECT NAME=\"";
    html += Text(argv, 3);
    if (std::strcmp(Text(argv, 1), "list") == 0) {
        html += "\" SIZE=\"";
        html += Text(argv, 5);
        html += "\" ONCHANGE=\"";
    } else {
        html += "\" ONCHANGE=\"";
    }
    html += Text(argv, 4);
    html += "\">\n<OPTION SELECTED>";
    html += Text(argv, 2);
    html += "\n";
    for (const auto& n : names) html += "<OPTION>" + n + "\n";
    if (output_ != nullptr) output_(hostContext_, 1, static_cast<int32_t>(html.size()), html.data());
    return Finish("CreateHTMLGroupList", argv, 0);
}

}  // namespace qm::tag
