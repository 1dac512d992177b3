// Two processes on the same files (the monitor writing, the notification service and the
// status walk reading), and the trap-registration handshake with a real helper process.
#include <chrono>
#include <map>
#include <set>
#include <thread>

#include "ntfdb_fixture.h"

using namespace ntftest;
using qm::testing::Child;
using Clock = std::chrono::steady_clock;

namespace {

constexpr int kAlerts = 60;

// A forked child starts with its own store context, as a new process would.
int InChild(const std::string& root, const std::function<int()>& body) {
    CLISAM();
    if (DBInitialize2(root.c_str()) != 0) return 90;
    return body();
}

// A watch queues its printer's trap registration, which a thread of the library makes. The
// watch is set in a process of its own, so that this one has no such thread when it forks
// the writer: a fork copies only the calling thread, and a child of a process whose other
// thread was inside the allocator at that moment can wait on its lock for ever.
int InOwnProcess(const std::string& root, const std::function<int()>& body) {
    Child child([&] { return InChild(root, body); });
    return child.Wait(std::chrono::seconds(120));
}

TEST_F(NtfTest, AlertsWrittenByOneProcessAreHandedOutOnceInAnother) {
    Device d("10.3.0.1");
    ASSERT_EQ(InOwnProcess(root().path(), [&] { return DBSetHandleSend("DV1", d.get(), 30); }), 0);
    Child writer([&] {
        return InChild(root().path(), [&] {
            for (int i = 1; i <= kAlerts; ++i) {
                std::string a = Alert(1000 + i, 1, i, 4, 8, 1, 5000 + i);
                if (DBSetSendData(d.get(), a.c_str(), 0) != -301) return 1;
            }
            return 0;
        });
    });
    // The notification service's loop: read until the end, then start a new scan.
    std::map<std::string, int> seen;
    unsigned char pos[NTFDB_STATUS_POSITION_SIZE] = {};
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (static_cast<int>(seen.size()) < kAlerts && Clock::now() < deadline) {
        char send[NTFDB_SEND_RECORD_SIZE];
        int r = DBReadSendDB(pos, send);
        ASSERT_TRUE(r == 0 || r == 100) << r;
        if (r == 100) {
            std::memset(pos, 0, sizeof pos);
            std::this_thread::yield();
            continue;
        }
        ++seen[Text(send + 172, 12)];
    }
    EXPECT_EQ(writer.Wait(std::chrono::seconds(120)), 0);
    ASSERT_EQ(static_cast<int>(seen.size()), kAlerts);
    for (const auto& [code, n] : seen) EXPECT_EQ(n, 1) << code;
    char send[NTFDB_SEND_RECORD_SIZE];
    std::memset(pos, 0, sizeof pos);
    EXPECT_EQ(DBReadSendDB(pos, send), 100);
}

TEST_F(NtfTest, StatusWalksRunWhileAnotherProcessWrites) {
    Device d("10.3.0.2");
    ASSERT_EQ(InOwnProcess(root().path(), [&] { return DBSetHandleDevice("DV1", d.get()); }), 0);
    Child writer([&] {
        return InChild(root().path(), [&] {
            for (int i = 1; i <= kAlerts; ++i) {
                std::string a = Alert(1000 + i, 1, i, 4, 8, 1, 5000 + i);
                if (DBSetSendData(d.get(), a.c_str(), 0) != -301) return 1;
            }
            return 0;
        });
    });
    std::string id = d.LaidOut();
    int last = 0;
    auto walk = [&] {
        int file = -1, n = 0, r;
        EXPECT_EQ(DBOpenStatusDB(&file), 0);
        unsigned char st[NTFDB_STATUS_RECORD_SIZE] = {};
        std::memcpy(st, id.data(), 76);
        std::set<int32_t> indexes;
        while ((r = DBReadStatusDB(file, st)) == 0) {
            int32_t index;
            std::memcpy(&index, st + 80, 4);
            EXPECT_TRUE(indexes.insert(index).second) << "a record is seen once per walk";
            ++n;
        }
        EXPECT_EQ(r, 100);
        EXPECT_EQ(DBCloseStatusDB(), 0);
        return n;
    };
    const auto deadline = Clock::now() + std::chrono::seconds(120);
    while (last < kAlerts && Clock::now() < deadline) {
        int n = walk();
        EXPECT_GE(n, last) << "records never vanish while the writer adds";
        last = n;
    }
    EXPECT_EQ(writer.Wait(std::chrono::seconds(120)), 0);
    EXPECT_EQ(walk(), kAlerts);
}

// The library makes the requests on a thread of its own, in order: the log is read once it
// has as many lines as expected, and a request too many shows at the next one.
std::vector<std::string> HelperLogOf(const std::string& root, size_t lines) {
    const auto deadline = Clock::now() + std::chrono::seconds(60);
    std::vector<std::string> log;
    for (;;) {
        std::ifstream in(root + "/qntpset.log");
        log.clear();
        for (std::string l; std::getline(in, l);) log.push_back(l);
        if (log.size() >= lines || Clock::now() > deadline) return log;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
}

TEST_F(NtfTest, FirstAndLastAlertWatchOfAPrinterAskTheHelper) {
    InstallHelper();
    Device d("10.4.0.1"), e("10.4.0.2");
    ASSERT_EQ(DBSetHandleDevice("DV1", d.get()), 0);
    ASSERT_EQ(DBSetHandleDevice("GR2", d.get()), 0);  // second watch: no request
    ASSERT_EQ(DBSetHandleDevice("CS3", d.get()), 0);  // not an alert watch: no request
    ASSERT_EQ(DBSetHandleSend("PR4", e.get(), 30), 0);
    EXPECT_EQ(HelperLogOf(root().path(), 2), (std::vector<std::string>{"1 10.4.0.1", "1 10.4.0.2"}));
    ASSERT_EQ(DBDeleteHandle("DV1"), 0);  // GR2 still watches the printer: no request
    ASSERT_EQ(DBDeleteHandle("GR2"), 0);
    Notice n("192.0.2.5", 7000);
    ASSERT_EQ(DBSetHandleNotice("PR4", n.bytes), 0);
    ASSERT_EQ(DBDeleteNotice("PR4"), 0);
    EXPECT_EQ(HelperLogOf(root().path(), 4),
              (std::vector<std::string>{"1 10.4.0.1", "1 10.4.0.2", "9 10.4.0.1", "9 10.4.0.2"}));
}

TEST_F(NtfTest, AHelperThatNeverAnswersHoldsNeitherTheWatchNorOtherWriters) {
    InstallHelper();
    setenv("QM_TEST_QNTPSET_SILENT", "1", 1);
    setenv("QM_QNTPSET_WAIT_MS", "8000", 1);
    Device d("10.4.0.3"), e("10.4.0.5");
    auto start = Clock::now();
    int r = DBSetHandleDevice("DV1", d.get());
    auto took = Clock::now() - start;
    EXPECT_EQ(r, 0) << "the handshake's failure is not the watch's";
    // The helper has the request and never acknowledges it: the watch did not wait for that,
    // and another writer is not held by a store lock either.
    EXPECT_EQ(HelperLogOf(root().path(), 1), (std::vector<std::string>{"1 10.4.0.3"}));
    start = Clock::now();
    EXPECT_EQ(DBSetHandleDevice("CS2", e.get()), 0);
    auto other = Clock::now() - start;
    unsetenv("QM_TEST_QNTPSET_SILENT");
    unsetenv("QM_QNTPSET_WAIT_MS");
    EXPECT_LT(took, std::chrono::seconds(4));
    EXPECT_LT(other, std::chrono::seconds(4));
    EXPECT_EQ(Rows("ntcctl").size(), 2u);
}

TEST_F(NtfTest, WithoutAHelperProgramWatchesStillWork) {
    Device d("10.4.0.4");
    ASSERT_EQ(DBSetHandleDevice("DV1", d.get()), 0);
    ASSERT_EQ(DBDeleteHandle("DV1"), 0);
    EXPECT_TRUE(Rows("ntcctl").empty());
}

}  // namespace
