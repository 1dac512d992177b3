// Deletion by age and by size with the CSV export, and compaction.
#include <sys/stat.h>

#include <filesystem>

#include "ntfdb_fixture.h"
#include "qm/platform/clock.h"
#include "qm/platform/registry.h"

using namespace ntftest;
namespace fs = std::filesystem;

namespace {

// A log entry text as the monitor sends it, dated `daysAgo` days before today at `time`.
std::string Dated(int daysAgo, const std::string& time, const std::string& rest) {
    int64_t when = qm::platform::LocalSeconds() - int64_t(daysAgo) * 86400;
    return qm::platform::DateText(when) + "\n" + time + "\n" + rest;
}

// "%y%m%d" of a day relative to today.
std::string Day(int daysAgo) {
    std::string d = qm::platform::DateText(qm::platform::LocalSeconds() - int64_t(daysAgo) * 86400);
    return d.substr(2, 2) + d.substr(5, 2) + d.substr(8, 2);
}

long FileSize(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_size : -1;
}

std::vector<std::string> Lines(const std::string& path) {
    std::vector<std::string> out;
    std::ifstream in(path);
    for (std::string l; std::getline(in, l);) out.push_back(l);
    return out;
}

class MaintenanceTest : public NtfTest {
protected:
    std::string CsvFolder() const { return root() / "ntf/log"; }
    void PointRegistryAtRoot() {
        ASSERT_EQ(qm::platform::RegSetString(qm::platform::RegRoot::LocalMachine,
                                             "Software\\OvrelNet\\OvrelNetQuinsward\\Setup",
                                             "InstallPath", root().path(), true),
                  0);
    }
    // `count` counter entries of one device, one minute apart, oldest first, today.
    void AddCounters(const Device& d, int count) {
        for (int i = 0; i < count; ++i) {
            char time[16];
            std::snprintf(time, sizeof time, "%02d:%02d:%02d", i / 3600, i / 60 % 60, i % 60);
            ASSERT_EQ(DBSetPrtCntData(d.get(), Dated(0, time, "1\n" + std::to_string(i)).c_str(), 0), 0);
        }
    }
    std::vector<std::string> CsvFiles() const {
        std::vector<std::string> names;
        for (const auto& e : fs::directory_iterator(CsvFolder())) names.push_back(e.path().filename());
        std::sort(names.begin(), names.end());
        return names;
    }
};

TEST_F(MaintenanceTest, DeletionByAgeKeepsWhatIsInsideTheRetention) {
    Device d("10.0.0.1");
    ASSERT_EQ(DBSetConfig("524288", "30", 80, static_cast<short>(1)), 0);
    ASSERT_EQ(DBSetPrtCntData(d.get(), Dated(31, "12:00:00", "1\n31").c_str(), 0), 0);
    ASSERT_EQ(DBSetPrtCntData(d.get(), Dated(30, "12:00:00", "1\n30").c_str(), 0), 0);
    ASSERT_EQ(DBSetPrtCntData(d.get(), Dated(29, "12:00:00", "1\n29").c_str(), 0), 0);
    ASSERT_EQ(DBSetPrtCntData(d.get(), Dated(0, "00:00:01", "1\n0").c_str(), 0), 0);
    ASSERT_EQ(DBDeleteTerm(), 0);
    auto log = Rows("ntclog");
    ASSERT_EQ(log.size(), 2u);
    EXPECT_EQ(Int(log[0], 96), 29);
    EXPECT_EQ(Int(log[1], 96), 0);
    EXPECT_TRUE(CsvFiles().empty()) << "the deletion by age exports nothing";

    ASSERT_EQ(DBSetConfig("524288", "0", 80, static_cast<short>(0)), 0);
    ASSERT_EQ(DBDeleteTerm(), 0);
    EXPECT_TRUE(Rows("ntclog").empty()) << "retention 0: everything up to the end of today";
}

TEST_F(MaintenanceTest, ASmallLogIsLeftAlone) {
    Device d("10.0.0.1");
    AddCounters(d, 5);
    ASSERT_EQ(DBDeleteSize(), 0);
    EXPECT_EQ(Rows("ntclog").size(), 5u);
}

// A full log: the size deletion removes the oldest entries, writes each to today's CSV file,
// and the compaction that follows brings the data file under its maximum.
TEST_F(MaintenanceTest, DeletionBySizeThenCompactionBringsTheFileUnderItsMaximum) {
    PointRegistryAtRoot();
    Device d("10.0.0.1");
    constexpr int kEntries = 400;
    AddCounters(d, kEntries);
    ASSERT_EQ(DBCompactLog(), 0);
    const std::string data = Ntf() + "/ntclog.dat";
    const long full = FileSize(data);
    const long maximum = full / 2;
    ASSERT_EQ(DBSetConfig(std::to_string(maximum).c_str(), "30", 80, static_cast<short>(1)), 0);

    ASSERT_EQ(DBDeleteSize(), 0);
    ASSERT_EQ(DBCompactLog(), 0);
    EXPECT_LT(FileSize(data), maximum);
    auto log = Rows("ntclog");
    ASSERT_FALSE(log.empty());
    ASSERT_LT(log.size(), size_t(kEntries));
    const int deleted = kEntries - static_cast<int>(log.size());
    // At least enough entries to reach 80 per cent of the maximum, counted 404 bytes each.
    EXPECT_GE(deleted * 404L, full - maximum * 80 / 100);
    for (size_t i = 0; i < log.size(); ++i) EXPECT_EQ(Int(log[i], 96), deleted + int(i)) << "oldest first";

    ASSERT_EQ(CsvFiles(), std::vector<std::string>{Day(0) + "01.csv"});
    auto lines = Lines(CsvFolder() + "/" + Day(0) + "01.csv");
    ASSERT_EQ(lines.size(), size_t(deleted));
    std::string date = qm::platform::DateText(qm::platform::LocalSeconds());
    auto seconds = qm::platform::LocalSecondsFromText(date, "00:00:00");
    ASSERT_TRUE(seconds);
    EXPECT_EQ(lines[0], std::to_string(*seconds) + ",10,10.0.0.1,,001122334455,1,2,0,1,0,0,0,0,0,,0,0," +
                            date + ",00:00:00");
    EXPECT_EQ(lines[1].substr(lines[1].size() - 9), ",00:00:01");
}

TEST_F(MaintenanceTest, DeletionBySizeWithoutCsvExportsNothing) {
    PointRegistryAtRoot();
    Device d("10.0.0.1");
    AddCounters(d, 50);
    ASSERT_EQ(DBSetConfig("1000", "30", 0, static_cast<short>(0)), 0);
    ASSERT_EQ(DBDeleteSize(), 0);
    EXPECT_TRUE(Rows("ntclog").empty()) << "percentage 0 empties the log";
    EXPECT_TRUE(CsvFiles().empty());
}

// Today's file that a line would bring to the size limit gives way to the next sequence;
// files of other days do not count, and out-of-range limits mean 150 000 bytes.
TEST_F(MaintenanceTest, CsvFilesRollOverAtTheSizeLimit) {
    PointRegistryAtRoot();
    std::ofstream(root() / "bin/ntccnf.ini") << "[QWM_DBConf]\nCSVFileSize=90\n";
    const std::string today01 = CsvFolder() + "/" + Day(0) + "01.csv";
    std::ofstream(today01) << std::string(119999, 'x') << '\n';
    std::ofstream(CsvFolder() + "/" + Day(1) + "07.csv") << "yesterday\n";
    Device d("10.0.0.1");
    AddCounters(d, 3);
    ASSERT_EQ(DBSetConfig("1000", "30", 0, static_cast<short>(1)), 0);
    ASSERT_EQ(DBDeleteSize(), 0);
    EXPECT_EQ(Lines(today01).size(), 4u) << "90 counts as 150: the file still had room";

    std::ofstream(today01, std::ios::trunc) << std::string(149989, 'x') << '\n';
    AddCounters(d, 3);
    ASSERT_EQ(DBDeleteSize(), 0);
    EXPECT_EQ(FileSize(today01), 149990);
    EXPECT_EQ(Lines(CsvFolder() + "/" + Day(0) + "02.csv").size(), 3u);
    EXPECT_EQ(CsvFiles().size(), 3u);
}

TEST_F(MaintenanceTest, AFailingExportStopsTheDeletionWithoutLosingEntries) {
    PointRegistryAtRoot();
    Device d("10.0.0.1");
    AddCounters(d, 3);
    // A folder where today's file should be: the line cannot be written.
    fs::create_directories(CsvFolder() + "/" + Day(0) + "01.csv");
    ASSERT_EQ(DBSetConfig("1000", "30", 0, static_cast<short>(1)), 0);
    EXPECT_EQ(DBDeleteSize(), -1);
    EXPECT_EQ(Rows("ntclog").size(), 3u);
}

TEST_F(MaintenanceTest, EveryFileSetCanBeCompacted) {
    for (auto fn : {DBCompactCtl, DBCompactDev, DBCompactHdl, DBCompactLog, DBCompactSts, DBCompactTo})
        EXPECT_EQ(fn(), 0);
    fs::remove(Ntf() + "/ntcto.dat");
    EXPECT_EQ(DBCompactTo(), -1);
}

}  // namespace
