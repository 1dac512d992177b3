// Member lists through handles, renames, and the All Devices rewrite with host name registration.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sched.h>
#include <sys/mount.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "dbtest.h"

using namespace dbtest;

namespace {

class MemberLists : public DbTest {
protected:
    void SetUp() override {
        DbTest::SetUp();
        GroupNames();
        ASSERT_EQ(DBCreateGroupInfo("Lab"), 0);
        ASSERT_EQ(DBCreateGroupInfo("Sales"), 0);
    }
    void WriteAll(const char* group, const std::vector<std::string>& keys) {
        DBHANDLE h = DBOpenDeviceKeyInGroup(group);
        ASSERT_NE(h, DB_NO_HANDLE);
        for (const auto& k : keys) ASSERT_EQ(DBWriteDeviceKeyInGroup(h, k.c_str()), 0);
        ASSERT_EQ(DBCloseDeviceKeyInGroup(h), 0);
    }
};

TEST_F(MemberLists, WriteReadDeleteInAGroup) {
    EXPECT_EQ(MembersOf("Lab"), std::vector<std::string>{});  // no member file yet
    WriteAll("Lab", {"k3", "k1", "k2", "k1"});
    EXPECT_EQ(MembersOf("Lab"), (std::vector<std::string>{"k3", "k1", "k2"}));  // order of adding
    WriteAll("Sales", {"k9"});
    DBHANDLE h = DBOpenDeviceKeyInGroup("Lab");
    ASSERT_EQ(DBDeleteDeviceKeyInGroup(h, "k1"), 0);
    ASSERT_EQ(DBDeleteDeviceKeyInGroup(h, "absent"), 0);
    DBCloseDeviceKeyInGroup(h);
    EXPECT_EQ(MembersOf("Lab"), (std::vector<std::string>{"k3", "k2"}));
    EXPECT_EQ(MembersOf("Sales"), std::vector<std::string>{"k9"});
    EXPECT_NE(Trace().find("QMDBMGR: DBWriteDeviceKeyInGroup[OUT] Ret=0(write)"), std::string::npos);
    EXPECT_NE(Trace().find("QMDBMGR: DBOpenDeviceKeyInGroup[OUT] m_nGroupKey=2"), std::string::npos);
}

TEST_F(MemberLists, ReadingContinuesAcrossChangesBeforeThePosition) {
    WriteAll("Lab", {"a", "b", "c", "d"});
    DBHANDLE h = DBOpenDeviceKeyInGroup("Lab");
    char* key;
    int len;
    ASSERT_EQ(DBReadDeviceKeyInGroup(h, &key, &len), 0);
    ASSERT_EQ(DBReadDeviceKeyInGroup(h, &key, &len), 0);
    EXPECT_EQ(std::string(key, len), "b");
    // Removing an entry already read does not make the handle skip one.
    DBHANDLE other = DBOpenDeviceKeyInGroup("Lab");
    ASSERT_EQ(DBDeleteDeviceKeyInGroup(other, "a"), 0);
    ASSERT_EQ(DBWriteDeviceKeyInGroup(other, "e"), 0);
    DBCloseDeviceKeyInGroup(other);
    EXPECT_EQ(Members(h), (std::vector<std::string>{"c", "d", "e"}));
    DBCloseDeviceKeyInGroup(h);
}

TEST_F(MemberLists, BadHandlesAndArguments) {
    char* key = nullptr;
    int len = 5;
    EXPECT_EQ(DBReadDeviceKeyInGroup(DB_NO_HANDLE, &key, &len), -1);
    EXPECT_EQ(len, 0);
    ASSERT_NE(key, nullptr);
    EXPECT_STREQ(key, "");
    EXPECT_EQ(DBWriteDeviceKeyInGroup(DB_NO_HANDLE, "k"), -1);
    EXPECT_NE(Trace().find("QMDBMGR: DBWriteDeviceKeyInGroup[ER_OUT] hHandle=-1"), std::string::npos);
    EXPECT_EQ(DBDeleteDeviceKeyInGroup(DB_NO_HANDLE, "k"), -1);
    EXPECT_EQ(DBCloseDeviceKeyInGroup(DB_NO_HANDLE), 0);
    EXPECT_EQ(DBReadDeviceKeyInGroup(123456, &key, &len), -1);  // never opened
    EXPECT_EQ(DBOpenDeviceKeyInGroup("Nobody"), DB_NO_HANDLE);
    DBHANDLE h = DBOpenDeviceKeyInGroup("Lab");
    EXPECT_EQ(DBWriteDeviceKeyInGroup(h, std::string(65, 'k').c_str()), -1);
    EXPECT_EQ(DBWriteDeviceKeyInGroup(h, std::string(64, 'k').c_str()), 0);
    EXPECT_EQ(DBCloseDeviceKeyInGroup(h), 0);
    EXPECT_EQ(DBCloseDeviceKeyInGroup(h), -1);  // closed already
    EXPECT_EQ(MembersOf("Lab"), std::vector<std::string>{std::string(64, 'k')});
}

TEST_F(MemberLists, RenameReachesEveryGroup) {
    WriteAll("Lab", {"old", "x"});
    WriteAll("Sales", {"old"});
    WriteAll(nullptr, {"y", "old"});
    ASSERT_EQ(DBConvDeviceKeyInGroup("old", "zz-new"), 0);
    EXPECT_EQ(MembersOf("Lab"), (std::vector<std::string>{"zz-new", "x"}));
    EXPECT_EQ(MembersOf("Sales"), std::vector<std::string>{"zz-new"});
    EXPECT_EQ(MembersOf(nullptr), (std::vector<std::string>{"y", "zz-new"}));
    // Onto a key the group holds already: the group keeps one entry.
    WriteAll("Lab", {"twin"});
    ASSERT_EQ(DBConvDeviceKeyInGroup("x", "twin"), 0);
    EXPECT_EQ(MembersOf("Lab"), (std::vector<std::string>{"zz-new", "twin"}));
    EXPECT_EQ(DBConvDeviceKeyInGroup(nullptr, "a"), -1);
}

TEST_F(MemberLists, RenameOfAFullLengthKeyLeavesKeysDifferingInTheLastCharacter) {
    const std::string a = std::string(63, 'k') + "a", b = std::string(63, 'k') + "b";
    WriteAll("Lab", {a, b});
    WriteAll(nullptr, {b, a});
    ASSERT_EQ(DBConvDeviceKeyInGroup(a.c_str(), "renamed"), 0);
    EXPECT_EQ(MembersOf("Lab"), (std::vector<std::string>{"renamed", b}));
    EXPECT_EQ(MembersOf(nullptr), (std::vector<std::string>{b, "renamed"}));
}

TEST_F(MemberLists, AllDevicesIsRewrittenAsAWhole) {
    WriteAll(nullptr, {"old1", "old2"});
    WriteAll("Lab", {"old1"});
    WriteAll(nullptr, {"new1", "new2", "new3"});
    EXPECT_EQ(MembersOf(nullptr), (std::vector<std::string>{"new1", "new2", "new3"}));
    EXPECT_EQ(MembersOf("All Devices"), (std::vector<std::string>{"new1", "new2", "new3"}));
    EXPECT_EQ(MembersOf("Lab"), std::vector<std::string>{"old1"});  // other groups untouched
}

TEST_F(MemberLists, SecondWriterOfAllDevicesWritesNothing) {
    WriteAll(nullptr, {"old"});
    DBHANDLE first = DBOpenDeviceKeyInGroup(nullptr);
    DBHANDLE second = DBOpenDeviceKeyInGroup(nullptr);
    ASSERT_EQ(DBWriteDeviceKeyInGroup(first, "f1"), 0);
    ASSERT_EQ(DBWriteDeviceKeyInGroup(second, "s1"), 0);
    ASSERT_EQ(DBWriteDeviceKeyInGroup(first, "f2"), 0);
    ASSERT_EQ(DBWriteDeviceKeyInGroup(second, "s2"), 0);
    EXPECT_NE(Trace().find("QMDBMGR: DBWriteDeviceKeyInGroup[OUT] Ret=0(not write)"), std::string::npos);
    ASSERT_EQ(DBCloseDeviceKeyInGroup(second), 0);
    ASSERT_EQ(DBCloseDeviceKeyInGroup(first), 0);
    EXPECT_EQ(MembersOf(nullptr), (std::vector<std::string>{"f1", "f2"}));
}

TEST_F(MemberLists, ReaderOfAllDevicesWaitsForTheRewriteToEnd) {
    DBHANDLE writer = DBOpenDeviceKeyInGroup(nullptr);
    ASSERT_EQ(DBWriteDeviceKeyInGroup(writer, "d1"), 0);
    std::vector<std::string> seen;
    std::thread reader([&] {
        DBMgrInitialize();
        DBHANDLE h = DBOpenDeviceKeyInGroup(nullptr);
        seen = Members(h);
        DBCloseDeviceKeyInGroup(h);
        DBMgrRelease();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    ASSERT_EQ(DBWriteDeviceKeyInGroup(writer, "d2"), 0);
    std::this_thread::sleep_for(std::chrono::milliseconds(1200));
    ASSERT_EQ(DBWriteDeviceKeyInGroup(writer, "d3"), 0);
    ASSERT_EQ(DBCloseDeviceKeyInGroup(writer), 0);
    reader.join();
    EXPECT_EQ(seen, (std::vector<std::string>{"d1", "d2", "d3"}));
}

TEST_F(MemberLists, RenameWaitsForTheRewriteOfAllDevices) {
    DBHANDLE writer = DBOpenDeviceKeyInGroup(nullptr);
    ASSERT_EQ(DBWriteDeviceKeyInGroup(writer, "dev-old"), 0);
    std::atomic<bool> renamed{false};
    std::thread rename([&] {
        DBMgrInitialize();
        EXPECT_EQ(DBConvDeviceKeyInGroup("dev-old", "dev-new"), 0);
        renamed = true;
        DBMgrRelease();
    });
    std::this_thread::sleep_for(std::chrono::milliseconds(400));
    EXPECT_FALSE(renamed.load()) << "renamed while the list was being rewritten";
    ASSERT_EQ(DBWriteDeviceKeyInGroup(writer, "dev-2"), 0);
    ASSERT_EQ(DBCloseDeviceKeyInGroup(writer), 0);
    rename.join();
    EXPECT_EQ(MembersOf(nullptr), (std::vector<std::string>{"dev-new", "dev-2"}));
}

TEST_F(MemberLists, FailedClearingLeavesNoRewriteRunning) {
    // Closing the writer starts the host name registration, which reads the member file in
    // the background; it has to be over before the file is swapped, or it may read (or make)
    // the stand-in instead. The trace may hold earlier tests' registrations: count them.
    auto registrations = [&] {
        const std::string trace = Trace(), end = "QMDBMGR: IPHostRegist[OUT] _endthread()";
        size_t n = 0;
        for (size_t at = trace.find(end); at != std::string::npos; at = trace.find(end, at + 1)) ++n;
        return n;
    };
    const size_t before = registrations();
    WriteAll(nullptr, {"old"});
    ASSERT_TRUE(qm::testing::Eventually([&] { return registrations() > before; }));
    // A member file that cannot be opened makes the clearing fail.
    // The file moves aside with its log, as SQLite keeps recent changes there.
    auto move = [&](const std::string& from, const std::string& to) {
        for (const char* suffix : {"", "-wal", "-shm"})
            std::rename(Conf(from + suffix).c_str(), Conf(to + suffix).c_str());
    };
    move("QMDEVLST.dat", "QMDEVLST.good");
    { std::ofstream(Conf("QMDEVLST.dat")) << "garbage garbage garbage garbage garbage garbage garbage"; }
    DBHANDLE h = DBOpenDeviceKeyInGroup(nullptr);
    EXPECT_EQ(DBWriteDeviceKeyInGroup(h, "k"), -1);
    for (const char* suffix : {"", "-wal", "-shm"}) std::remove(Conf(std::string("QMDEVLST.dat") + suffix).c_str());
    move("QMDEVLST.good", "QMDEVLST.dat");
    // The flag is clear again: a reader does not wait and a new handle becomes the writer.
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(MembersOf(nullptr), std::vector<std::string>{"old"});
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(900));
    DBHANDLE next = DBOpenDeviceKeyInGroup(nullptr);
    ASSERT_EQ(DBWriteDeviceKeyInGroup(next, "fresh"), 0);
    ASSERT_EQ(DBCloseDeviceKeyInGroup(next), 0);
    EXPECT_EQ(MembersOf(nullptr), std::vector<std::string>{"fresh"});
    DBCloseDeviceKeyInGroup(h);
}

TEST_F(MemberLists, ClosingTheWriterRegistersHostNames) {
    WriteAll(nullptr, {"a;127.0.0.1;c;d;e", "a;127.0.0.2;c;d", "a;999.1.1.1;c;d;e",
                       "a;12345678901234567;c;d;e"});
    char name[64] = {};
    ASSERT_TRUE(qm::testing::Eventually([&] {
        return DBReadIPHostName("127.0.0.1", name) == 0 && name[0] != '\0';
    }));
    EXPECT_STRNE(name, "127.0.0.1");
    // Only three separators: skipped without a lookup.
    ASSERT_TRUE(qm::testing::Eventually(
        [&] { return Trace().find("QMDBMGR: IPHostRegist[OUT] _endthread()") != std::string::npos; }));
    ASSERT_EQ(DBReadIPHostName("127.0.0.2", name), 0);
    EXPECT_STREQ(name, "");
}

// A name service that never answers makes every lookup last the resolver's whole bound. The
// process must still end soon and cleanly after a registration has started: the registration
// stops at its next device, and no lookup helper is left running in unmapped code. The child
// sees a resolver configuration of its own (a mount namespace) naming a loopback address where
// a socket takes the questions and never answers.
TEST_F(MemberLists, ExitIsPromptAndCleanWhileASilentNameServiceHoldsTheRegistration) {
    const char* silent = "127.83.0.53";
    int sock = socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(53);
    inet_pton(AF_INET, silent, &sa.sin_addr);
    if (sock < 0 || bind(sock, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0) {
        if (sock >= 0) close(sock);
        GTEST_SKIP() << "cannot take port 53 on loopback (needs root)";
    }
    const std::string conf = root().path() + "/resolv.conf";
    std::ofstream(conf) << "nameserver " << silent << "\noptions timeout:5 attempts:2\n";
    std::vector<std::string> keys;
    for (int k = 10; k < 22; ++k) keys.push_back("a;127.0.9." + std::to_string(k) + ";c;d;e");
    auto start = std::chrono::steady_clock::now();
    qm::testing::Child child([&] {
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(conf.c_str(), "/etc/resolv.conf", nullptr, MS_BIND, nullptr) != 0)
            return 77;
        WriteAll(nullptr, keys);
        // Give the registration time to be inside its first lookup, then end as a page does.
        std::this_thread::sleep_for(std::chrono::milliseconds(500));
        std::exit(0);
        return 0;
    });
    int rc = child.Wait(std::chrono::seconds(60));
    auto took = std::chrono::steady_clock::now() - start;
    close(sock);
    if (rc == 77) GTEST_SKIP() << "no mount namespace for the test (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(rc, 0);
    // One lookup's bound (3 s) and the store's work; twelve lookups would take 36 s.
    EXPECT_LT(took, std::chrono::seconds(15));
}

}  // namespace
