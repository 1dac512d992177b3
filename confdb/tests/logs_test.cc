// Device and group logs read through the log reader, from a notification database in the same
// installation root that the monitor's record functions filled.
#include "QNTFDB.h"
#include "dbtest.h"

using namespace dbtest;

namespace {

constexpr const char* kKey = "10;10.4.4.4;;001122334455;1";

class Logs : public DbTest {
protected:
    const char* device[7] = {"10", "10.4.4.4", "", "001122334455", "1", "0", "hall"};
    void SetUp() override {
        DbTest::SetUp();
        ASSERT_EQ(DBInitialize2(root().path().c_str()), 0);
        ASSERT_EQ(DBSetHandleDevice("DV5", device), 0);
        ASSERT_EQ(DBSetHandleDevice("GR6", device), 0);
        ASSERT_EQ(DBSetLogData(device, "2026/04/01\n08:00:00\n1\n4\n3\n13\n2\n5\n8\njam\n0", 0), 0);
        ASSERT_EQ(DBSetLogData(device, "2026/04/02\n08:00:00\n2\n4\n3\n13\n2\n5\n8\nopen\n0", 0), 0);
        ASSERT_EQ(DBRelease2(), 0);
        ASSERT_EQ(DBWriteDeviceInfo(kKey, "DEV_ErrorLogHandle", "DV5"), 0);
        GroupNames();  // makes the group file
        ASSERT_EQ(DBCreateGroupInfo("Hall"), 0);
        ASSERT_EQ(DBWriteGroupInfo("Hall", "GRP_LogHandle", "GR6"), 0);
    }
    template <typename ReadFn>
    std::vector<std::string> Lines(DBHANDLE h, ReadFn read) {
        std::vector<std::string> out;
        for (int guard = 0; guard < 100; ++guard) {
            char* line = nullptr;
            int length = -1;
            EXPECT_EQ(read(h, &line, &length), 0);
            if (length <= 0) break;
            out.emplace_back(line, static_cast<size_t>(length));
        }
        return out;
    }
};

TEST_F(Logs, ADeviceLogReadsLineForLine) {
    DBHANDLE h = DBOpenDeviceLog(kKey, 0);
    ASSERT_GT(h, 0);
    EXPECT_EQ(Lines(h, DBReadDeviceLog), (std::vector<std::string>{"2026/04/01,08:00:00,1,4,13,2,5,3,8,jam,0",
                                                                  "2026/04/02,08:00:00,2,4,13,2,5,3,8,open,0"}));
    EXPECT_EQ(DBCloseDeviceLog(h), 0);
    char* line = nullptr;
    int length = 0;
    EXPECT_EQ(DBReadDeviceLog(h, &line, &length), -1) << "closed";
    EXPECT_NE(Trace().find("QMDBMGR: DBOpenDeviceLog[OUT] m_lpszLogReadHandle=DV5"), std::string::npos);
}

TEST_F(Logs, AGroupLogShowsTheDeviceAndTheWatchText) {
    DBHANDLE h = DBOpenGroupLog("Hall");
    ASSERT_GT(h, 0);
    auto lines = Lines(h, DBReadGroupLog);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "2026/04/01,08:00:00,10,10.4.4.4,,001122334455,1,hall,1,4,13,2,5,3,8,jam,0");
    EXPECT_EQ(DBCloseGroupLog(h), 0);
}

TEST_F(Logs, KindsWithoutALogAndUnknownHandlesFail) {
    auto starts = [&] {
        std::string t = Trace();
        size_t n = 0;
        for (size_t at = t.find("NTCStartReadLog"); at != std::string::npos; at = t.find("NTCStartReadLog", at + 1)) ++n;
        return n;
    };
    const size_t before = starts();
    EXPECT_EQ(DBOpenDeviceLog(kKey, 3), -1);
    EXPECT_EQ(starts(), before) << "the reader is not asked";
    EXPECT_EQ(DBOpenDeviceLog(kKey, 1), -1) << "no print log handle stored";
    EXPECT_EQ(DBOpenDeviceLog("no;such;device", 0), -1);
    EXPECT_EQ(DBOpenGroupLog("Nowhere"), -1);
    char* line = nullptr;
    int length = 0;
    EXPECT_EQ(DBReadGroupLog(-1, &line, &length), -1);
    EXPECT_NE(Trace().find("QMDBMGR: DBReadGroupLog[ER_OUT] hHandle=-1"), std::string::npos);
    EXPECT_EQ(DBCloseGroupLog(-1), 0);
}

}  // namespace
