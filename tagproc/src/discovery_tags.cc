// Discovery tags: a session lists registered devices (a group, or all of them) or searches the
// network with the stored search settings, registers what it finds, and hands out one device
// key per call after dropping duplicates and applying the page's filters.
#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "QBAPI.h"
#include "QBUtil.h"
#include "processor.h"
#include "qmdbmgr.h"
#include "qmmibgw.h"

namespace qm::tag {
namespace {

constexpr const char* kModule = "TPMainClass";
constexpr const char* kDescr = "1.3.6.1.2.1.25.3.2.1.3.";
constexpr const char* kName = "1.3.6.1.4.1.40404.1.1.3.1.4.4.0";
constexpr const char* kSeverity = "1.3.6.1.2.1.43.18.1.1.2.";


bool EqualNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

// "abc*" matches every value starting with "abc"; without "*" the whole value must match.
bool FilterMatches(const std::string& filter, const std::string& value) {
    size_t star = filter.find('*');
    if (star == std::string::npos) return EqualNoCase(filter, value);
    return value.size() >= star && EqualNoCase(filter.substr(0, star), std::string_view(value).substr(0, star));
}

std::string ReadSetting(const std::string& item) {
    char data[DB_SETTING_DATA_SIZE] = {};
    if (DBReadQMInfo(item.c_str(), data) != 0) return {};
    data[sizeof data - 1] = 0;
    return data;
}

void Join(std::string* list, const std::string& entry) {
    if (entry.empty()) return;
    if (!list->empty()) *list += ";";
    *list += entry;
}

// The search list of one protocol ("IP" or "IPX") from the stored settings.
std::string SearchList(const std::string& proto) {
    std::string list;
    for (int i = 6; i <= 10; ++i) Join(&list, ReadSetting("QMC_Broad" + proto + "Adr" + std::to_string(i)));
    for (int i = 1; i <= 5; ++i) {
        std::string adr = ReadSetting("QMC_Broad" + proto + "Adr" + std::to_string(i));
        if (adr.empty()) continue;
        if (proto == "IP") adr += "|" + ReadSetting("QMC_BroadSubnet" + std::to_string(i));
        Join(&list, adr);
    }
    if (ReadSetting("QMC_Broad" + proto + "Local") == "ON") Join(&list, "Local");
    return list;
}

}  // namespace

struct DiscoverySession {
    std::string group, listMode, state[3], ip, mac, descr, name;
    DBHANDLE cursor = DB_NO_HANDLE;
    int ipSearch = 0, ipxSearch = 0;
    bool ipActive = false, ipxActive = false;
    int resultSize = 0;
    bool searching = false;
    // MAC addresses this session reported already: duplicates are dropped per session, so two
    // searches at once each see every printer.
    std::vector<std::string> reported;
    // Keys a search found, registered as All Devices only once the search has run to its end:
    // a search cut short knows nothing of the printers it did not reach, so the list it would
    // leave behind is not the list of all devices. Until then readers see the old list whole.
    std::vector<std::string> found;
    // The request that owns the session (the thread of its opening call) and when it was last
    // used, for ending sessions whose page stopped without TAGEndDeviceDiscovery.
    std::thread::id owner = std::this_thread::get_id();
    std::chrono::steady_clock::duration budget{};
    std::chrono::steady_clock::time_point lastUse = std::chrono::steady_clock::now();
    // A call is working on this session (without the table's lock): nobody else may use or
    // end it meanwhile.
    bool busy = false;
};

namespace {

// Beyond its search budget a session gets this long before it counts as abandoned; a page
// that lists printers between two results is slow, not gone. QM_DISCOVERY_IDLE_MARGIN_S
// changes it (tests make it short).
std::chrono::steady_clock::duration IdleMargin() {
    const char* v = std::getenv("QM_DISCOVERY_IDLE_MARGIN_S");
    int n = v ? std::atoi(v) : -1;
    return std::chrono::seconds(n >= 0 ? n : 30);
}

// The whole search's time budget from the search parameter (bits 16..23 in seconds, 0 = 60).
std::chrono::steady_clock::duration SearchBudget(unsigned long param) {
    unsigned long s = (param & QB_PARAM_BUDGET_MASK) >> 16;
    return std::chrono::seconds(s == 0 ? 60 : s);
}

}  // namespace

DiscoverySessions::DiscoverySessions() = default;
DiscoverySessions::~DiscoverySessions() { CloseAll(); }

void DiscoverySessions::CloseAll() {
    for (auto& [h, s] : open) Close(*s);
    open.clear();
}

void DiscoverySessions::CloseEach(SessionList& list) {
    for (auto& s : list) Close(*s);
    list.clear();
}

SessionList DiscoverySessions::TakeOwnedByThisThread() {
    SessionList taken;
    const auto self = std::this_thread::get_id();
    for (auto it = open.begin(); it != open.end();) {
        if (it->second->owner != self || it->second->busy) {
            ++it;
            continue;
        }
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "discovery session %d ended with its request\n", it->first);
        taken.push_back(std::move(it->second));
        it = open.erase(it);
    }
    return taken;
}

SessionList DiscoverySessions::TakeIdle(std::chrono::steady_clock::time_point now, int32_t keep) {
    SessionList taken;
    const auto margin = IdleMargin();
    for (auto it = open.begin(); it != open.end();) {
        if (it->first == keep || it->second->busy || now - it->second->lastUse <= it->second->budget + margin) {
            ++it;
            continue;
        }
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "discovery session %d abandoned (idle %lld s), ended\n", it->first,
                static_cast<long long>(std::chrono::duration_cast<std::chrono::seconds>(now - it->second->lastUse).count()));
        taken.push_back(std::move(it->second));
        it = open.erase(it);
    }
    return taken;
}

void DiscoverySessions::Close(DiscoverySession& s) {
    if (s.cursor != DB_NO_HANDLE) {
        // A search that did not run to its end registers nothing: All Devices keeps its list.
        if (s.searching && !s.found.empty())
            QbTrace(QB_TRACE_INFO, kModule, __LINE__, "search ended early, %d found not registered\n",
                    static_cast<int>(s.found.size()));
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: DBCloseDeviceKeyInGroup\n");
        int r = DBCloseDeviceKeyInGroup(s.cursor);
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: DBCloseDeviceKeyInGroup=%d\n", r);
        s.cursor = DB_NO_HANDLE;
    }
    for (auto [active, handle] : {std::pair{&s.ipActive, s.ipSearch}, std::pair{&s.ipxActive, s.ipxSearch}}) {
        if (!*active) continue;
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: QBTerminateDiscovery\n");
        int r = QBTerminateDiscovery(handle);
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: QBTerminateDiscovery=%d\n", r);
        *active = false;
    }
}

int CTagProcessor::StartDeviceDiscovery(int argc, void** argv) {
    if (!CheckArgs(argc, argv, 10, true)) return Finish("StartDeviceDiscovery", argv, -2);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "CALLED StartDeviceDiscovery(%s,%s,%s,%s,%s,%s,%s,%s,%s,%s)\n",
            Text(argv, 1), Text(argv, 2), Text(argv, 3), Text(argv, 4), Text(argv, 5), Text(argv, 6),
            Text(argv, 7), Text(argv, 8), Text(argv, 9), Text(argv, 10));
    EnsureDbThread();
    CloseIdleSessions(0);
    char* end = nullptr;
    unsigned long param = std::strtoul(Text(argv, 1), &end, 16);
    auto s = std::make_unique<DiscoverySession>();
    s->group = Text(argv, 2);
    s->listMode = Text(argv, 3);
    s->descr = Text(argv, 4);
    for (int i = 0; i < 3; ++i) s->state[i] = Text(argv, 5 + i);
    s->ip = Text(argv, 8);
    s->mac = Text(argv, 9);
    s->name = Text(argv, 10);
    size_t bad = s->group.size() > 64 ? 2 : s->listMode.size() >= 2 ? 3 : s->state[0].size() >= 2 ? 5
               : s->state[1].size() >= 2 ? 6 : s->state[2].size() >= 2 ? 7 : s->ip.size() >= 16 ? 8
               : s->mac.size() >= 13 ? 9 : 0;
    if (bad != 0 || *end != 0) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "pFilterData Size ERROR = %d", static_cast<int>(bad));
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "InitDiscoveryData=%d\n", -2);
        return Finish("StartDeviceDiscovery", argv, -2);
    }
    auto fail = [&](int code) {
        sessions_.Close(*s);
        return Finish("StartDeviceDiscovery", argv, code);
    };
    if (s->group.empty() && s->listMode != "0") {
        std::string ipx = SearchList("IPX"), ip = SearchList("IP");
        int size = 0;
        if (!ipx.empty()) {
            const char* pair[2] = {"IPX", ipx.c_str()};
            QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: QBStartDiscovery[IPX]\n");
            int h = QBStartDiscovery(pair, 1, param, &size);
            QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: QBStartDiscovery[IPX]=%d\n", h);
            if (h > 0) s->ipxSearch = h, s->ipxActive = true, s->resultSize = size;
            else State().qbError = static_cast<int8_t>(h);
        }
        if (!ip.empty()) {
            const char* pair[2] = {"IP", ip.c_str()};
            QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: QBStartDiscovery[IP]\n");
            int h = QBStartDiscovery(pair, 1, param, &size);
            QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: QBStartDiscovery[IP]=%d\n", h);
            if (h > 0) s->ipSearch = h, s->ipActive = true, s->resultSize = std::max(s->resultSize, size);
            else State().qbError = static_cast<int8_t>(h);
        }
        if (!s->ipActive && !s->ipxActive) return fail(-3);
        s->searching = true;
        s->budget = SearchBudget(param);
    }
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: DBOpenDeviceKeyInGroup\n");
    s->cursor = DBOpenDeviceKeyInGroup(s->group.empty() ? nullptr : s->group.c_str());
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: DBOpenDeviceKeyInGroup=%ld\n", s->cursor);
    if (s->cursor == DB_NO_HANDLE) return fail(DbError(-1));
    int32_t handle = 0;
    {
        std::lock_guard lock(sessions_.mu);
        if (sessions_.next != INT32_MAX) handle = sessions_.next++;
    }
    if (handle == 0) return fail(-2);
    std::vector<uint8_t> value;
    int r = Encode(MIB_BER_INTEGER, std::to_string(handle), &value);
    if (r != 0) return fail(r);
    {
        std::lock_guard lock(sessions_.mu);
        sessions_.open.emplace(handle, std::move(s));
    }
    SetResult(std::move(value));
    return Finish("StartDeviceDiscovery", argv, 0);
}

void CTagProcessor::CloseIdleSessions(int32_t keep) {
    SessionList idle;
    {
        std::lock_guard lock(sessions_.mu);
        idle = sessions_.TakeIdle(std::chrono::steady_clock::now(), keep);
    }
    DiscoverySessions::CloseEach(idle);
}

DiscoverySession* CTagProcessor::Claim(int32_t h) {
    std::unique_lock lock(sessions_.mu);
    for (;;) {
        auto it = h > 0 ? sessions_.open.find(h) : sessions_.open.end();
        if (it == sessions_.open.end()) return nullptr;
        if (!it->second->busy) {
            it->second->busy = true;
            return it->second.get();
        }
        // Another call works on it (a page that handed its session on): this one comes next.
        sessions_.idle.wait(lock);
    }
}

void CTagProcessor::Release(DiscoverySession& s) {
    {
        std::lock_guard lock(sessions_.mu);
        s.busy = false;
        s.lastUse = std::chrono::steady_clock::now();
    }
    sessions_.idle.notify_all();
}

bool CTagProcessor::PassesFilters(const DiscoverySession& s, const DeviceKey& key) {
    bool anySet = false;
    auto text = [&](const std::string& filter, auto value) -> bool {
        if (filter.empty()) return false;
        anySet = true;
        std::string v;
        return value(&v) && FilterMatches(filter, v);
    };
    auto mib = [&](const std::string& oid) {
        return [this, &key, oid](std::string* v) {
            if (GetSNMPPacket(0, key, {oid}) != 0) return false;
            std::vector<uint8_t> element;
            if (GetBERData(0, &element) != 0) return false;
            return ValueText(element, v, "DecodeSTR ERROR=%d\n") == 0;
        };
    };
    if (text(s.ip, [&](std::string* v) { return *v = key.ip, true; })) return true;
    if (text(s.mac, [&](std::string* v) { return *v = key.mac, true; })) return true;
    if (text(s.descr, mib(kDescr + key.index))) return true;
    if (text(s.name, mib(kName))) return true;
    bool allStates = s.state[0] == "1" && s.state[1] == "1" && s.state[2] == "1";
    // With every state selected the state filter is not set: it decides only when no text
    // filter was given.
    if (allStates) return !anySet;
    int state = 1;
    bool warning = false;
    if (GetSNMPPacket(5, key, {kSeverity + key.index}) == 0) {
        std::vector<SeqEntry> rows;
        if (ReadAllBindings(&rows) == 0) {
            for (const auto& row : rows) {
                int32_t severity = 0;
                if (ValueInt(row.value, &severity, "DecodeINT ERROR=%d\n") != 0) continue;
                if (severity == 3) {
                    state = 3;
                    break;
                }
                if (severity == 4) warning = true;
            }
        }
    }
    if (state != 3 && warning) state = 2;
    return s.state[state - 1] == "1";
}

namespace {

// True when the session reported a device with this MAC already; else remembers it.
// Printers that did not reveal a MAC cannot be told apart by it.
bool AlreadyReported(DiscoverySession& s, const DeviceKey& key) {
    if (key.mac.empty()) return false;
    for (const auto& m : s.reported)
        if (EqualNoCase(m, key.mac)) return true;
    s.reported.push_back(key.mac);
    return false;
}

}  // namespace

int CTagProcessor::RegisterFound(DiscoverySession& s) {
    if (s.cursor == DB_NO_HANDLE) return 0;  // registered already
    int code = 0;
    // The writes and the close run in this one call, so no reader of the list ever waits
    // for a rewrite that needs another tag call to end.
    for (const std::string& k : s.found) {
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: DBWriteDeviceKeyInGroup\n");
        int r = DBWriteDeviceKeyInGroup(s.cursor, k.c_str());
        QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: DBWriteDeviceKeyInGroup=%d\n", r);
        if (r != 0) {
            code = DbError(r);
            break;
        }
    }
    s.found.clear();
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: DBCloseDeviceKeyInGroup\n");
    int r = DBCloseDeviceKeyInGroup(s.cursor);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: DBCloseDeviceKeyInGroup=%d\n", r);
    s.cursor = DB_NO_HANDLE;
    return code;
}

int CTagProcessor::GetDiscoveryResult(int argc, void** argv) {
    if (!CheckArgs(argc, argv, 1, false) || *static_cast<const int32_t*>(argv[1]) <= 0) {
        if (argc - 1 == 1 && argv[1] != nullptr) QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "PARAM ERROR\n");
        return Finish("GetDiscoveryResult", argv, -2);
    }
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "CALLED GetDiscoveryResult(%d)\n", *static_cast<const int32_t*>(argv[1]));
    EnsureDbThread();
    CloseIdleSessions(*static_cast<const int32_t*>(argv[1]));
    DiscoverySession* s = Claim(*static_cast<const int32_t*>(argv[1]));
    if (s == nullptr) return Finish("GetDiscoveryResult", argv, -2);
    // The session is this call's until it returns; the wait for the next printer can last
    // the whole search budget, and other requests' calls (the printer list, say) go on.
    struct Claimed {
        CTagProcessor* p;
        DiscoverySession* s;
        ~Claimed() { p->Release(*s); }
    } claimed{this, s};
    for (;;) {
        s->lastUse = std::chrono::steady_clock::now();
        std::string text;
        if (!s->searching) {
            char* dkey = nullptr;
            int length = 0;
            QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: DBReadDeviceKeyInGroup\n");
            int r = DBReadDeviceKeyInGroup(s->cursor, &dkey, &length);
            QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: DBReadDeviceKeyInGroup=%d\n", r);
            if (r != 0) return Finish("GetDiscoveryResult", argv, DbError(r));
            if (dkey == nullptr || length <= 0) return Finish("GetDiscoveryResult", argv, -4);
            text.assign(dkey, static_cast<size_t>(length));
            text.resize(std::strlen(text.c_str()));
        } else {
            std::vector<char> buffer(static_cast<size_t>(s->resultSize) + 10, 0);
            int type = 0, r = QB_FINISHED;
            const char* which = "IPX";
            auto next = [&](int search) { return QBGetDiscoveryResult(search, -1, &type, buffer.data()); };
            if (s->ipxActive) {
                r = next(s->ipxSearch);
                QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: QBGetDiscoveryResult[IPX]=%d\n", r);
                if (r == QB_FINISHED) {
                    QBTerminateDiscovery(s->ipxSearch);
                    s->ipxActive = false;
                }
            }
            if (r == QB_FINISHED && s->ipActive) {
                which = "IP";
                r = next(s->ipSearch);
                QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: QBGetDiscoveryResult[IP]=%d\n", r);
                if (r == QB_FINISHED) {
                    QBTerminateDiscovery(s->ipSearch);
                    s->ipActive = false;
                }
            }
            (void)which;
            if (r != 0) {
                State().qbError = static_cast<int8_t>(r);
                // Every search ran to its end: what they found is now the list of all devices.
                int code = r == QB_FINISHED && !s->ipActive && !s->ipxActive ? RegisterFound(*s) : 0;
                return Finish("GetDiscoveryResult", argv, code != 0 ? code : -4);
            }
            buffer.back() = 0;
            char hex[16];
            std::snprintf(hex, sizeof hex, "%X;", static_cast<unsigned>(type));
            text = std::string(hex) + buffer.data();
        }
        DeviceKey key;
        if (SetDevKeyInfo(text, &key) != 0) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "SetDevKeyInfo ERROR=%d\n", -3);
            return Finish("GetDiscoveryResult", argv, -3);
        }
        if (s->searching) {
            unsigned char channel[MIB_CHANNEL_SIZE] = {};
            int r = MIBGetChannelInfo(Gateway(), key.ip.c_str(), key.ipx.c_str(), channel);
            if (r != 0 && r != -2) {
                // One printer that stops answering (or answers garbage) between the search and
                // its probe must not end the search for all the others.
                QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "MIBGetChannelInfo(%s)=%d errno=%d, device skipped\n",
                        key.ip.c_str(), r, MIBGetErrorNo(Gateway()));
                continue;
            }
            if (AlreadyReported(*s, key)) continue;
            s->found.push_back(key.dbKey);
            QbTrace(QB_TRACE_INFO, kModule, __LINE__, "IN: DBWriteChannelInfo\n");
            r = DBWriteChannelInfo(key.dbKey.c_str(), channel, MIB_CHANNEL_SIZE);
            QbTrace(QB_TRACE_INFO, kModule, __LINE__, "OUT: DBWriteChannelInfo=%d\n", r);
            if (r != 0) return Finish("GetDiscoveryResult", argv, DbError(r));
        } else if (AlreadyReported(*s, key)) {
            continue;
        }
        if (!PassesFilters(*s, key)) {
            State().mibError = State().asnError = 0;
            continue;
        }
        int r = EncodeResult(MIB_BER_OCTET_STRING, key.dbKey);
        return Finish("GetDiscoveryResult", argv, r);
    }
}

int CTagProcessor::EndDeviceDiscovery(int argc, void** argv) {
    if (!CheckArgs(argc, argv, 1, false) || *static_cast<const int32_t*>(argv[1]) <= 0)
        return Finish("EndDeviceDiscovery", argv, -2);
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "CALLED EndDeviceDiscovery(%d)\n", *static_cast<const int32_t*>(argv[1]));
    EnsureDbThread();
    const int32_t h = *static_cast<const int32_t*>(argv[1]);
    CloseIdleSessions(h);
    SessionList ended;
    {
        std::lock_guard lock(sessions_.mu);
        auto it = sessions_.open.find(h);
        if (it != sessions_.open.end() && !it->second->busy) {
            ended.push_back(std::move(it->second));
            sessions_.open.erase(it);
        }
    }
    if (ended.empty()) return Finish("EndDeviceDiscovery", argv, -2);
    DiscoverySessions::CloseEach(ended);
    return Finish("EndDeviceDiscovery", argv, 0);
}

int CTagProcessor::EndRequest() {
    QbTrace(QB_TRACE_INFO, kModule, __LINE__, "CALLED EndRequest()\n");
    EnsureDbThread();
    SessionList mine;
    {
        std::lock_guard lock(sessions_.mu);
        mine = sessions_.TakeOwnedByThisThread();
    }
    DiscoverySessions::CloseEach(mine);
    CloseThreadLogs();
    return 0;
}

}  // namespace qm::tag
