// The two hot calls of the notification database against the same work done directly in
// SQLite: recording an alert that is already known (every poll of every printer), and the
// notification service draining 10,000 pending records one call at a time.
//
// Peers: a hand-written program with one SQLite file holding the same tables, opening it for
// each call as our callers' threads do (the same steps: lock, look up, rewrite, commit), and
// the tighter peer that keeps its connection and statements open.
#include <benchmark/benchmark.h>
#include <sqlite3.h>

#include <cstring>
#include <memory>
#include <string>
#include <thread>

#include "QBUtil.h"
#include "QNTFDB.h"
#include "qm/testing/testing.h"
#include "qmisam.h"

namespace {

constexpr int kLogEntries = 200;
constexpr int kPending = 10000;

struct BenchRoot {
    qm::testing::TempRoot root;
    BenchRoot() {
        QbSetTraceLevel(QB_TRACE_ERROR);
        if (DBInitialize(root.path().c_str()) != 0) std::abort();
    }
};

BenchRoot& Root() {
    static BenchRoot r;
    return r;
}

struct Device {
    std::string t[7];
    const char* p[7];
    explicit Device(const std::string& ip) : t{"10", ip, "", "001122334455", "1", "0", ""} {
        for (int i = 0; i < 7; ++i) p[i] = t[i].c_str();
    }
};

std::string AlertText(int time, int index, int code) {
    return std::to_string(time) + "\n1\n" + std::to_string(index) + "\n4\n3\n8\n1\n5\n" +
           std::to_string(code) + "\npaper jam\n0";
}

// A watched printer with a receiver, one known alert, and a log of kLogEntries entries of
// which one is the alert's.
void PrepareKnownAlert() {
    static bool done = false;
    if (done) return;
    done = true;
    Root();
    Device d("10.9.0.1");
    DBSetHandleDevice("DV1", d.p);
    DBSetHandleSend("DV1", d.p, 30);
    DBSetSendData(d.p, AlertText(1000, 1, 40).c_str(), 0);
    for (int i = 0; i < kLogEntries; ++i) {
        char text[128];
        std::snprintf(text, sizeof text, "2026/12/%02d\n10:%02d:%02d\n%d\n4\n3\n8\n1\n5\n%d\nx\n0",
                      1 + i / 3600 % 28, i / 60 % 60, i % 60, i, i == kLogEntries / 2 ? 40 : 1000 + i);
        DBSetLogData(d.p, text, 0);
    }
    CLISAM();  // the poll workers that call this have no store context of their own
}

void BM_DBSetSendData_KnownAlert(benchmark::State& state) {
    PrepareKnownAlert();
    Device d("10.9.0.1");
    int t = 2000;
    for (auto _ : state) {
        std::string a = AlertText(t++, 1, 40);
        if (DBSetSendData(d.p, a.c_str(), 0) != -300) state.SkipWithError("not known");
    }
}
BENCHMARK(BM_DBSetSendData_KnownAlert)->Unit(benchmark::kMicrosecond);

// The same tables in one SQLite file.
const char* kSchema =
    "PRAGMA journal_mode=WAL;"
    "CREATE TABLE IF NOT EXISTS sends(device BLOB, handle BLOB, data BLOB, PRIMARY KEY(device, handle)) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS devices(device BLOB PRIMARY KEY, watches INT, data BLOB) WITHOUT ROWID;"
    "CREATE TABLE IF NOT EXISTS status(time INT, device BLOB, kind INT, idx INT, grp INT, gidx INT, code INT, data BLOB,"
    " PRIMARY KEY(time, device, kind, idx));"
    "CREATE UNIQUE INDEX IF NOT EXISTS status2 ON status(device, kind, idx, time);"
    "CREATE TABLE IF NOT EXISTS log(time INT, device BLOB, kind INT, idx INT, grp INT, gidx INT, code INT, data BLOB,"
    " PRIMARY KEY(time, device, kind, idx));";

sqlite3* RawOpen(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE, nullptr);
    sqlite3_busy_timeout(db, 30000);
    sqlite3_exec(db, "PRAGMA synchronous=NORMAL", nullptr, nullptr, nullptr);
    return db;
}

std::string RawKnownAlertFile() {
    static std::string path;
    if (!path.empty()) return path;
    path = Root().root / "ntf/raw_known.db";
    sqlite3* db = RawOpen(path);
    sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    sqlite3_exec(db, "BEGIN", nullptr, nullptr, nullptr);
    sqlite3_exec(db, "INSERT INTO sends VALUES('dev1','DV1',zeroblob(172));"
                     "INSERT INTO devices VALUES('dev1',1,zeroblob(120));"
                     "INSERT INTO status VALUES(1000,'dev1',1,1,8,1,40,zeroblob(376));",
                 nullptr, nullptr, nullptr);
    for (int i = 0; i < kLogEntries; ++i) {
        std::string sql = "INSERT INTO log VALUES(" + std::to_string(i) + ",'dev1',0," + std::to_string(i) +
                          ",8,1," + std::to_string(i == kLogEntries / 2 ? 40 : 1000 + i) + ",zeroblob(404))";
        sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
    return path;
}

// The known-alert steps: is anybody interested, find the alert, is it in the log, new time.
int RawKnownAlert(sqlite3* db, int time) {
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    auto exists = [&](const char* sql) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, sql, -1, &st, nullptr);
        bool row = sqlite3_step(st) == SQLITE_ROW;
        sqlite3_finalize(st);
        return row;
    };
    bool sending = exists("SELECT 1 FROM sends WHERE device='dev1' LIMIT 1");
    bool watched = exists("SELECT 1 FROM devices WHERE device='dev1' AND watches>0");
    int result = -300;
    if (sending || watched) {
        sqlite3_stmt* st = nullptr;
        sqlite3_prepare_v2(db, "SELECT rowid FROM status WHERE device='dev1' AND kind IN (0,1) AND grp=8 "
                               "AND gidx=1 AND code=40 LIMIT 1", -1, &st, nullptr);
        int64_t row = sqlite3_step(st) == SQLITE_ROW ? sqlite3_column_int64(st, 0) : 0;
        sqlite3_finalize(st);
        if (watched && !exists("SELECT 1 FROM log WHERE kind=0 AND device='dev1' AND grp=8 AND gidx=1 AND code=40"))
            result = -301;
        sqlite3_prepare_v2(db, "UPDATE status SET time=?1 WHERE rowid=?2", -1, &st, nullptr);
        sqlite3_bind_int(st, 1, time);
        sqlite3_bind_int64(st, 2, row);
        sqlite3_step(st);
        sqlite3_finalize(st);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    return result;
}

void BM_RawSqlite_KnownAlert(benchmark::State& state) {
    std::string path = RawKnownAlertFile();
    int t = 2000;
    for (auto _ : state) {
        sqlite3* db = RawOpen(path);
        if (RawKnownAlert(db, t++) != -300) state.SkipWithError("not known");
        sqlite3_close(db);
    }
}
BENCHMARK(BM_RawSqlite_KnownAlert)->Unit(benchmark::kMicrosecond);

void BM_RawSqlite_KnownAlertKeptOpen(benchmark::State& state) {
    std::string path = RawKnownAlertFile();
    sqlite3* db = RawOpen(path);
    int t = 2000;
    for (auto _ : state)
        if (RawKnownAlert(db, t++) != -300) state.SkipWithError("not known");
    sqlite3_close(db);
}
BENCHMARK(BM_RawSqlite_KnownAlertKeptOpen)->Unit(benchmark::kMicrosecond);

// 10,000 pending records, 100 alerts on each of 100 printers, written once per benchmark run.
void PreparePending(int round) {
    Root();
    unsigned char pos[NTFDB_STATUS_POSITION_SIZE] = {};
    char send[NTFDB_SEND_RECORD_SIZE];
    while (DBReadSendDB(pos, send) == 0) {
    }  // whatever an earlier benchmark left pending
    std::string h = "DVq" + std::to_string(round);
    for (int p = 0; p < 100; ++p) {
        Device d("10." + std::to_string(10 + round) + ".0." + std::to_string(p));
        DBSetHandleSend(h.c_str(), d.p, 30);
        for (int i = 1; i <= kPending / 100; ++i)
            DBSetSendData(d.p, AlertText(5000 + i, i, i).c_str(), 0);
    }
    CLISAM();
}

void BM_DBReadSendDB_10000Pending(benchmark::State& state) {
    int round = 0;
    for (auto _ : state) {
        state.PauseTiming();
        PreparePending(round++);
        state.ResumeTiming();
        unsigned char pos[NTFDB_STATUS_POSITION_SIZE] = {};
        char send[NTFDB_SEND_RECORD_SIZE];
        int n = 0;
        while (DBReadSendDB(pos, send) == 0) ++n;
        if (n != kPending) state.SkipWithError("wrong count");
    }
    state.SetItemsProcessed(state.iterations() * kPending);
}
BENCHMARK(BM_DBReadSendDB_10000Pending)->Iterations(2)->Unit(benchmark::kMillisecond);

void RawFillPending(const std::string& path) {
    sqlite3* db = RawOpen(path);
    sqlite3_exec(db, kSchema, nullptr, nullptr, nullptr);
    sqlite3_exec(db, "DELETE FROM status; BEGIN", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "INSERT INTO status VALUES(?1,'dev1',1,?2,8,1,?2,zeroblob(376))", -1, &st, nullptr);
    for (int i = 1; i <= kPending; ++i) {
        sqlite3_bind_int(st, 1, 5000 + i);
        sqlite3_bind_int(st, 2, i);
        sqlite3_step(st);
        sqlite3_reset(st);
    }
    sqlite3_finalize(st);
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    sqlite3_close(db);
}

// One hand-out: the next pending record after the position, marked sent.
bool RawReadSend(sqlite3* db, int64_t& time, int64_t& kind, int64_t& idx) {
    sqlite3_exec(db, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr);
    sqlite3_stmt* st = nullptr;
    sqlite3_prepare_v2(db, "SELECT rowid, time, kind, idx, data FROM status WHERE kind<>0 AND "
                           "(time, device, kind, idx) > (?1, 'dev1', ?2, ?3) ORDER BY time, device, kind, idx LIMIT 1",
                       -1, &st, nullptr);
    sqlite3_bind_int64(st, 1, time);
    sqlite3_bind_int64(st, 2, kind);
    sqlite3_bind_int64(st, 3, idx);
    bool found = sqlite3_step(st) == SQLITE_ROW;
    int64_t row = 0;
    if (found) {
        row = sqlite3_column_int64(st, 0);
        time = sqlite3_column_int64(st, 1);
        kind = 0;
        idx = sqlite3_column_int64(st, 3);
        char send[452];
        std::memcpy(send, sqlite3_column_blob(st, 4), 376);
        benchmark::DoNotOptimize(send);
    }
    sqlite3_finalize(st);
    if (found) {
        sqlite3_prepare_v2(db, "UPDATE status SET kind=0 WHERE rowid=?1", -1, &st, nullptr);
        sqlite3_bind_int64(st, 1, row);
        sqlite3_step(st);
        sqlite3_finalize(st);
    }
    sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr);
    return found;
}

void BM_RawSqlite_ReadSend_10000Pending(benchmark::State& state) {
    std::string path = Root().root / "ntf/raw_pending.db";
    for (auto _ : state) {
        state.PauseTiming();
        RawFillPending(path);
        state.ResumeTiming();
        int64_t time = 0, kind = 0, idx = 0;
        int n = 0;
        for (;;) {
            sqlite3* db = RawOpen(path);
            bool found = RawReadSend(db, time, kind, idx);
            sqlite3_close(db);
            if (!found) break;
            ++n;
        }
        if (n != kPending) state.SkipWithError("wrong count");
    }
    state.SetItemsProcessed(state.iterations() * kPending);
}
BENCHMARK(BM_RawSqlite_ReadSend_10000Pending)->Iterations(2)->Unit(benchmark::kMillisecond);

void BM_RawSqlite_ReadSend_10000PendingKeptOpen(benchmark::State& state) {
    std::string path = Root().root / "ntf/raw_pending.db";
    for (auto _ : state) {
        state.PauseTiming();
        RawFillPending(path);
        sqlite3* db = RawOpen(path);
        state.ResumeTiming();
        int64_t time = 0, kind = 0, idx = 0;
        int n = 0;
        while (RawReadSend(db, time, kind, idx)) ++n;
        sqlite3_close(db);
        if (n != kPending) state.SkipWithError("wrong count");
    }
    state.SetItemsProcessed(state.iterations() * kPending);
}
BENCHMARK(BM_RawSqlite_ReadSend_10000PendingKeptOpen)->Iterations(2)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
