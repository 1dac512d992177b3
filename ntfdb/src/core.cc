// Configuration, the store loaded by name, the retry rule, the file set definitions and the
// record field helpers shared by every export.
#include "core.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <mutex>
#include <thread>

#include "qm/platform/library.h"
#include "qm/platform/owners.h"
#include "qm/platform/profile.h"

namespace qm::ntfdb {

// ---- Configuration ---------------------------------------------------------------------

namespace {

std::mutex g_stateMutex;
Config g_config;
// The loaded store and how many starts (DBInitialize, DBInitialize2) have not been ended yet,
// both under g_stateMutex. Several users of one process (the monitor's threads, the pages'
// tag libraries, the log reader) start and end the library on their own: the store is
// unloaded with the last end only, and a store call under way holds the store it called
// into, so not even that end can unload it under the call.
std::shared_ptr<platform::UniqueLibrary> g_store;
int g_users = 0;

}  // namespace

Config ReadConfig(const std::string& installFolder) {
    const std::string ini = installFolder + "\\bin\\ntccnf.ini";
    auto read = [&](const char* key, const char* fallback) {
        char value[128] = {};
        platform::GetPrivateProfileString("QWM_DBConf", key, fallback, value, sizeof value,
                                          ini.c_str());
        return std::string(value);
    };
    Config c;
    c.installFolder = installFolder;
    c.dbFolder = installFolder + "\\" + read("DBPath", "ntf");
    // Every call is tried at least once, and never waits a negative time.
    c.retryCount = std::max(1, ToInt(read("DBErrorRetryCount", "3")));
    c.retryIntervalMs = std::max(0, ToInt(read("DBErrorRetryInterval", "100")));
    c.csvPath = read("CSVPath", "ntf\\log");
    c.csvFileSize = ToInt(read("CSVFileSize", "150"));
    return c;
}

Config CurrentConfig() {
    std::lock_guard lock(g_stateMutex);
    return g_config;
}

bool LoadStore(const Config& config) {
    std::lock_guard lock(g_stateMutex);
    if (!g_store) {
        platform::LibraryHandle lib = platform::LoadLibraryByName("CTREESTD");
        if (!lib) {
            NTF_ERROR("QNTFDB: cannot load CTREESTD: %s", platform::LibraryError().c_str());
            return false;
        }
        g_store = std::make_shared<platform::UniqueLibrary>(lib);
    }
    g_config = config;
    ++g_users;
    return true;
}

bool UnloadStore(const std::function<void()>& beforeUnload) {
    std::shared_ptr<platform::UniqueLibrary> last;
    {
        std::lock_guard lock(g_stateMutex);
        if (g_users == 0) return false;
        if (--g_users > 0) return false;
        if (beforeUnload) beforeUnload();
        last.swap(g_store);
    }
    // Unloaded here, or by the last store call still under way when it returns.
    return true;
}

int StoreUsers() {
    std::lock_guard lock(g_stateMutex);
    return g_users;
}

StoreRef CurrentStore() {
    std::lock_guard lock(g_stateMutex);
    return g_store;
}

void* StoreSymbol(const StoreRef& store, const char* name) {
    return store && store->get() ? platform::LibrarySymbol(store->get(), name) : nullptr;
}

void* StoreSymbol(const char* name) { return StoreSymbol(CurrentStore(), name); }

bool IsFinalResult(int r) {
    switch (r) {
        case ISAM_KEY_DUPLICATE:
        case ISAM_FILE_MISSING:
        case ISAM_FILE_EXISTS:
        case ISAM_BAD_DEFINITION:
        case ISAM_BAD_FILE_NUMBER:
        case ISAM_NUMBER_IN_USE:
        case ISAM_NO_CURRENT:
        case ISAM_END:
        case ISAM_ALREADY_INIT:
        case 518:
            return true;
        default:
            return false;
    }
}

void SleepMs(int ms) {
    if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- Session ---------------------------------------------------------------------------

Session::Session() {
    result_ = STORE(INTISAM, 6, 10, 4);
    ok_ = result_ == 0 || result_ == ISAM_ALREADY_INIT || result_ == 518;
    mine_ = result_ == 0;
    if (!ok_) NTF_ERROR("QNTFDB: INTISAM nRet=%d", result_);
}

Session::~Session() { End(); }

int Session::End() {
    if (!mine_) return 0;
    mine_ = false;
    auto fn = reinterpret_cast<decltype(&::CLISAM)>(StoreSymbol("CLISAM"));
    return fn ? fn() : -1;
}

// ---- File set definitions -----------------------------------------------------------------

namespace {

constexpr int T = ISAM_SEG_TEXT, U = ISAM_SEG_UNSIGNED;
constexpr int kBlank = ' ';

const IsamSegment kSysSeg[] = {{4, 4, U}};
const IsamIndex kSysIdx[] = {{"", 4, 0, kBlank, 1, kSysSeg}};

const IsamSegment kDevSeg[] = {{4, 12, U}, {16, 16, T}, {32, 24, T}, {56, 16, T}, {72, 8, U}};
const IsamIndex kDevIdx[] = {{"", 76, 0, kBlank, 5, kDevSeg}};

const IsamSegment kCtl1[] = {{4, 4, U},   {8, 16, T},  {24, 12, U}, {36, 16, T}, {52, 24, T},
                             {76, 16, T}, {92, 8, U},  {100, 4, U}, {104, 4, U}};
const IsamSegment kCtl2[] = {{4, 4, U},   {24, 12, U}, {36, 16, T}, {52, 24, T}, {76, 16, T},
                             {92, 8, U},  {100, 4, U}, {8, 16, T},  {104, 4, U}};
const IsamIndex kCtlIdx[] = {{"", 104, 0, kBlank, 9, kCtl1}, {"", 104, 0, kBlank, 9, kCtl2}};

const IsamSegment kLogSeg[] = {{4, 4, U},  {8, 12, U}, {20, 16, T}, {36, 24, T},
                               {60, 16, T}, {76, 8, U}, {84, 4, U},  {88, 4, U}};
const IsamIndex kLogIdx[] = {{"", 88, 0, kBlank, 8, kLogSeg}};

const IsamSegment kTo1[] = {{4, 16, T}};
const IsamSegment kTo2[] = {{20, 16, T}, {216, 4, U}};
const IsamIndex kToIdx[] = {{"", 16, 0, kBlank, 1, kTo1}, {"", 20, 0, kBlank, 2, kTo2}};

const IsamSegment kHdl1[] = {{4, 16, T}, {20, 12, U}, {32, 16, T}, {48, 24, T}, {72, 16, T}, {88, 8, U}};
const IsamSegment kHdl2[] = {{20, 12, U}, {32, 16, T}, {48, 24, T}, {72, 16, T}, {88, 8, U}, {4, 16, T}};
const IsamIndex kHdlIdx[] = {{"", 92, 0, kBlank, 6, kHdl1}, {"", 92, 0, kBlank, 6, kHdl2}};

const IsamSegment kSts1[] = {{4, 4, U},  {8, 12, U}, {20, 16, T}, {36, 24, T},
                             {60, 16, T}, {76, 8, U}, {84, 4, U},  {88, 4, U}};
const IsamSegment kSts2[] = {{8, 12, U}, {20, 16, T}, {36, 24, T}, {60, 16, T},
                             {76, 8, U}, {84, 4, U},  {88, 4, U},  {4, 4, U}};
const IsamIndex kStsIdx[] = {{"", 88, 0, kBlank, 8, kSts1}, {"", 88, 0, kBlank, 8, kSts2}};

struct SetInfo {
    const char* name;
    int length;
    int indexCount;
    const IsamIndex* indexes;
};

const SetInfo& Info(SetId id) {
    static const SetInfo kInfo[] = {
        {"ntcsys", 28, 1, kSysIdx},  {"ntcdev", 120, 1, kDevIdx}, {"ntcctl", 228, 2, kCtlIdx},
        {"ntclog", 404, 1, kLogIdx}, {"ntcto", 220, 2, kToIdx},   {"ntchdl", 172, 2, kHdlIdx},
        {"ntcsts", 376, 2, kStsIdx},
    };
    return kInfo[static_cast<int>(id)];
}

}  // namespace

const char* SetName(SetId id) { return Info(id).name; }
int RecordLength(SetId id) { return Info(id).length; }

IsamFileSet Definition(SetId id, const std::string& fileName) {
    const SetInfo& i = Info(id);
    return IsamFileSet{fileName.c_str(), -1, i.length, 4096, 0, i.indexCount, i.indexes};
}

std::string SetFileName(SetId id) { return CurrentConfig().dbFolder + "\\" + SetName(id); }

// ---- Table -----------------------------------------------------------------------------

Table::Table(SetId id) : id_(id), fileName_(SetFileName(id)), def_(Definition(id, fileName_)) {}

Table::~Table() {
    if (open_) STORE(CLIFIL, &def_);
}

int Table::Open() {
    def_.dataFileNumber = -1;
    int r = STORE(OPNIFIL, &def_);
    open_ = r == 0;
    if (r != 0) NTF_ERROR("QNTFDB: OPNIFIL %s nRet=%d", fileName_.c_str(), r);
    return r;
}

int Table::OpenOrCreate() {
    def_.dataFileNumber = -1;
    int r = STORE(OPNIFIL, &def_);
    if (r == ISAM_FILE_MISSING) {
        def_.dataFileNumber = -1;
        r = STORE(CREIFIL, &def_);
        if (r == ISAM_FILE_EXISTS) {  // another process was quicker
            def_.dataFileNumber = -1;
            r = STORE(OPNIFIL, &def_);
        }
    }
    open_ = r == 0;
    return r;
}

int Table::Close() {
    if (!open_) return 0;
    open_ = false;
    return STORE(CLIFIL, &def_);
}

void Table::Adopt(int dataFileNumber) {
    def_.dataFileNumber = dataFileNumber;
    open_ = true;
}

int Table::Key(int k, const Record& probe, std::vector<unsigned char>& key) {
    const IsamIndex& ix = Info(id_).indexes[k - 1];
    key.assign(static_cast<size_t>(ix.keyLength), static_cast<unsigned char>(ix.padding));
    size_t at = 0;
    for (int s = 0; s < ix.segmentCount; ++s) {
        const IsamSegment& seg = ix.segments[s];
        std::memcpy(key.data() + at, probe.data() + seg.offset, static_cast<size_t>(seg.length));
        at += static_cast<size_t>(seg.length);
    }
    auto fn = reinterpret_cast<decltype(&::TFRMKEY)>(StoreSymbol("TFRMKEY"));
    if (!fn || !fn(data() + k, key.data())) return -1;
    return 0;
}

int Table::Equal(int k, const Record& probe, Record& out) {
    std::vector<unsigned char> key;
    if (Key(k, probe, key) != 0) return -1;
    out.resize(static_cast<size_t>(length()));
    return STORE(EQLREC, data() + k, static_cast<const void*>(key.data()), static_cast<void*>(out.data()));
}

int Table::Greater(int k, const Record& probe, Record& out) {
    std::vector<unsigned char> key;
    if (Key(k, probe, key) != 0) return -1;
    out.resize(static_cast<size_t>(length()));
    return STORE(GTREC, data() + k, static_cast<const void*>(key.data()), static_cast<void*>(out.data()));
}

int Table::GreaterEqual(int k, const Record& probe, Record& out) {
    std::vector<unsigned char> key;
    if (Key(k, probe, key) != 0) return -1;
    out.resize(static_cast<size_t>(length()));
    return STORE(GTEREC, data() + k, static_cast<const void*>(key.data()), static_cast<void*>(out.data()));
}

int Table::First(int k, Record& out) {
    out.resize(static_cast<size_t>(length()));
    return STORE(FRSREC, data() + k, static_cast<void*>(out.data()));
}

int Table::Next(int k, Record& out) {
    out.resize(static_cast<size_t>(length()));
    return STORE(NXTREC, data() + k, static_cast<void*>(out.data()));
}

int Table::FirstInSet(int k, const Record& probe, int significant, Record& out) {
    std::vector<unsigned char> key;
    if (Key(k, probe, key) != 0) return -1;
    out.resize(static_cast<size_t>(length()));
    return STORE(FRSSET, data() + k, static_cast<const void*>(key.data()),
                 static_cast<void*>(out.data()), significant);
}

int Table::NextInSet(int k, Record& out) {
    out.resize(static_cast<size_t>(length()));
    return STORE(NXTSET, data() + k, static_cast<void*>(out.data()));
}

int Table::Add(const Record& r) {
    return STORE(ADDREC, data(), static_cast<const void*>(r.data()));
}

int Table::Rewrite(const Record& r) {
    return STORE(RWTREC, data(), static_cast<const void*>(r.data()));
}

int Table::Delete() { return STORE(DELREC, data()); }

// ---- StoreLock -------------------------------------------------------------------------

StoreLock::~StoreLock() { Free(); }

int StoreLock::Take() {
    int r = STORE(LKISAM, 3);
    held_ = r == 0;
    if (r != 0) NTF_ERROR("QNTFDB: LKISAM(3) nRet=%d", r);
    return r;
}

int StoreLock::Free() {
    if (!held_) return 0;
    held_ = false;
    return STORE(LKISAM, 0);
}

// ---- Fields ----------------------------------------------------------------------------

void PutText(unsigned char* field, int width, std::string_view text) {
    std::memset(field, 0, static_cast<size_t>(width));
    size_t n = std::min(text.size(), static_cast<size_t>(width - 1));
    n = std::min(n, text.find('\0') == std::string_view::npos ? n : text.find('\0'));
    std::memcpy(field, text.data(), n);
}

void PutText(char* field, int width, std::string_view text) {
    PutText(reinterpret_cast<unsigned char*>(field), width, text);
}

std::string GetText(const unsigned char* field, int width) {
    const char* p = reinterpret_cast<const char*>(field);
    return std::string(p, strnlen(p, static_cast<size_t>(width)));
}

std::string GetText(const char* field, int width) {
    return std::string(field, strnlen(field, static_cast<size_t>(width)));
}

int32_t ToInt(std::string_view text) {
    std::string s(text.substr(0, 64));
    errno = 0;
    long long v = std::strtoll(s.c_str(), nullptr, 10);
    if (v > INT32_MAX) return INT32_MAX;
    if (v < INT32_MIN) return INT32_MIN;
    return static_cast<int32_t>(v);
}

void PutDecimal(char* field, int width, long long value) {
    PutText(field, width, std::to_string(value));
}

Identity Identity::FromTexts(const char* const* parts) {
    Identity id;
    for (int i = 0; i < 5; ++i) {
        const char* p = parts ? parts[i] : nullptr;
        PutText(id.bytes.data() + kPartOffset[i], kPartWidth[i], p ? std::string_view(p) : "");
    }
    return id;
}

Identity Identity::FromLaidOut(const char* laidOut) {
    Identity id;
    for (int i = 0; i < 5; ++i) {
        PutText(id.bytes.data() + kPartOffset[i], kPartWidth[i],
                laidOut ? GetText(laidOut + kPartOffset[i], kPartWidth[i]) : std::string());
    }
    return id;
}

bool Identity::Empty() const {
    return std::all_of(bytes.begin(), bytes.end(), [](unsigned char c) { return c == 0; });
}

void Identity::PutParts(char* base, const int (&offsets)[5]) const {
    for (int i = 0; i < 5; ++i) PutText(base + offsets[i], kPartWidth[i], Part(i));
}

std::string Identity::Describe() const {
    return Part(0) + ";" + Part(1) + ";" + Part(2) + ";" + Part(3) + ";" + Part(4);
}

bool ParseDevice(const char* const* device, Device& out, bool full) {
    if (!device) return false;
    out.identity = Identity::FromTexts(device);
    if (full) {
        out.flag = device[5] ? ToInt(device[5]) : 0;
        out.text = device[6] ? std::string(device[6], strnlen(device[6], 67)) : std::string();
    }
    return true;
}

std::string HandleText(const char* handle) {
    if (!handle) return {};
    return std::string(handle, strnlen(handle, kHandleWidth - 1));
}

HandleKind KindOf(std::string_view h) {
    std::string_view k = h.substr(0, 2);
    if (k == "DV") return HandleKind::Device;
    if (k == "GR") return HandleKind::Group;
    if (k == "PR") return HandleKind::Counters;
    if (k == "CS") return HandleKind::Consumables;
    return HandleKind::Unknown;
}

std::vector<std::string> SplitFields(const char* text) {
    std::vector<std::string> out;
    if (!text) return out;
    std::string_view s(text, strnlen(text, 4096));
    size_t start = 0;
    for (;;) {
        size_t lf = s.find('\n', start);
        out.emplace_back(s.substr(start, lf == std::string_view::npos ? std::string_view::npos : lf - start));
        if (lf == std::string_view::npos) break;
        start = lf + 1;
    }
    return out;
}

}  // namespace qm::ntfdb
