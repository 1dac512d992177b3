// Reading the log through the cursor, line formats and ranges, and the log mode.
#include <cstdio>

#include "ntfdb_fixture.h"
#include "qm/platform/clock.h"

using namespace ntftest;

namespace {

std::string Entry(const std::string& date, const std::string& time, const std::string& rest) {
    return date + "\n" + time + "\n" + rest;
}

// Opens a reading, returns every line, closes it.
struct Reading {
    char cursor[300] = {};
    int open = -1;
    Reading(const char* handle, const char* from = nullptr, const char* to = nullptr) {
        int size = sizeof cursor;
        open = DBOpenLogDB(handle, from, to, cursor, &size);
    }
    ~Reading() { DBCloseLogDB(); }
    std::vector<std::string> All() {
        std::vector<std::string> lines;
        for (;;) {
            char line[1024];
            int size = sizeof line;
            int r = DBReadLogDB(cursor, line, &size);
            if (r == 100) {
                EXPECT_EQ(size, 0);
                break;
            }
            EXPECT_EQ(r, 0);
            if (r != 0) break;
            lines.push_back(line);
        }
        return lines;
    }
};

class LogReadTest : public NtfTest {
protected:
    Device a{"10.0.0.1", "0", "first floor"}, b{"10.0.0.2", "0", "second floor"};
    void SetUp() override {
        NtfTest::SetUp();
        ASSERT_EQ(DBSetHandleDevice("DV1", a.get()), 0);
        ASSERT_EQ(DBSetHandleDevice("GR2", a.get()), 0);
        ASSERT_EQ(DBSetHandleDevice("GR2", b.get()), 0);
        ASSERT_EQ(DBSetHandleDevice("CS3", a.get()), 0);
        ASSERT_EQ(DBSetHandleDevice("PR4", b.get()), 0);
    }
    void AddAlert(const Device& d, const std::string& date, const std::string& time, int index,
                  const std::string& description) {
        // index, severity, training level, group, group index, location, code, description,
        // printer alert time
        std::string rest = std::to_string(index) + "\n4\n3\n13\n2\n5\n8\n" + description + "\n777";
        ASSERT_EQ(DBSetLogData(d.get(), Entry(date, time, rest).c_str(), 0), 0);
    }
};

TEST_F(LogReadTest, EachHandleKindReadsItsOwnLinesInTimeOrder) {
    AddAlert(a, "2026/01/02", "10:00:00", 1, "paper jam");
    AddAlert(b, "2026/01/01", "09:00:00", 2, "door open");
    ASSERT_EQ(DBSetConsData(a.get(), Entry("2026/01/01", "08:00:00", "3\n1\n200\n50").c_str(), 0), 0);
    ASSERT_EQ(DBSetConsData(a.get(), Entry("2026/01/01", "08:00:01", "3\n2\n0\n50").c_str(), 0), 0);
    ASSERT_EQ(DBSetConsData(a.get(), Entry("2026/01/01", "08:00:02", "3\n3\n200\n-2").c_str(), 0), 0);
    ASSERT_EQ(DBSetConsData(a.get(), Entry("2026/01/01", "08:00:03", "4\n4\n3\n2").c_str(), 0), 0);
    ASSERT_EQ(DBSetPrtCntData(b.get(), Entry("2026/01/03", "07:00:00", "1\n12345").c_str(), 0), 0);
    ASSERT_EQ(DBSetPrtCntData(a.get(), Entry("2026/01/03", "07:00:00", "1\n999").c_str(), 0), 0);

    EXPECT_EQ(Reading("DV1").All(),
              std::vector<std::string>{"2026/01/02,10:00:00,1,4,13,2,5,3,8,paper jam,777"})
        << "only the device the handle watches";
    EXPECT_EQ(Reading("GR2").All(),
              (std::vector<std::string>{
                  "2026/01/01,09:00:00,10,10.0.0.2,,001122334455,1,second floor,2,4,13,2,5,3,8,door open,777",
                  "2026/01/02,10:00:00,10,10.0.0.1,,001122334455,1,first floor,1,4,13,2,5,3,8,paper jam,777"}));
    EXPECT_EQ(Reading("CS3").All(),
              (std::vector<std::string>{"2026/01/01,08:00:00,3,25", "2026/01/01,08:00:01,3,-1",
                                        "2026/01/01,08:00:02,3,-1", "2026/01/01,08:00:03,4,66"}));
    EXPECT_EQ(Reading("PR4").All(), std::vector<std::string>{"2026/01/03,07:00:00,1,12345"});
}

TEST_F(LogReadTest, TheCursorTextNamesTheFilesTheRangeAndTheLastEntry) {
    AddAlert(a, "2026/01/02", "10:00:00", 6, "jam");
    Reading reading("DV1", "2026/01/02", "2026/01/05");
    ASSERT_EQ(reading.open, 0);
    auto from = qm::platform::LocalSecondsFromText("2026/01/02", "00:00:00");
    auto to = qm::platform::LocalSecondsFromText("2026/01/05", "23:59:59");
    auto at = qm::platform::LocalSecondsFromText("2026/01/02", "10:00:00");
    int ctl = 0, log = 0;
    ASSERT_EQ(std::sscanf(reading.cursor, "%d,%d,", &ctl, &log), 2);
    EXPECT_NE(ctl, log);
    const std::string head = std::to_string(ctl) + "," + std::to_string(log) + ",2026/01/02,";
    EXPECT_EQ(std::string(reading.cursor),
              head + std::to_string(*from) + ",2026/01/05," + std::to_string(*to) + ",DV1,0,DV,,,,,");
    char line[64];
    int size = sizeof line;
    ASSERT_EQ(DBReadLogDB(reading.cursor, line, &size), 0);
    EXPECT_EQ(std::string(reading.cursor), head + std::to_string(*at) + ",2026/01/05," +
                                               std::to_string(*to) + ",DV1,0,DV,10,10.0.0.1,,001122334455,1,6");
    size = sizeof line;
    EXPECT_EQ(DBReadLogDB(reading.cursor, line, &size), 100);

    char small[256];
    size = sizeof small;
    EXPECT_EQ(DBOpenLogDB("DV1", nullptr, nullptr, small, &size), -3);
    EXPECT_EQ(size, 257);
    char cursor[257];
    size = sizeof cursor;
    EXPECT_EQ(DBOpenLogDB("DV99", nullptr, nullptr, cursor, &size), -31);
    EXPECT_EQ(DBOpenLogDB("DV1", "yesterday", nullptr, cursor, &size), -1);
    std::string forged = std::string(reading.cursor);
    forged[0] = forged[0] == '9' ? '8' : '9';
    size = sizeof line;
    EXPECT_EQ(DBReadLogDB(forged.data(), line, &size), -1) << "files this thread did not open";
}

TEST_F(LogReadTest, DateRangeBoundsTheLinesAndASmallBufferGetsTheLineAgain) {
    AddAlert(a, "2026/01/01", "23:59:59", 1, "before");
    AddAlert(a, "2026/01/02", "00:00:00", 2, "first day");
    AddAlert(a, "2026/01/03", "23:59:59", 3, "last day");
    AddAlert(a, "2026/01/04", "00:00:00", 4, "after");
    Reading reading("DV1", "2026/01/02", "2026/01/03");
    ASSERT_EQ(reading.open, 0);
    char tiny[8];
    int size = sizeof tiny;
    ASSERT_EQ(DBReadLogDB(reading.cursor, tiny, &size), -3);
    const std::string expected = "2026/01/02,00:00:00,2,4,13,2,5,3,8,first day,777";
    EXPECT_EQ(size, static_cast<int>(expected.size()) + 1);
    auto lines = reading.All();
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], expected);
    EXPECT_NE(lines[1].find("last day"), std::string::npos);
    EXPECT_EQ(Reading("DV1", "", "").All().size(), 4u) << "empty dates bound nothing";
}

TEST_F(LogReadTest, TwoReadingsOfOneThreadRunSideBySide) {
    AddAlert(a, "2026/01/02", "10:00:00", 1, "one");
    AddAlert(b, "2026/01/02", "11:00:00", 2, "two");
    char c1[300], c2[300], line[512];
    int size = sizeof c1;
    ASSERT_EQ(DBOpenLogDB("DV1", nullptr, nullptr, c1, &size), 0);
    size = sizeof c2;
    ASSERT_EQ(DBOpenLogDB("GR2", nullptr, nullptr, c2, &size), 0);
    size = sizeof line;
    ASSERT_EQ(DBReadLogDB(c2, line, &size), 0);
    size = sizeof line;
    ASSERT_EQ(DBReadLogDB(c1, line, &size), 0);
    EXPECT_NE(std::string(line).find(",one,"), std::string::npos);
    size = sizeof line;
    ASSERT_EQ(DBReadLogDB(c2, line, &size), 0);
    EXPECT_NE(std::string(line).find(",two,"), std::string::npos);
    EXPECT_EQ(DBCloseLogDB(), 0);
    size = sizeof line;
    EXPECT_EQ(DBReadLogDB(c1, line, &size), -1) << "closed";
}

// ntcctl: stop time 104, running 176, stop date 204, stop time text 216; ntcdev: running
// counts 96 "PR", 100 "CS", 104 "DV"/"GR", stopped counts 12 bytes further on.
TEST_F(LogReadTest, LogModeStopsAndRestartsEveryWatchOfTheHandle) {
    ASSERT_EQ(DBSetLogMode("GR2", 1), 0);
    for (const auto& c : Rows("ntcctl")) {
        if (Text(c, 8, 16) != "GR2") continue;
        EXPECT_EQ(Int(c, 176), 0);
        EXPECT_GT(Int(c, 104), 0);
        EXPECT_EQ(Text(c, 204, 12).size(), 10u);
        EXPECT_EQ(Text(c, 216, 12).size(), 8u);
    }
    auto dev = Rows("ntcdev");
    ASSERT_EQ(dev.size(), 2u);
    EXPECT_EQ(Int(dev[0], 104), 1);  // a: DV1 still runs
    EXPECT_EQ(Int(dev[0], 116), 1);
    EXPECT_EQ(Int(dev[1], 104), 0);  // b: GR2 stopped, PR4 runs
    EXPECT_EQ(Int(dev[1], 116), 1);
    EXPECT_EQ(Int(dev[1], 96), 1);

    // A device added to the stopped handle runs; restarting brings back the others too.
    Device c("10.0.0.0");
    ASSERT_EQ(DBSetHandleDevice("GR2", c.get()), 0);
    ASSERT_EQ(DBSetLogMode("GR2", 2), 0);
    for (const auto& r : Rows("ntcctl")) {
        EXPECT_EQ(Int(r, 176), 1);
        EXPECT_EQ(Int(r, 104), 0);
        EXPECT_EQ(Text(r, 204, 12), "");
    }
    for (const auto& d : Rows("ntcdev")) EXPECT_EQ(Int(d, 116), 0);
    EXPECT_EQ(Int(Rows("ntcdev")[2], 104), 1);
    EXPECT_EQ(DBSetLogMode("GR2", 2), 0) << "already running";
    EXPECT_EQ(DBSetLogMode("GR77", 1), -31);
    EXPECT_EQ(DBSetLogMode("GR2", 3), -1);
}

TEST_F(LogReadTest, DevicesWithEveryWatchStoppedAreNotPolled) {
    ASSERT_EQ(DBSetLogMode("GR2", 1), 0);
    ASSERT_EQ(DBSetLogMode("PR4", 1), 0);
    unsigned char rec[128] = {};
    ASSERT_EQ(DBReadLogPolling(rec), 0);
    EXPECT_EQ(Text(reinterpret_cast<char*>(rec) + 28, 16), "10.0.0.1");
    EXPECT_EQ(DBReadLogPolling(rec), -31);
}

}  // namespace
