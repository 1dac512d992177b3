// Configuration database calls per call, against the same work done directly in SQLite
// (open, one statement, close), and list reads at growing sizes.
#include <benchmark/benchmark.h>
#include <sqlite3.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "qm/testing/testing.h"
#include "qmdbmgr.h"

namespace {

// One installation root for the whole run, with bin/ as the current folder.
struct BenchRoot {
    qm::testing::TempRoot root;
    BenchRoot() {
        if (chdir((root / "bin").c_str()) != 0) std::abort();
        DBMgrInitialize();
    }
};

BenchRoot& Root() {
    static BenchRoot r;
    return r;
}

std::string DeviceKey(int i) { return "10;192.168." + std::to_string(i / 250) + "." + std::to_string(i % 250) + ";;;1"; }

// A raw SQLite file like the one a careful hand-written program would keep.
std::string RawFile(const char* name, const char* schema) {
    std::string path = Root().root / (std::string("conf/") + name);
    sqlite3* db = nullptr;
    sqlite3_open(path.c_str(), &db);
    sqlite3_exec(db, "PRAGMA journal_mode=WAL", nullptr, nullptr, nullptr);
    sqlite3_exec(db, schema, nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return path;
}

sqlite3* RawOpen(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr);
    sqlite3_busy_timeout(db, 30000);
    return db;
}

void BM_DBReadQMInfo(benchmark::State& state) {
    Root();
    char data[256];
    DBReadQMInfo("QMC_MaxLogSize", data);
    for (auto _ : state) {
        if (DBReadQMInfo("QMC_MaxLogSize", data) != 0) state.SkipWithError("read failed");
        benchmark::DoNotOptimize(data);
    }
}
BENCHMARK(BM_DBReadQMInfo);

void BM_RawSqliteReadSetting(benchmark::State& state) {
    static std::string path = RawFile("rawconfig.db",
        "CREATE TABLE IF NOT EXISTS config(item BLOB PRIMARY KEY, value BLOB) WITHOUT ROWID;"
        "INSERT OR REPLACE INTO config VALUES('QMC_MaxLogSize', '524288');");
    char data[256];
    for (auto _ : state) {
        sqlite3* db = RawOpen(path);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT value FROM config WHERE item = ?1", -1, &st, nullptr);
        sqlite3_bind_text(st, 1, "QMC_MaxLogSize", -1, SQLITE_STATIC);
        if (sqlite3_step(st) == SQLITE_ROW)
            std::snprintf(data, sizeof data, "%s", sqlite3_column_text(st, 0));
        sqlite3_finalize(st);
        sqlite3_close(db);
        benchmark::DoNotOptimize(data);
    }
}
BENCHMARK(BM_RawSqliteReadSetting);

// The tighter peer: a connection kept open and a prepared statement, one step per call.
void BM_RawSqliteReadSettingKeptOpen(benchmark::State& state) {
    static std::string path = RawFile("rawconfig.db",
        "CREATE TABLE IF NOT EXISTS config(item BLOB PRIMARY KEY, value BLOB) WITHOUT ROWID;"
        "INSERT OR REPLACE INTO config VALUES('QMC_MaxLogSize', '524288');");
    sqlite3* db = RawOpen(path);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT value FROM config WHERE item = ?1", -1, &st, nullptr);
    char data[256];
    for (auto _ : state) {
        sqlite3_bind_text(st, 1, "QMC_MaxLogSize", -1, SQLITE_STATIC);
        if (sqlite3_step(st) == SQLITE_ROW)
            std::snprintf(data, sizeof data, "%s", sqlite3_column_text(st, 0));
        sqlite3_reset(st);
        benchmark::DoNotOptimize(data);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
}
BENCHMARK(BM_RawSqliteReadSettingKeptOpen);

void BM_DBWriteDeviceInfo(benchmark::State& state) {
    Root();
    DBWriteDeviceInfo("bench-device", "DEV_Description", "x");
    long i = 0;
    for (auto _ : state) {
        std::string v = std::to_string(i++);
        if (DBWriteDeviceInfo("bench-device", "DEV_Description", v.c_str()) != 0)
            state.SkipWithError("write failed");
    }
}
BENCHMARK(BM_DBWriteDeviceInfo);

void BM_RawSqliteWriteDevice(benchmark::State& state) {
    static std::string path = RawFile("rawdevice.db",
        "CREATE TABLE IF NOT EXISTS device(key BLOB PRIMARY KEY, description TEXT, data BLOB) WITHOUT ROWID;");
    long i = 0;
    for (auto _ : state) {
        std::string v = std::to_string(i++);
        sqlite3* db = RawOpen(path);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db,
                           "INSERT INTO device(key, description, data) VALUES(?1, ?2, zeroblob(640)) "
                           "ON CONFLICT(key) DO UPDATE SET description = ?2",
                           -1, &st, nullptr);
        sqlite3_bind_text(st, 1, "bench-device", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 2, v.c_str(), -1, SQLITE_STATIC);
        if (sqlite3_step(st) != SQLITE_DONE) state.SkipWithError("raw write failed");
        sqlite3_finalize(st);
        sqlite3_close(db);
    }
}
BENCHMARK(BM_RawSqliteWriteDevice);

void BM_RawSqliteWriteDeviceKeptOpen(benchmark::State& state) {
    static std::string path = RawFile("rawdevice.db",
        "CREATE TABLE IF NOT EXISTS device(key BLOB PRIMARY KEY, description TEXT, data BLOB) WITHOUT ROWID;");
    sqlite3* db = RawOpen(path);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db,
                       "INSERT INTO device(key, description, data) VALUES(?1, ?2, zeroblob(640)) "
                       "ON CONFLICT(key) DO UPDATE SET description = ?2",
                       -1, &st, nullptr);
    long i = 0;
    for (auto _ : state) {
        std::string v = std::to_string(i++);
        sqlite3_bind_text(st, 1, "bench-device", -1, SQLITE_STATIC);
        sqlite3_bind_text(st, 2, v.c_str(), -1, SQLITE_STATIC);
        if (sqlite3_step(st) != SQLITE_DONE) state.SkipWithError("raw write failed");
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
}
BENCHMARK(BM_RawSqliteWriteDeviceKeptOpen);

int g_devices = 0;
void EnsureDevices(int n) {
    Root();
    for (; g_devices < n; ++g_devices)
        DBWriteDeviceInfo(DeviceKey(g_devices).c_str(), "DEV_SerialNum", "S");
}

// Both calls of a device key list read: count, then copy.
void BM_DBReadDeviceKeyList(benchmark::State& state) {
    int n = static_cast<int>(state.range(0));
    EnsureDevices(n);
    int total = 0;
    DBReadDeviceKeyList(&total, nullptr);  // n devices, and the one the write benchmark made
    std::vector<std::vector<char>> storage(total, std::vector<char>(65));
    std::vector<char*> list;
    for (auto& s : storage) list.push_back(s.data());
    for (auto _ : state) {
        int count = 0;
        DBReadDeviceKeyList(&count, nullptr);
        if (count != total) state.SkipWithError("wrong count");
        if (DBReadDeviceKeyList(&count, list.data()) != 0) state.SkipWithError("copy failed");
    }
    state.SetItemsProcessed(state.iterations() * total);
}
BENCHMARK(BM_DBReadDeviceKeyList)->Arg(1000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond);

void BM_RawSqliteDeviceKeyList(benchmark::State& state) {
    static std::string path = RawFile("rawkeys.db",
        "CREATE TABLE IF NOT EXISTS device(key BLOB PRIMARY KEY, data BLOB) WITHOUT ROWID;");
    static int have = 0;
    int n = static_cast<int>(state.range(0));
    if (have < n) {
        sqlite3* db = RawOpen(path);
        sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
        for (; have < n; ++have) {
            std::string sql = "INSERT INTO device VALUES('" + DeviceKey(have) + "', zeroblob(640))";
            sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
        }
        sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
        sqlite3_close(db);
    }
    std::vector<std::string> keys(have);
    for (auto _ : state) {
        // The same two steps: count, then copy every key in order.
        sqlite3* db = RawOpen(path);
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT count(*) FROM device", -1, &st, nullptr);
        sqlite3_step(st);
        sqlite3_finalize(st);
        sqlite3_close(db);
        db = RawOpen(path);
        sqlite3_prepare_v2(db, "SELECT key FROM device ORDER BY key", -1, &st, nullptr);
        int i = 0;
        while (sqlite3_step(st) == SQLITE_ROW && i < have)
            keys[i++].assign(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)));
        sqlite3_finalize(st);
        sqlite3_close(db);
    }
    state.SetItemsProcessed(state.iterations() * have);
}
BENCHMARK(BM_RawSqliteDeviceKeyList)->Arg(1000)->Arg(10000)->Arg(30000)->Unit(benchmark::kMillisecond);

// Groups in one deep chain: group i is a sub-group of group i - 1.
int g_groups = 0;
void EnsureGroups(int n) {
    Root();
    int count = 0;
    DBReadGroupNameList(&count, nullptr);
    for (; g_groups < n; ++g_groups) {
        std::string name = "G" + std::to_string(g_groups);
        DBCreateGroupInfo(name.c_str());
        if (g_groups > 0)
            DBWriteSubGroupInGroup(("G" + std::to_string(g_groups - 1)).c_str(), name.c_str());
    }
}

void BM_DBReadAddGroupNameList(benchmark::State& state) {
    int n = static_cast<int>(state.range(0));
    EnsureGroups(n);
    std::vector<std::vector<char>> storage(n, std::vector<char>(65));
    std::vector<char*> list;
    for (auto& s : storage) list.push_back(s.data());
    // The middle of the chain: half the groups are its ancestors.
    std::string target = "G" + std::to_string(n / 2);
    for (auto _ : state) {
        int count = 0;
        if (DBReadAddGroupNameList(target.c_str(), &count, nullptr) != 0) state.SkipWithError("failed");
        DBReadAddGroupNameList(target.c_str(), &count, list.data());
    }
    state.SetItemsProcessed(state.iterations() * n);
}
BENCHMARK(BM_DBReadAddGroupNameList)->Arg(100)->Arg(500)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
