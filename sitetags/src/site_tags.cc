// QMSITE: the tags that change the configuration database from the pages, and watch printers.
// Every tag follows the frame of the reading tags: "IN : " / "OUT : " around the export, the
// argument checks ("PARAM ERROR"), "CALLED name(arguments)", each database call traced
// "IN: DBx" / "OUT: DBx=%d", the error byte line and "name is returned '%d'", and a BER NULL
// as the result of every failure.
#include <arpa/inet.h>

#include <algorithm>
#include <cstring>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "QBUtil.h"
#include "QNTFDB.h"
#include "my_functions.h"
#include "qm/notifier/registration.h"
#include "qm/platform/export_frame.h"
#include "qm/platform/handle_table.h"
#include "qm/platform/paths.h"
#include "qm/snmp/ber.h"
#include "qmdbmgr.h"
#include "qmsite.h"

namespace qm::site {
namespace {

constexpr const char* kModule = "SiteTags";
constexpr const char* kAllDevices = "All Devices";
constexpr const char* kRootKey = "00000000";
// Database texts are at most this long (GRP_MapInfo is the biggest item).
constexpr size_t kDbText = DB_MAPINFO_SIZE + 64;

const platform::ExportTrace kTagTrace{"SiteTags", platform::ExportTrace::kArrow, "", QB_TRACE_INFO, QB_TRACE_ERROR};

// The configuration database keeps one context per thread, and the HTTP server calls tags from
// several threads: each opens its own before its first call.
thread_local bool tDbReady = false;
void EnsureDbThread() {
    if (!tDbReady) tDbReady = DBMgrInitialize() == 0;
}

const char* Text(void** argv, int i) { return static_cast<const char*>(argv[i]); }

bool IsDottedIPv4(const std::string& s) {
    in_addr a;
    return s.size() <= 15 && inet_pton(AF_INET, s.c_str(), &a) == 1;
}

// A subnet mask: a dotted address whose bits are ones followed by zeros.
bool IsMask(const std::string& s) {
    in_addr a;
    if (s.size() > 15 || inet_pton(AF_INET, s.c_str(), &a) != 1) return false;
    uint32_t m = ntohl(a.s_addr);
    return m != 0 && ((~m + 1) & ~m) == 0;
}

bool AllDigits(const std::string& s) {
    return !s.empty() && s.size() <= 10 && std::all_of(s.begin(), s.end(), [](char c) { return c >= '0' && c <= '9'; });
}

bool HasControl(const std::string& s) {
    return std::any_of(s.begin(), s.end(), [](char c) { return static_cast<unsigned char>(c) < 0x20 || c == 0x7F; });
}

bool NumberedItem(const std::string& item, const char* stem, int first, int last) {
    const size_t n = std::strlen(stem);
    if (item.compare(0, n, stem) != 0 || item.size() == n || item.size() > n + 2) return false;
    const std::string digits = item.substr(n);
    if (!AllDigits(digits) || digits[0] == '0') return false;
    const int v = std::stoi(digits);
    return v >= first && v <= last;
}

// Whether `value` may be stored as setting `item`: the settings discovery reads must be what
// it can use, so a form never stores an address that would stop the next search.
bool SettingValueFits(const std::string& item, const std::string& value) {
    if (NumberedItem(item, "QMC_BroadIPAdr", 1, 10)) return value.empty() || IsDottedIPv4(value);
    if (NumberedItem(item, "QMC_BroadSubnet", 1, 5)) return value.empty() || IsMask(value);
    if (item == "QMC_BroadIPLocal" || item == "QMC_BroadIPXLocal") return value == "ON" || value == "OFF";
    if (item == "QMC_MaxLogSize" || item == "QMC_LogEffective") return AllDigits(value);
    if (item == "QMC_LogOtherSave") return value == "ON" || value == "OFF";
    return true;
}

class Processor {
public:
    Processor() {
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "(IN) CSiteProcessor()\n");
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: DBMgrInitialize\n");
        int r = DBMgrInitialize();
        ok_ = r == 0;
        if (ok_) tDbReady = true;
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: DBMgrInitialize=%d\n", r);
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "(OUT) CSiteProcessor()\n");
    }
    ~Processor() {
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "(IN) ~CSiteProcessor()\n");
        if (ok_) {
            DBMgrRelease();
            tDbReady = false;
        }
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "(OUT) ~CSiteProcessor()\n");
    }
    bool ok() const { return ok_; }
    std::mutex& lock() { return lock_; }

    int CreateGroup(int argc, void** argv);
    int RenameGroup(int argc, void** argv);
    int DeleteGroup(int argc, void** argv);
    int AddSubGroup(int argc, void** argv);
    int DeleteSubGroup(int argc, void** argv);
    int AddGroupMember(int argc, void** argv);
    int DeleteGroupMember(int argc, void** argv);
    int GetAddMemberList(int argc, void** argv);
    int SetDeviceInfo(int argc, void** argv);
    int SetGroupInfo(int argc, void** argv);
    int SetModelInfo(int argc, void** argv);
    int SetQMInfo(int argc, void** argv);
    int WatchDevice(int argc, void** argv);
    int UnwatchDevice(int argc, void** argv);
    int GetReceiverList(int argc, void** argv);
    int RegisterReceiver(int argc, void** argv);
    int DeleteReceiver(int argc, void** argv);

private:
    // Clears the error bytes; checks the count, that no argument is NULL and that the first
    // `nonEmpty` are not empty texts; traces "CALLED name(args)".
    bool Begin(const char* name, int argc, void** argv, int expected, int nonEmpty);
    int Finish(const char* name, void** argv, int code);
    int Refuse(const char* why, const std::string& what) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "REFUSED %s: %s\n", why, what.c_str());
        return -3;
    }
    int DbError(int e) {
        dbError_ = static_cast<int8_t>(e);
        return e == -2 ? -3 : -2;
    }
    // Runs one database call with its IN/OUT trace lines; returns its result.
    template <class F>
    auto Db(const char* call, F&& f) {
        EnsureDbThread();
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: %s\n", call);
        auto r = f();
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: %s=%ld\n", call, static_cast<long>(r));
        return r;
    }
    // 1 the group exists, 0 it does not, or a mapped error code; its number in `key`.
    int GroupExists(const std::string& group, std::string* key = nullptr);
    int ReadNames(const char* call, const std::function<int(int*, char**)>& read, std::vector<std::string>* out);
    // The keys of a group's members (All Devices for an empty name), or a mapped code.
    int Members(const std::string& group, std::vector<std::string>* keys);
    // A device key argument in its database form (up to the end of its fifth field); -3.
    int ParseKey(const char* text, std::string* dbKey);
    // 0 when the device is registered (in All Devices), -4 when not, else a mapped code.
    int Registered(const std::string& dbKey);
    int SetText(const std::string& text);
    int SetList(const std::vector<std::string>& rows);
    // Rows {NULL, cell...} in the same table form as SetList.
    int SetRows(const std::vector<std::vector<std::string>>& rows);
    // Reads an item back after a write so the page shows what was stored (fields cut values).
    int StoredValue(const char* call, const std::function<int(char*)>& read);
    // A write of one item, then StoredValue; a failed write's mapped code.
    int WriteAndReadBack(const char* writeCall, const std::function<int()>& write, const char* readCall,
                         const std::function<int(char*)>& read) {
        int r = Db(writeCall, write);
        return r != 0 ? DbError(r) : StoredValue(readCall, read);
    }
    int StartNotificationDb();
    // One step of the registration module (notifier/registration) with its IN/OUT trace; a
    // failure's code is kept as the notification database's error byte. Its result.
    int Registration(const char* call, const std::function<int(std::string*)>& step);
    // Adds the device to the group, or takes it out: the shared body of the two member tags.
    int ChangeMember(const char* name, int argc, void** argv, bool add);

    std::mutex lock_;
    bool ok_ = false;
    int8_t dbError_ = 0;
    int8_t ntfError_ = 0;
    std::vector<uint8_t> result_;
};

bool Processor::Begin(const char* name, int argc, void** argv, int expected, int nonEmpty) {
    dbError_ = ntfError_ = 0;
    result_.clear();
    bool good = argc - 1 == expected;
    for (int i = 1; good && i <= expected; ++i) good = argv[i] != nullptr;
    for (int i = 1; good && i <= nonEmpty; ++i) good = *Text(argv, i) != 0;
    if (!good) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "PARAM ERROR\n");
        return false;
    }
    std::string args;
    for (int i = 1; i <= expected; ++i) {
        if (i > 1) args += ",";
        args += Text(argv, i);
    }
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "CALLED %s(%s)\n", name, args.c_str());
    return true;
}

int Processor::Finish(const char* name, void** argv, int code) {
    static const uint8_t kNull[2] = {0x05, 0x00};
    if (code != 0 || result_.empty()) result_.assign(kNull, kNull + 2);
    *static_cast<const unsigned char**>(argv[0]) = result_.data();
    QbDump(QB_TRACE_INFO, kModule, __LINE__, result_.data(), static_cast<int>(result_.size()));
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "DBError = '%d',NTFDBError = '%d'\n", dbError_, ntfError_);
    QbTrace(code == 0 ? QB_TRACE_INFO : QB_TRACE_ERROR, kModule, __LINE__, "%s is returned '%d'\n", name, code);
    return code;
}

int Processor::SetText(const std::string& text) {
    snmp::BerWriter w(snmp::LengthForm::kWide255);
    w.AddText(text);
    if (w.status() != snmp::BerStatus::kOk) return -2;
    result_ = w.Take();
    return 0;
}

int Processor::SetList(const std::vector<std::string>& rows) {
    std::vector<std::vector<std::string>> cells;
    for (const auto& r : rows) cells.push_back({r});
    return SetRows(cells);
}

int Processor::SetRows(const std::vector<std::vector<std::string>>& rows) {
    // An empty table is a SEQUENCE with nothing in it, so that row 0 reads NULL; one row is the
    // single SEQUENCE { NULL, text... }, which templates index as row 0 too.
    snmp::BerWriter w(snmp::LengthForm::kWide255);
    size_t outer = rows.size() == 1 ? 0 : w.Open(0x30);
    for (const auto& r : rows) {
        size_t m = w.Open(0x30);
        w.AddNull();
        for (const auto& cell : r) w.AddText(cell);
        if (w.Close(m) != snmp::BerStatus::kOk) return -2;
    }
    if (rows.size() != 1 && w.Close(outer) != snmp::BerStatus::kOk) return -2;
    result_ = w.Take();
    return 0;
}

int Processor::GroupExists(const std::string& group, std::string* key) {
    std::vector<char> data(kDbText, 0);
    // A read of an absent group fails; a missing file reads empty. Both mean "not there".
    int r = Db("DBReadGroupInfo", [&] { return DBReadGroupInfo(group.c_str(), "GRP_GROUPKEY", data.data()); });
    if (r != 0 || data[0] == 0) return 0;
    if (key) *key = data.data();
    return 1;
}

int Processor::ReadNames(const char* call, const std::function<int(int*, char**)>& read, std::vector<std::string>* out) {
    int count = 0;
    int r = Db(call, [&] { return read(&count, nullptr); });
    if (r != 0) return DbError(r);
    if (count <= 0) return 0;
    std::vector<std::vector<char>> buffers(static_cast<size_t>(count), std::vector<char>(DB_KEY_SIZE, 0));
    std::vector<char*> pointers;
    for (auto& b : buffers) pointers.push_back(b.data());
    int n = count;
    r = Db(call, [&] { return read(&n, pointers.data()); });
    if (r != 0) return DbError(r);
    // The list may have shrunk between the two calls; never read past what was given.
    n = std::min(n, count);
    for (int i = 0; i < n; ++i) {
        buffers[static_cast<size_t>(i)][DB_KEY_SIZE - 1] = 0;
        out->emplace_back(buffers[static_cast<size_t>(i)].data());
    }
    return 0;
}

int Processor::Members(const std::string& group, std::vector<std::string>* keys) {
    DBHANDLE h = Db("DBOpenDeviceKeyInGroup",
                    [&] { return DBOpenDeviceKeyInGroup(group.empty() ? nullptr : group.c_str()); });
    if (h == DB_NO_HANDLE) return DbError(-1);
    int r = 0;
    for (;;) {
        char* key = nullptr;
        int length = 0;
        r = DBReadDeviceKeyInGroup(h, &key, &length);
        if (r != 0 || length <= 0 || key == nullptr) break;
        keys->emplace_back(key, static_cast<size_t>(length));
    }
    Db("DBCloseDeviceKeyInGroup", [&] { return DBCloseDeviceKeyInGroup(h); });
    return r == 0 ? 0 : DbError(r);
}

int Processor::ParseKey(const char* text, std::string* dbKey) {
    tag::DeviceKey key;
    int r = tag::SetDevKeyInfo(text, &key);
    if (r != 0) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "SetDevKeyInfo ERROR=%d\n", r);
        return -3;
    }
    if (key.dbKey.size() >= DB_KEY_SIZE) return Refuse("device key too long", key.dbKey);
    *dbKey = key.dbKey;
    return 0;
}

int Processor::Registered(const std::string& dbKey) {
    std::vector<std::string> all;
    if (int r = Members("", &all); r != 0) return r;
    return std::find(all.begin(), all.end(), dbKey) != all.end() ? 0 : -4;
}

int Processor::StoredValue(const char* call, const std::function<int(char*)>& read) {
    std::vector<char> data(kDbText, 0);
    int r = Db(call, [&] { return read(data.data()); });
    if (r != 0) return DbError(r);
    data.back() = 0;
    return SetText(data.data());
}

// ---- Groups ------------------------------------------------------------------------------

int Processor::CreateGroup(int argc, void** argv) {
    const char* name = "CreateGroup";
    if (!Begin(name, argc, argv, 1, 1)) return Finish(name, argv, -2);
    const std::string group = Text(argv, 1);
    if (group.size() >= DB_KEY_SIZE || HasControl(group)) return Finish(name, argv, Refuse("group name", group));
    // The first name list creates the group file with its root group, which a creation needs.
    std::vector<std::string> names;
    if (int r = ReadNames("DBReadGroupNameList", [](int* n, char** l) { return DBReadGroupNameList(n, l); }, &names); r != 0)
        return Finish(name, argv, r);
    if (std::find(names.begin(), names.end(), group) != names.end())
        return Finish(name, argv, Refuse("group exists", group));
    int r = Db("DBCreateGroupInfo", [&] { return DBCreateGroupInfo(group.c_str()); });
    return Finish(name, argv, r == 0 ? 0 : DbError(r));
}

int Processor::RenameGroup(int argc, void** argv) {
    const char* name = "RenameGroup";
    if (!Begin(name, argc, argv, 2, 2)) return Finish(name, argv, -2);
    const std::string group = Text(argv, 1), renamed = Text(argv, 2);
    if (renamed.size() >= DB_KEY_SIZE || HasControl(renamed)) return Finish(name, argv, Refuse("group name", renamed));
    std::string key;
    if (GroupExists(group, &key) != 1) return Finish(name, argv, -4);
    // The root is found by its name everywhere ("All Devices" lists, candidates).
    if (key == kRootKey) return Finish(name, argv, Refuse("the root group keeps its name", group));
    if (renamed == group) return Finish(name, argv, 0);
    if (GroupExists(renamed) == 1) return Finish(name, argv, Refuse("group exists", renamed));
    int r = Db("DBWriteGroupInfo", [&] { return DBWriteGroupInfo(group.c_str(), "GRP_GroupName", renamed.c_str()); });
    return Finish(name, argv, r == 0 ? 0 : DbError(r));
}

int Processor::DeleteGroup(int argc, void** argv) {
    const char* name = "DeleteGroup";
    if (!Begin(name, argc, argv, 1, 1)) return Finish(name, argv, -2);
    const std::string group = Text(argv, 1);
    std::string key;
    if (GroupExists(group, &key) != 1) return Finish(name, argv, -4);
    if (key == kRootKey) return Finish(name, argv, Refuse("the root group stays", group));
    int r = Db("DBDeleteGroupInfo", [&] { return DBDeleteGroupInfo(group.c_str()); });
    return Finish(name, argv, r == 0 ? 0 : DbError(r));
}

int Processor::AddSubGroup(int argc, void** argv) {
    const char* name = "AddSubGroup";
    if (!Begin(name, argc, argv, 2, 2)) return Finish(name, argv, -2);
    const std::string group = Text(argv, 1), sub = Text(argv, 2);
    if (GroupExists(group) != 1 || GroupExists(sub) != 1) return Finish(name, argv, -4);
    // Only the candidates keep the sub-group graph free of cycles.
    std::vector<std::string> candidates;
    int r = ReadNames("DBReadAddGroupNameList",
                      [&](int* n, char** l) { return DBReadAddGroupNameList(group.c_str(), n, l); }, &candidates);
    if (r != 0) return Finish(name, argv, r);
    if (std::find(candidates.begin(), candidates.end(), sub) == candidates.end())
        return Finish(name, argv, Refuse("not a candidate sub-group", group + " <- " + sub));
    r = Db("DBWriteSubGroupInGroup", [&] { return DBWriteSubGroupInGroup(group.c_str(), sub.c_str()); });
    return Finish(name, argv, r == 0 ? 0 : DbError(r));
}

int Processor::DeleteSubGroup(int argc, void** argv) {
    const char* name = "DeleteSubGroup";
    if (!Begin(name, argc, argv, 2, 2)) return Finish(name, argv, -2);
    const std::string group = Text(argv, 1), sub = Text(argv, 2);
    if (GroupExists(group) != 1 || GroupExists(sub) != 1) return Finish(name, argv, -4);
    int r = Db("DBDeleteSubGroupInGroup", [&] { return DBDeleteSubGroupInGroup(group.c_str(), sub.c_str()); });
    return Finish(name, argv, r == 0 ? 0 : DbError(r));
}

// ---- Members -----------------------------------------------------------------------------

int Processor::ChangeMember(const char* name, int argc, void** argv, bool add) {
    if (!Begin(name, argc, argv, 2, 2)) return Finish(name, argv, -2);
    const std::string group = Text(argv, 1);
    std::string dbKey, gkey;
    if (int r = ParseKey(Text(argv, 2), &dbKey); r != 0) return Finish(name, argv, r);
    if (GroupExists(group, &gkey) != 1) return Finish(name, argv, -4);
    // A write to the root's list rewrites the whole of it: discovery alone keeps that list.
    if (gkey == kRootKey) return Finish(name, argv, Refuse("All Devices is kept by discovery", group));
    if (add) {
        if (int r = Registered(dbKey); r != 0) return Finish(name, argv, r);
    }
    DBHANDLE h = Db("DBOpenDeviceKeyInGroup", [&] { return DBOpenDeviceKeyInGroup(group.c_str()); });
    if (h == DB_NO_HANDLE) return Finish(name, argv, DbError(-1));
    int r = add ? Db("DBWriteDeviceKeyInGroup", [&] { return DBWriteDeviceKeyInGroup(h, dbKey.c_str()); })
                : Db("DBDeleteDeviceKeyInGroup", [&] { return DBDeleteDeviceKeyInGroup(h, dbKey.c_str()); });
    int c = Db("DBCloseDeviceKeyInGroup", [&] { return DBCloseDeviceKeyInGroup(h); });
    return Finish(name, argv, r != 0 ? DbError(r) : c != 0 ? DbError(c) : 0);
}

int Processor::AddGroupMember(int argc, void** argv) { return ChangeMember("AddGroupMember", argc, argv, true); }

int Processor::DeleteGroupMember(int argc, void** argv) { return ChangeMember("DeleteGroupMember", argc, argv, false); }

int Processor::GetAddMemberList(int argc, void** argv) {
    const char* name = "GetAddMemberList";
    if (!Begin(name, argc, argv, 1, 1)) return Finish(name, argv, -2);
    const std::string group = Text(argv, 1);
    std::string gkey;
    if (GroupExists(group, &gkey) != 1) return Finish(name, argv, -4);
    std::vector<std::string> all, members, rows;
    if (gkey != kRootKey) {
        if (int r = Members("", &all); r != 0) return Finish(name, argv, r);
        if (int r = Members(group, &members); r != 0) return Finish(name, argv, r);
    }
    for (const auto& k : all)
        if (std::find(members.begin(), members.end(), k) == members.end()) rows.push_back(k);
    return Finish(name, argv, SetList(rows));
}

// ---- Items and settings ------------------------------------------------------------------

int Processor::SetDeviceInfo(int argc, void** argv) {
    const char* name = "SetDeviceInfo";
    if (!Begin(name, argc, argv, 3, 2)) return Finish(name, argv, -2);
    std::string dbKey;
    if (int r = ParseKey(Text(argv, 1), &dbKey); r != 0) return Finish(name, argv, r);
    const std::string item = Text(argv, 2);
    // The key is the record's name; the log items belong to the watch tags.
    static const char* kOwnItems[] = {"DEV_DeviceKey", "DEV_ErrorLog", "DEV_PrintLog", "DEV_ConsumLog",
                                      "DEV_ErrorLogHandle", "DEV_PrintLogHandle", "DEV_ConsLogHandle"};
    if (item.rfind("DEV_", 0) != 0 || std::find(std::begin(kOwnItems), std::end(kOwnItems), item) != std::end(kOwnItems))
        return Finish(name, argv, Refuse("device item", item));
    if (int r = Registered(dbKey); r != 0) return Finish(name, argv, r);
    return Finish(name, argv, WriteAndReadBack("DBWriteDeviceInfo", [&] { return DBWriteDeviceInfo(dbKey.c_str(), item.c_str(), Text(argv, 3)); },
                                               "DBReadDeviceInfo", [&](char* d) { return DBReadDeviceInfo(dbKey.c_str(), item.c_str(), d); }));
}

int Processor::SetGroupInfo(int argc, void** argv) {
    const char* name = "SetGroupInfo";
    if (!Begin(name, argc, argv, 3, 2)) return Finish(name, argv, -2);
    const std::string group = Text(argv, 1), item = Text(argv, 2);
    // Renaming has its own tag (it checks the new name); the number and the log handle are not
    // the page's to change.
    if (item.rfind("GRP_", 0) != 0 || item == "GRP_GroupName" || item == "GRP_GROUPKEY" || item == "GRP_LogHandle")
        return Finish(name, argv, Refuse("group item", item));
    if (GroupExists(group) != 1) return Finish(name, argv, -4);
    return Finish(name, argv, WriteAndReadBack("DBWriteGroupInfo", [&] { return DBWriteGroupInfo(group.c_str(), item.c_str(), Text(argv, 3)); },
                                               "DBReadGroupInfo", [&](char* d) { return DBReadGroupInfo(group.c_str(), item.c_str(), d); }));
}

int Processor::SetModelInfo(int argc, void** argv) {
    const char* name = "SetModelInfo";
    if (!Begin(name, argc, argv, 3, 2)) return Finish(name, argv, -2);
    const std::string model = Text(argv, 1), item = Text(argv, 2);
    if (model.size() > DB_MODEL_NAME_MAX) return Finish(name, argv, Refuse("model name", model));
    if (item.rfind("MCN_", 0) != 0 || item == "MCN_ModelName") return Finish(name, argv, Refuse("model item", item));
    return Finish(name, argv, WriteAndReadBack("DBWriteModelInfo", [&] { return DBWriteModelInfo(model.c_str(), item.c_str(), Text(argv, 3)); },
                                               "DBReadModelInfo", [&](char* d) { return DBReadModelInfo(model.c_str(), item.c_str(), d); }));
}

int Processor::SetQMInfo(int argc, void** argv) {
    const char* name = "SetQMInfo";
    if (!Begin(name, argc, argv, 2, 1)) return Finish(name, argv, -2);
    const std::string item = Text(argv, 1), value = Text(argv, 2);
    if (item.rfind("QMC_", 0) != 0 || item.size() > DB_SETTING_ITEM_MAX)
        return Finish(name, argv, Refuse("setting item", item));
    if (value.size() >= DB_SETTING_DATA_SIZE || HasControl(value) || !SettingValueFits(item, value))
        return Finish(name, argv, Refuse("setting value", item + "=" + value));
    return Finish(name, argv, WriteAndReadBack("DBWriteQMInfo", [&] { return DBWriteQMInfo(item.c_str(), value.c_str()); },
                                               "DBReadQMInfo", [&](char* d) { return DBReadQMInfo(item.c_str(), d); }));
}

// ---- Watching ----------------------------------------------------------------------------

// The notification database of this installation, started once for this library in the
// process and ended when the library is unloaded. Processors come and go with the requests;
// ending the database with each would make every page wait at its end for the trap
// registrations the library still has queued. The library counts its starts, so the log
// reader in the same process ending its own start leaves this one standing.
class NotificationDb {
public:
    ~NotificationDb() {
        if (started_) DBRelease2();
    }
    int Start() {
        std::lock_guard lock(mutex_);
        if (started_) return 0;
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: DBInitialize2\n");
        int r = DBInitialize2(platform::InstallRoot().c_str());
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: DBInitialize2=%d\n", r);
        started_ = r == 0;
        return r;
    }

private:
    std::mutex mutex_;
    bool started_ = false;
};

int Processor::StartNotificationDb() {
    static NotificationDb db;
    if (int r = db.Start(); r != 0) {
        ntfError_ = static_cast<int8_t>(r);
        return -2;
    }
    return 0;
}

int Processor::Registration(const char* call, const std::function<int(std::string*)>& step) {
    std::string error;
    EnsureDbThread();
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: %s\n", call);
    int r = step(&error);
    QbTrace(r == 0 ? QB_TRACE_INFO : QB_TRACE_ERROR, kModule, __LINE__, "OUT: %s=%d %s\n", call, r, error.c_str());
    if (r != 0) ntfError_ = static_cast<int8_t>(r);
    return r;
}

int Processor::WatchDevice(int argc, void** argv) {
    const char* name = "WatchDevice";
    if (!Begin(name, argc, argv, 1, 1)) return Finish(name, argv, -2);
    std::string dbKey;
    if (int r = ParseKey(Text(argv, 1), &dbKey); r != 0) return Finish(name, argv, r);
    if (int r = Registered(dbKey); r != 0) return Finish(name, argv, r);
    if (int r = StartNotificationDb(); r != 0) return Finish(name, argv, r);
    notifier::WatchHandles handles;
    int r = Registration("WatchDevice", [&](std::string* error) { return notifier::WatchDevice(dbKey, &handles, error); });
    return Finish(name, argv, r == 0 ? 0 : r == -2 ? -3 : -2);
}

int Processor::UnwatchDevice(int argc, void** argv) {
    const char* name = "UnwatchDevice";
    if (!Begin(name, argc, argv, 1, 1)) return Finish(name, argv, -2);
    std::string dbKey;
    if (int r = ParseKey(Text(argv, 1), &dbKey); r != 0) return Finish(name, argv, r);
    if (int r = StartNotificationDb(); r != 0) return Finish(name, argv, r);
    int r = Registration("UnwatchDevice", [&](std::string* error) { return notifier::UnwatchDevice(dbKey, error); });
    return Finish(name, argv, r == 0 ? 0 : r == -2 ? -3 : -2);
}

// ---- Receivers of notices ---------------------------------------------------------------

namespace {

// A whole decimal number within [low, high]; form fields arrive as texts.
bool Decimal(const char* text, int low, int high, int* out) {
    const std::string s = text;
    if (!AllDigits(s) || s.size() > 9) return false;
    const int v = std::stoi(s);
    if (v < low || v > high) return false;
    *out = v;
    return true;
}

}  // namespace

int Processor::GetReceiverList(int argc, void** argv) {
    const char* name = "GetReceiverList";
    // One argument: an address to list the receivers of, or "" for all of them.
    if (!Begin(name, argc, argv, 1, 0)) return Finish(name, argv, -2);
    const std::string address = Text(argv, 1);
    if (int r = StartNotificationDb(); r != 0) return Finish(name, argv, r);
    std::vector<notifier::Receiver> receivers;
    if (Registration("ListReceivers", [&](std::string* error) { return notifier::ListReceivers(&receivers, error); }) != 0)
        return Finish(name, argv, -2);
    std::vector<std::vector<std::string>> rows;
    for (const auto& rec : receivers)
        if (address.empty() || rec.address == address) rows.push_back({rec.handle, rec.address, std::to_string(rec.port)});
    return Finish(name, argv, SetRows(rows));
}

int Processor::RegisterReceiver(int argc, void** argv) {
    const char* name = "RegisterReceiver";
    // Address, port, level, interval, text (may be empty), device key.
    if (!Begin(name, argc, argv, 6, 4) || *Text(argv, 6) == 0) return Finish(name, argv, -2);
    notifier::ReceiverRequest request;
    request.address = Text(argv, 1);
    request.text = Text(argv, 5);
    if (!Decimal(Text(argv, 2), 1, 65535, &request.port) || !Decimal(Text(argv, 3), 0, 3, &request.level) ||
        !Decimal(Text(argv, 4), 1, 86400 * 365, &request.interval))
        return Finish(name, argv, Refuse("receiver numbers", std::string(Text(argv, 2)) + "," + Text(argv, 3) + "," + Text(argv, 4)));
    std::string dbKey;
    if (int r = ParseKey(Text(argv, 6), &dbKey); r != 0) return Finish(name, argv, r);
    request.keys = {dbKey};
    if (std::string why = notifier::CheckReceiver(request); !why.empty()) return Finish(name, argv, Refuse("receiver", why));
    if (int r = Registered(dbKey); r != 0) return Finish(name, argv, r);
    if (int r = StartNotificationDb(); r != 0) return Finish(name, argv, r);
    std::string handle;
    int r = Registration("RegisterReceiver",
                         [&](std::string* error) { return notifier::RegisterReceiver(request, &handle, error); });
    if (r != 0) return Finish(name, argv, r == -2 ? -3 : -2);
    return Finish(name, argv, SetText(handle));
}

int Processor::DeleteReceiver(int argc, void** argv) {
    const char* name = "DeleteReceiver";
    if (!Begin(name, argc, argv, 1, 1)) return Finish(name, argv, -2);
    if (int r = StartNotificationDb(); r != 0) return Finish(name, argv, r);
    const std::string handle = Text(argv, 1);
    int r = Registration("UnregisterReceiver",
                         [&](std::string* error) { return notifier::UnregisterReceiver(handle, error); });
    if (r == -2) return Finish(name, argv, Refuse("receiver handle", handle));
    return Finish(name, argv, r == -4 ? -4 : r == 0 ? 0 : -2);
}

// ---- Exports -----------------------------------------------------------------------------

// Handles are small numbers, not addresses: the interpreter keeps them in 32 bits.
platform::HandleTable<Processor>& Processors() {
    static platform::HandleTable<Processor> table;
    return table;
}

using Method = int (Processor::*)(int, void**);

int Call(const char* name, int32_t argc, void** argv, Method method) {
    const platform::ExportFrame frame(kTagTrace, name, -2);
    return frame.Run([&] {
        frame.In();
        if (argc <= 1 || argv == nullptr || argv[0] == nullptr || argv[1] == nullptr) return -2;
        std::shared_ptr<Processor> p = Processors().Find(*static_cast<const int32_t*>(argv[0]));
        if (!p) return -2;
        int code;
        {
            std::lock_guard lock(p->lock());
            code = ((*p).*method)(argc - 1, argv + 1);
        }
        return frame.Out(code);
    });
}

}  // namespace
}  // namespace qm::site

using namespace qm::site;

extern "C" {

int32_t TAGInitialize(void*, void*, QmOutputCallback, int32_t) {
    const qm::platform::ExportFrame frame(kTagTrace, "TAGInitialize", -1);
    return frame.Run([&]() -> int32_t {
        frame.In();
        auto p = std::make_shared<Processor>();
        if (!p->ok()) return -1;
        int32_t handle = Processors().Add(std::move(p));
        if (handle == 0) return -1;
        return frame.Out(handle);
    });
}

int32_t TAGRelease(int32_t handle) { return Processors().Remove(handle) ? 0 : -2; }

// Every tag is the processor's method of the same name, run in the export frame by Call.
#define QMSITE_TAG(name) \
    int32_t TAG##name(int32_t argc, void** argv) { return Call("TAG" #name, argc, argv, &Processor::name); }

QMSITE_TAG(CreateGroup)
QMSITE_TAG(RenameGroup)
QMSITE_TAG(DeleteGroup)
QMSITE_TAG(AddSubGroup)
QMSITE_TAG(DeleteSubGroup)
QMSITE_TAG(AddGroupMember)
QMSITE_TAG(DeleteGroupMember)
QMSITE_TAG(GetAddMemberList)
QMSITE_TAG(SetDeviceInfo)
QMSITE_TAG(SetGroupInfo)
QMSITE_TAG(SetModelInfo)
QMSITE_TAG(SetQMInfo)
QMSITE_TAG(WatchDevice)
QMSITE_TAG(UnwatchDevice)
QMSITE_TAG(GetReceiverList)
QMSITE_TAG(RegisterReceiver)
QMSITE_TAG(DeleteReceiver)

#undef QMSITE_TAG

}  // extern "C"
