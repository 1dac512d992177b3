// The library's process-wide state (configuration, the loaded store) and the store calls made
// by name with the retry rule, the file sets and the record fields built on them.
#pragma once

#include <array>
#include <cstdint>
#include <cstring>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "QBUtil.h"
#include "qm/platform/owners.h"
#include "qmisam.h"

#define NTF_TRACE(...) QbTrace(QB_TRACE_INFO, "QNTFDB", __LINE__, __VA_ARGS__)
#define NTF_ERROR(...) QbTrace(QB_TRACE_ERROR, "QNTFDB", __LINE__, __VA_ARGS__)

namespace qm::ntfdb {

// ---- Configuration ---------------------------------------------------------------------

struct Config {
    std::string installFolder;
    std::string dbFolder;  // install folder "\\" DBPath
    int retryCount = 3;    // attempts of every store call (at least one)
    int retryIntervalMs = 100;
    std::string csvPath = "ntf\\log";
    int csvFileSize = 150;
};

// Reads "<install>\\bin\\ntccnf.ini", section QWM_DBConf, with the defaults for what is missing.
Config ReadConfig(const std::string& installFolder);

// The configuration in force (a copy; DBInitialize replaces it).
Config CurrentConfig();

// ---- The store library -----------------------------------------------------------------

// Loads "CTREESTD" (unless loaded) and keeps the configuration, counting one more user of the
// store; false when the library cannot be loaded.
bool LoadStore(const Config& config);
// Ends one user's start (DBRelease2, DBRelease). The last one runs `beforeUnload` (ctThrdTerm
// of DBRelease) and lets the store go: it is unloaded once no store call holds it any more.
// True when this was the last user.
bool UnloadStore(const std::function<void()>& beforeUnload = {});
// The users counted now (for the tests).
int StoreUsers();

// The store loaded now (null when none); a holder keeps it loaded.
using StoreRef = std::shared_ptr<platform::UniqueLibrary>;
StoreRef CurrentStore();
// The exported store function `name`, fetched on every use; null when the library is not
// loaded or lacks the function. The first form is only safe while the caller's own start
// keeps the store loaded; a call made on behalf of any thread holds the store with the second.
void* StoreSymbol(const char* name);
void* StoreSymbol(const StoreRef& store, const char* name);

// Store results this library tells apart.
inline constexpr int kEnd = ISAM_END;  // 101
inline constexpr int kMissingFunction = -1;

// Results that another attempt cannot change: a retry would only wait and answer the same.
bool IsFinalResult(int result);

void SleepMs(int ms);

// One store call through the retry rule: fetched by name, up to retryCount attempts,
// retryIntervalMs apart; 0 and 101 (and the other final results) end the attempts at once.
template <typename Fn, typename... A>
int StoreCall(const char* name, A... args) {
    Config c = CurrentConfig();
    // Held to the end of the call: an end of the library on another thread cannot unload the
    // code this call runs in.
    const StoreRef store = CurrentStore();
    int r = kMissingFunction;
    for (int attempt = 1; attempt <= c.retryCount; ++attempt) {
        auto fn = reinterpret_cast<Fn>(StoreSymbol(store, name));
        if (!fn) {
            NTF_ERROR("QNTFDB: store function %s is missing", name);
            return kMissingFunction;
        }
        r = fn(args...);
        if (r == 0 || IsFinalResult(r)) return r;
        NTF_ERROR("QNTFDB: %s nRet=%d (attempt %d of %d)", name, r, attempt, c.retryCount);
        if (attempt < c.retryCount) SleepMs(c.retryIntervalMs);
    }
    return r;
}

#define STORE(fn, ...) ::qm::ntfdb::StoreCall<decltype(&::fn)>(#fn, __VA_ARGS__)

// ---- Store context of the calling thread ------------------------------------------------

// INTISAM on construction (0, 125 and 518 are success); CLISAM on destruction only when this
// object made the context, so a caller's own context survives the call.
class Session {
public:
    Session();
    ~Session();
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    bool ok() const { return ok_; }
    int result() const { return result_; }
    // Ends the context now (when this object made it); the result of CLISAM.
    int End();

private:
    int result_ = -1;
    bool ok_ = false;
    bool mine_ = false;
};

// ---- File sets -------------------------------------------------------------------------

enum class SetId { Sys, Dev, Ctl, Log, To, Hdl, Sts };
inline constexpr SetId kAllSets[] = {SetId::Sys, SetId::Dev, SetId::Ctl, SetId::Log,
                                     SetId::To,  SetId::Hdl, SetId::Sts};

const char* SetName(SetId id);
int RecordLength(SetId id);
// The store's definition of a file set, with the file name in the configured folder.
IsamFileSet Definition(SetId id, const std::string& fileName);
// "<dbFolder>\\<name>" (format "%s\\%s").
std::string SetFileName(SetId id);

using Record = std::vector<unsigned char>;

// One open file set for the length of a call. The destructor closes what is still open and
// ignores the result, which is what every failure path wants.
class Table {
public:
    explicit Table(SetId id);
    ~Table();
    Table(const Table&) = delete;
    Table& operator=(const Table&) = delete;

    int Open();
    // Creates the file set when missing (installation), then opens it.
    int OpenOrCreate();
    int Close();
    // Adopts a file set opened earlier on this thread (the status walk).
    void Adopt(int dataFileNumber);
    void Release() { open_ = false; }

    SetId id() const { return id_; }
    int data() const { return def_.dataFileNumber; }
    int length() const { return RecordLength(id_); }
    Record NewRecord() const { return Record(static_cast<size_t>(length()), 0); }

    // Lookups on index k (1-based): the probe record holds the key fields at their places.
    // 0 found (into out, which becomes current), 101 none, else a failure.
    int Equal(int k, const Record& probe, Record& out);
    int Greater(int k, const Record& probe, Record& out);
    int GreaterEqual(int k, const Record& probe, Record& out);
    int First(int k, Record& out);
    int Next(int k, Record& out);
    // The records whose first `significant` key bytes equal the probe's.
    int FirstInSet(int k, const Record& probe, int significant, Record& out);
    int NextInSet(int k, Record& out);

    int Add(const Record& r);
    int Rewrite(const Record& r);  // the current record
    int Delete();                  // the current record

    // The comparable key of index k for a record (exposed for the position checks).
    int Key(int k, const Record& probe, std::vector<unsigned char>& key);

private:
    SetId id_;
    std::string fileName_;
    IsamFileSet def_;
    bool open_ = false;
};

// The blocking store lock over the thread's open file sets; freed by the destructor.
class StoreLock {
public:
    StoreLock() = default;
    ~StoreLock();
    StoreLock(const StoreLock&) = delete;
    StoreLock& operator=(const StoreLock&) = delete;
    int Take();
    int Free();

private:
    bool held_ = false;
};

// ---- Record fields ---------------------------------------------------------------------

// Texts are stored NUL-filled and cut to width - 1, so a field always ends inside itself.
void PutText(unsigned char* field, int width, std::string_view text);
void PutText(char* field, int width, std::string_view text);
std::string GetText(const unsigned char* field, int width);
std::string GetText(const char* field, int width);
inline void PutInt(unsigned char* at, int32_t v) { std::memcpy(at, &v, 4); }
inline void PutInt(char* at, int32_t v) { std::memcpy(at, &v, 4); }
inline int32_t GetInt(const unsigned char* at) {
    int32_t v;
    std::memcpy(&v, at, 4);
    return v;
}
inline int32_t GetInt(const char* at) {
    int32_t v;
    std::memcpy(&v, at, 4);
    return v;
}
// Decimal text to a number the way the records read it (a non-number is 0).
int32_t ToInt(std::string_view text);
// A decimal text into a fixed field.
void PutDecimal(char* field, int width, long long value);

// The device identity: five texts in 76 bytes, as every record stores them.
inline constexpr int kIdentitySize = 76;
inline constexpr int kPartOffset[5] = {0, 12, 28, 52, 68};
inline constexpr int kPartWidth[5] = {12, 16, 24, 16, 8};

struct Identity {
    std::array<unsigned char, kIdentitySize> bytes{};

    static Identity FromTexts(const char* const* parts);  // five text pointers (null = "")
    static Identity FromLaidOut(const char* laidOut);     // parts at 0, 12, 28, 52, 68
    static Identity FromRecord(const unsigned char* at) { return FromLaidOut(reinterpret_cast<const char*>(at)); }
    std::string Part(int i) const { return GetText(bytes.data() + kPartOffset[i], kPartWidth[i]); }
    std::string Address() const { return Part(1); }
    bool Empty() const;
    void CopyTo(unsigned char* at) const { std::memcpy(at, bytes.data(), kIdentitySize); }
    // Writes the parts as texts at the given offsets of a caller's structure.
    void PutParts(char* base, const int (&offsets)[5]) const;
    bool operator==(const Identity& o) const { return bytes == o.bytes; }
    bool Matches(const unsigned char* at) const { return std::memcmp(at, bytes.data(), kIdentitySize) == 0; }
    std::string Describe() const;
};

// The seven-text device argument.
struct Device {
    Identity identity;
    int32_t flag = 0;
    std::string text;  // the 68-byte companion text
};
bool ParseDevice(const char* const* device, Device& out, bool full = true);

inline constexpr int kHandleWidth = 16;
// A handle argument: cut to the field; the kind is its first two characters.
std::string HandleText(const char* handle);
enum class HandleKind { Device, Group, Counters, Consumables, Unknown };
HandleKind KindOf(std::string_view handle);

// Splits a record text at line feeds.
std::vector<std::string> SplitFields(const char* text);

}  // namespace qm::ntfdb
