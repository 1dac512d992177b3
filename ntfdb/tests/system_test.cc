// Start, configuration, the system record and the handle counter on real files.
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <thread>

#include "ntfdb_fixture.h"

using namespace ntftest;

namespace {

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

TEST_F(NtfTest, FreshInstallationHasSevenFileSetsAndTheDefaultSystemRecord) {
    for (const char* name : {"ntcsys", "ntcdev", "ntcctl", "ntclog", "ntcto", "ntchdl", "ntcsts"}) {
        EXPECT_TRUE(Exists(Ntf() + "/" + name + ".dat")) << name;
        Rows(name);  // opens with the documented layout and blank padding
    }
    char text[64];
    int size = sizeof text;
    ASSERT_EQ(DBReadConfig(text, &size), 0);
    EXPECT_STREQ(text, "524288,30,0,80");
    EXPECT_EQ(size, 15);
    // A second initialisation (another process starting) keeps the one record.
    ASSERT_EQ(DBInitialize2(root().path().c_str()), 0);
    EXPECT_EQ(Rows("ntcsys").size(), 1u);
    EXPECT_EQ(DBRelease2(), 0);
}

TEST_F(NtfTest, ReadConfigReportsTheNeededSizeForASmallBuffer) {
    char small[4] = {'x', 'x', 'x', 'x'};
    int size = sizeof small;
    EXPECT_EQ(DBReadConfig(small, &size), -3);
    EXPECT_EQ(size, 15);
    EXPECT_EQ(small[0], 'x') << "nothing is written into a buffer that is too small";
    EXPECT_EQ(DBReadConfig(nullptr, nullptr), -1);
}

TEST_F(NtfTest, SetConfigReplacesTheFourValuesInRecordOrder) {
    ASSERT_EQ(DBSetConfig("1048576", "7", 60, static_cast<short>(1)), 0);
    char text[64];
    int size = sizeof text;
    ASSERT_EQ(DBReadConfig(text, &size), 0);
    EXPECT_STREQ(text, "1048576,7,1,60");
    // The switch is stored from a 16-bit argument, sign-extended.
    ASSERT_EQ(DBSetConfig("1", "2", 3, static_cast<short>(-1)), 0);
    size = sizeof text;
    ASSERT_EQ(DBReadConfig(text, &size), 0);
    EXPECT_STREQ(text, "1,2,-1,3");
    auto sys = Rows("ntcsys");
    ASSERT_EQ(sys.size(), 1u);
    EXPECT_EQ(Int(sys[0], 8), 1);
    EXPECT_EQ(Int(sys[0], 12), 2);
    EXPECT_EQ(Int(sys[0], 16), -1);
    EXPECT_EQ(Int(sys[0], 20), 3);
    EXPECT_EQ(Int(sys[0], 0), 0) << "bytes 0-3 belong to the store";
}

TEST_F(NtfTest, HandleCountersAreIncreasingAndStored) {
    int first = DBGetHandleCounter();
    int second = DBGetHandleCounter();
    ASSERT_GT(first, 0);
    EXPECT_GT(second, first) << "two numbers within one second differ";
    EXPECT_EQ(Int(Rows("ntcsys")[0], 24), second);
}

TEST(NtfConfig, IniFileChoosesTheFolderAndAMissingSystemRecordFailsSetConfig) {
    qm::testing::TempRoot root;
    std::ofstream(root / "bin/ntccnf.ini")
        << "[QWM_DBConf]\nDBPath=store\\notify\nDBErrorRetryCount=1\nDBErrorRetryInterval=0\n";
    ASSERT_EQ(DBInitialize(root.path().c_str()), 0);
    EXPECT_TRUE(Exists(root / "store/notify/ntcsys.dat"));
    EXPECT_FALSE(Exists(root / "ntf/ntcsys.dat"));
    // Empty the system file set behind the library's back: the export then has nothing to
    // replace.
    auto rows = Records(root / "store/notify", "ntcsys");
    ASSERT_EQ(rows.size(), 1u);
    {
        const IsamSegment seg[] = {{4, 4, ISAM_SEG_UNSIGNED}};
        const IsamIndex ix[] = {{"", 4, 0, ' ', 1, seg}};
        std::string file = root / "store/notify/ntcsys";
        IsamFileSet def{file.c_str(), -1, 28, 4096, 0, 1, ix};
        ASSERT_EQ(OPNIFIL(&def), 0);
        unsigned char rec[28];
        ASSERT_EQ(FRSREC(def.dataFileNumber + 1, rec), 0);
        ASSERT_EQ(DELREC(def.dataFileNumber), 0);
        CLIFIL(&def);
    }
    EXPECT_EQ(DBSetConfig("1", "1", 1, static_cast<short>(0)), -1);
    EXPECT_EQ(DBGetHandleCounter(), -1);
    EXPECT_EQ(DBRelease(), 0);
    CLISAM();
}

TEST(NtfConfig, WithoutTheLibraryEveryCallFails) {
    // Before DBInitialize nothing is loaded; the calls answer -1 rather than crash.
    EXPECT_EQ(DBReadOnOff(nullptr), -1);
    EXPECT_EQ(DBGetHandleCounter(), -1);
    EXPECT_EQ(DBInitialize(nullptr), -1);
}

}  // namespace

namespace {

// Every store call is tried DBErrorRetryCount times, DBErrorRetryInterval ms apart: a file
// set that cannot be opened for a moment (here: replaced by garbage, then put back) is
// opened on a later attempt, and one that stays broken fails after the attempts.
TEST(NtfRetry, FailingStoreCallsAreRepeatedAsConfigured) {
    qm::testing::TempRoot root;
    std::ofstream(root / "bin/ntccnf.ini")
        << "[QWM_DBConf]\nDBErrorRetryCount=40\nDBErrorRetryInterval=100\n";
    ASSERT_EQ(DBInitialize(root.path().c_str()), 0);
    const std::string file = root / "ntf/ntcto.dat", saved = file + ".saved";
    auto breakFile = [&] {
        ASSERT_EQ(std::rename(file.c_str(), saved.c_str()), 0);
        std::ofstream(file) << std::string(4096, 'x');
    };
    char notice[NTFDB_NOTICE_SIZE];

    breakFile();
    std::thread repair([&] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        std::rename(saved.c_str(), file.c_str());
    });
    auto start = std::chrono::steady_clock::now();
    int r = DBGetHandleNotice("DV1", notice);
    auto took = std::chrono::steady_clock::now() - start;
    repair.join();
    EXPECT_EQ(r, -31) << "opened once the file was back, and found no destination";
    EXPECT_GE(took, std::chrono::milliseconds(250));
    EXPECT_EQ(DBRelease(), 0);
    CLISAM();

    std::ofstream(root / "bin/ntccnf.ini")
        << "[QWM_DBConf]\nDBErrorRetryCount=3\nDBErrorRetryInterval=150\n";
    ASSERT_EQ(DBInitialize(root.path().c_str()), 0);
    breakFile();
    start = std::chrono::steady_clock::now();
    EXPECT_EQ(DBGetHandleNotice("DV1", notice), -1);
    took = std::chrono::steady_clock::now() - start;
    EXPECT_GE(took, std::chrono::milliseconds(300)) << "three attempts, two pauses";
    EXPECT_LT(took, std::chrono::seconds(30));
    EXPECT_EQ(DBRelease(), 0);
    CLISAM();
}

}  // namespace

namespace {

// Users of one process start and end the library on their own threads (the pages' watch tags,
// the log reader): an end on one thread must leave the store to a user that is still working
// on another, and the store goes with the last end only.
TEST(NtfStore, AnEndOnOneThreadLeavesTheStoreToTheOthersStillUsingIt) {
    qm::testing::TempRoot root;
    ASSERT_EQ(DBInitialize2(root.path().c_str()), 0);
    std::atomic<bool> done{false};
    std::atomic<int> startsFailed{0};
    std::thread other([&] {
        for (int i = 0; i < 300; ++i) {
            if (DBInitialize2(root.path().c_str()) != 0) ++startsFailed;
            char buffer[64];
            int size = sizeof buffer;
            DBReadConfig(buffer, &size);
            DBRelease2();
        }
        done = true;
    });
    int calls = 0, failed = 0;
    while (!done || calls < 300) {
        char buffer[64];
        int size = sizeof buffer;
        ++calls;
        if (DBReadConfig(buffer, &size) != 0 || std::string(buffer) != "524288,30,0,80") ++failed;
    }
    other.join();
    EXPECT_EQ(startsFailed, 0);
    EXPECT_EQ(failed, 0) << "of " << calls << " calls";
    // The last end unloads the store: nothing answers after it.
    EXPECT_EQ(DBRelease2(), 0);
    char buffer[64];
    int size = sizeof buffer;
    EXPECT_EQ(DBReadConfig(buffer, &size), -1);
    EXPECT_EQ(DBGetHandleCounter(), -1);
}

}  // namespace
