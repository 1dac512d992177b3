// The log tags as pages use them: logs recorded in the notification database by the monitor's
// record functions, found through the configuration database and read by templates through
// the log reader, the configuration database and the tags; and the readings a page leaves
// open, loaded as a host loads the library.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "QNTFDB.h"
#include "page_runner.h"
#include "printer_poll.h"
#include "qm/platform/clock.h"
#include "qmdbmgr.h"
#include "qmintpr/tag_library.h"
#include "simulator.h"

namespace qm::tag::test {
namespace {

using qm::monitor::AlertLogText;
using qm::monitor::AlertRow;
using qm::monitor::CounterText;
using qm::monitor::SuppliesText;

// The notification database of a root, open in this process while the object lives.
class Notifications {
public:
    explicit Notifications(const std::string& root) { ok_ = DBInitialize2(root.c_str()) == 0; }
    ~Notifications() {
        if (ok_) DBRelease2();
    }
    bool ok() const { return ok_; }

private:
    bool ok_ = false;
};

// The configuration database of a root: the store resolves "..\conf\" against the current
// folder, which for the suite's programs is bin/.
class Config {
public:
    explicit Config(const std::string& root) : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(root + "/bin");
        ok_ = DBMgrInitialize() == 0;
        int n = 0;
        DBReadGroupNameList(&n, nullptr);  // makes the group files of a fresh root
    }
    ~Config() {
        DBMgrRelease();
        std::filesystem::current_path(saved_);
    }
    bool ok() const { return ok_; }

private:
    std::filesystem::path saved_;
    bool ok_ = false;
};

// Reads the log of `open` to its end, one line per record (fields joined by ","), then the
// codes of the end and the close.
std::string ReadAllTemplate(const std::string& open, const std::string& read, const std::string& close) {
    return "[% $H = QMTAG." + open + " %]open [% OUTHTML($ERROR_TAG_LEVEL) %]\n"
           "[% $R = QMTAG." + read + "($H) %][% $E = $ERROR_TAG_LEVEL %]"
           "[% WHILE ($E == 0) %][% $I = 0 %][% WHILE ($R[$I].TYPE == 4) %][% IF ($I > 0) %],[% ENDIF %]"
           "[% OUTHTML($R[$I]) %][% $I = $I + 1 %][% ENDWHILE %]\n"
           "[% $R = QMTAG." + read + "($H) %][% $E = $ERROR_TAG_LEVEL %][% ENDWHILE %]"
           "end [% OUTHTML($E, \" \", $R.TAG) %]\n"
           "[% $C = QMTAG." + close + "($H) %]close [% OUTHTML($ERROR_TAG_LEVEL) %]\n";
}

std::string DeviceLogTemplate() {
    return ReadAllTemplate("TAGOpenDeviceLog($KEY, $KIND)", "TAGReadDeviceLog", "TAGCloseDeviceLog");
}

std::string Stamp(int64_t t) { return qm::platform::DateText(t) + "," + qm::platform::TimeText(t); }

// A printer watched by one handle of each kind, whose device record names the three logs.
struct WatchedPrinter {
    std::string key;
    const char* identity[7];
};

void Watch(const std::string& root, const WatchedPrinter& p, const std::string& suffix) {
    {
        Notifications ntf(root);
        ASSERT_TRUE(ntf.ok());
        for (const char* prefix : {"DV", "PR", "CS"})
            ASSERT_EQ(DBSetHandleDevice((prefix + suffix).c_str(), p.identity), 0) << prefix;
    }
    Config db(root);
    ASSERT_TRUE(db.ok());
    ASSERT_EQ(DBWriteDeviceInfo(p.key.c_str(), "DEV_ErrorLogHandle", ("DV" + suffix).c_str()), 0);
    ASSERT_EQ(DBWriteDeviceInfo(p.key.c_str(), "DEV_PrintLogHandle", ("PR" + suffix).c_str()), 0);
    ASSERT_EQ(DBWriteDeviceInfo(p.key.c_str(), "DEV_ConsLogHandle", ("CS" + suffix).c_str()), 0);
}

// A poll of a simulated printer by the monitor writes the three logs into the real notification
// database; a template reads each back, record for record, through the tags.
TEST(LogTags, APolledPrinterLogsReadBackThroughTheTags) {
    qm::testsupport::SimulatedPrinters sim({std::string(QM_PRINTERS_DIR) + "/4-alerts-mfp.snmprec"}, 173);
    if (!sim.ok()) GTEST_SKIP() << sim.why();
    PageSite site(sim.port(), 3000, 2);
    const std::string ip = sim.address(0);
    WatchedPrinter p{"1;" + ip + ";;0050C2A10004;", {"1", ip.c_str(), "", "0050C2A10004", "", "0", "front desk"}};
    Watch(site.root(), p, "7");
    const int64_t t = 1765200000;
    {
        Notifications ntf(site.root());
        ASSERT_TRUE(ntf.ok());
        qm::monitor::NtfDbApi api;
        qm::platform::UniqueLibrary lib;
        const char* missing = nullptr;
        ASSERT_EQ(qm::monitor::BindNtfDb(&api, &lib, &missing), 0) << (missing ? missing : "");
        qm::monitor::PollHost host{&api, [](const char*) {}};
        qm::monitor::PollContext ctx;
        ctx.keys = {"1", ip, "", "0050C2A10004", ""};
        ctx.due = {true, true, true, false};
        ctx.alertTime = ctx.suppliesTime = ctx.countersTime = t;
        ASSERT_EQ(qm::monitor::PollPrinter(host, ctx), 0);
    }
    const std::string at = Stamp(t);
    // Alerts: index, severity, group, group index, location, training level, code, description,
    // printer time (rows 3, 7 and 9 of the printer's alert table).
    EXPECT_EQ(site.Run("log.htm", DeviceLogTemplate(), {{"KEY", p.key}, {"KIND", "0"}}),
              "open 0\n" + at + ",3,3,8,2,201,4,808,Tray 2 empty,8811001\n" + at +
                  ",7,4,11,4,0,4,1104,Black toner low,8811230\n" + at +
                  ",9,3,11,1,0,5,1101,Cyan toner empty,8812100\nend -4 5\nclose 0\n");
    // Counters: unit and life count.
    EXPECT_EQ(site.Run("log.htm", DeviceLogTemplate(), {{"KEY", p.key}, {"KIND", "1"}}),
              "open 0\n" + at + ",7,2203311\nend -4 5\nclose 0\n");
    // Supplies: type and per cent of the capacity; -1 where the printer gives no level.
    EXPECT_EQ(site.Run("log.htm", DeviceLogTemplate(), {{"KEY", p.key}, {"KIND", "2"}}),
              "open 0\n" + at + ",21,0\n" + at + ",21,55\n" + at + ",21,33\n" + at + ",21,7\n" + at + ",4,-1\n" +
                  at + ",15,-1\nend -4 5\nclose 0\n");
}

class RecordedLogs : public ::testing::Test {
protected:
    void SetUp() override {
        Watch(site_.root(), printer_, "5");
        Notifications ntf(site_.root());
        ASSERT_TRUE(ntf.ok());
        AlertRow jam{3, 3, 4, 8, 2, 201, 808, "Paper jam, tray 2", 100};
        AlertRow low{7, 4, 4, 11, 4, 0, 1104, "<b>Black</b> toner & \"low\"", 200};
        for (const auto& [time, row] : {std::pair{t0_, jam}, std::pair{t0_ + 60, low}}) {
            std::string text = AlertLogText(time, row);
            ASSERT_EQ(DBSetLogData(printer_.identity, text.c_str(), static_cast<int>(text.size())), 0);
        }
        std::string supply = SuppliesText(t0_, 21, 1, 200, 50);
        ASSERT_EQ(DBSetConsData(printer_.identity, supply.c_str(), static_cast<int>(supply.size())), 0);
    }
    PageSite site_{1};
    WatchedPrinter printer_{"10;10.3.3.3;;001122334455;1", {"10", "10.3.3.3", "", "001122334455", "1", "0", "hall"}};
    const int64_t t0_ = 1765100000;
};

TEST_F(RecordedLogs, GroupLogsAndFieldsHoldingCommas) {
    {
        Notifications ntf(site_.root());
        ASSERT_EQ(DBSetHandleDevice("GR5", printer_.identity), 0);
        Config db(site_.root());
        ASSERT_EQ(DBCreateGroupInfo("Hall"), 0);
        ASSERT_EQ(DBWriteGroupInfo("Hall", "GRP_LogHandle", "GR5"), 0);
    }
    // Every "," splits: the description of the first alert arrives as two fields.
    const std::string count = "[% $R = QMTAG.TAGReadDeviceLog($H) %][% $N = 0 %]"
                              "[% WHILE ($R[$N].TYPE == 4) %][% $N = $N + 1 %][% ENDWHILE %]"
                              "[% OUTHTML($N, \":\", $R[9], \"|\", $R[10], \"|\", $R[$N - 1]) %]\n";
    EXPECT_EQ(site_.Run("count.htm", "[% $H = QMTAG.TAGOpenDeviceLog($KEY, \"0\") %]" + count + count,
                        {{"KEY", printer_.key}}),
              "12:Paper jam| tray 2|100\n11:<b>Black</b> toner & \"low\"|200|200\n");
    EXPECT_EQ(site_.Run("group.htm", ReadAllTemplate("TAGOpenGroupLog($G, \"\")", "TAGReadGroupLog", "TAGCloseGroupLog"),
                        {{"G", "Hall"}}),
              "open 0\n" + Stamp(t0_) + ",10,10.3.3.3,,001122334455,1,hall,3,3,8,2,201,4,808,Paper jam, tray 2,100\n" +
                  Stamp(t0_ + 60) +
                  ",10,10.3.3.3,,001122334455,1,hall,7,4,11,4,0,4,1104,<b>Black</b> toner & \"low\",200\n"
                  "end -4 5\nclose 0\n");
    // Supplies as a per cent of the capacity: 50 of 200.
    EXPECT_EQ(site_.Run("log.htm", DeviceLogTemplate(), {{"KEY", printer_.key}, {"KIND", "2"}}),
              "open 0\n" + Stamp(t0_) + ",21,25\nend -4 5\nclose 0\n");
}

TEST_F(RecordedLogs, BadHandlesAndArgumentsGiveCodesAndNull) {
    {
        Config db(site_.root());
        ASSERT_EQ(DBWriteDeviceInfo(printer_.key.c_str(), "DEV_PrintLogHandle", ""), 0);  // no counter log
    }
    const char* kLine = "[% OUTHTML($ERROR_TAG_LEVEL, \":\", $R.TAG) %]\n";
    auto line = [&](const std::string& call) { return "[% $R = QMTAG." + call + " %]" + kLine; };
    const std::string page =
        // Opens: a key with four fields, an empty key, a kind that is no number, a kind out
        // of range, a kind whose log the device does not have, a group without a log, a
        // missing argument.
        line("TAGOpenDeviceLog(\"10;10.3.3.3;;001122334455\", \"0\")") + line("TAGOpenDeviceLog(\"\", \"0\")") +
        line("TAGOpenDeviceLog($KEY, \"x\")") + line("TAGOpenDeviceLog($KEY, \"3\")") +
        line("TAGOpenDeviceLog($KEY, \"1\")") + line("TAGOpenGroupLog(\"Nowhere\", \"\")") +
        line("TAGOpenGroupLog(\"Hall\")") +
        // Reads and closes of handles that were never opened, and of NULL (the $R of a failure).
        line("TAGReadDeviceLog(0)") + line("TAGReadDeviceLog(-1)") + line("TAGReadDeviceLog(99999)") +
        line("TAGReadDeviceLog($R)") + line("TAGCloseDeviceLog(99999)") + line("TAGCloseGroupLog(0)") +
        // A device handle is no group handle; once closed it serves nothing.
        "[% $H = QMTAG.TAGOpenDeviceLog($KEY, \"0\") %][% $R = $H %]" + kLine + line("TAGReadGroupLog($H)") +
        line("TAGCloseGroupLog($H)") +
        "[% $R = QMTAG.TAGReadDeviceLog($H) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R[0].TYPE) %]\n" +
        line("TAGCloseDeviceLog($H)") +
        line("TAGReadDeviceLog($H)") + line("TAGCloseDeviceLog($H)");
    EXPECT_EQ(site_.Run("bad.htm", page, {{"KEY", printer_.key}}),
              "-3:5\n-2:5\n-2:5\n-2:5\n-2:5\n-2:5\n-2:5\n"
              "-2:5\n-2:5\n-2:5\n-2:5\n-2:5\n-2:5\n"
              "0:2\n-2:5\n-2:5\n0:4\n0:5\n-2:5\n-2:5\n");
}

// The library loaded as a host loads it, so that requests are threads and their ends are
// calls of TAGEndRequest.
class Host : public ::testing::Test {
protected:
    void SetUp() override {
        Watch(site_.root(), printer_, "5");
        {
            Notifications ntf(site_.root());
            std::string supply = SuppliesText(1765100000, 21, 1, 100, 40);
            ASSERT_EQ(DBSetConsData(printer_.identity, supply.c_str(), static_cast<int>(supply.size())), 0);
        }
        saved_ = std::filesystem::current_path();
        std::filesystem::current_path(site_.root() + "/bin");
        lib_ = dlopen((qm::testing::BuildBinFolder() + "/libQMTAG.so").c_str(), RTLD_NOW | RTLD_LOCAL);
        ASSERT_NE(lib_, nullptr) << dlerror();
        auto init = reinterpret_cast<QmTagInitializeFn>(dlsym(lib_, "TAGInitialize"));
        processor_ = init(nullptr, nullptr, nullptr, 0);
        ASSERT_GT(processor_, 0);
        endRequest_ = reinterpret_cast<QmTagEndRequestFn>(dlsym(lib_, QM_TAG_END_REQUEST_NAME));
        ASSERT_NE(endRequest_, nullptr);
    }
    void TearDown() override {
        if (lib_) {
            if (auto release = reinterpret_cast<QmTagReleaseFn>(dlsym(lib_, "TAGRelease"))) release(processor_);
            dlclose(lib_);
        }
        std::filesystem::current_path(saved_);
    }
    // The supplies log of the printer: its handle, or the (negative) code.
    int32_t Open() {
        void* argv[QM_TAG_MAX_ARGV] = {};
        const unsigned char* result = nullptr;
        argv[0] = &processor_;
        argv[1] = &result;
        argv[2] = const_cast<char*>(printer_.key.c_str());
        argv[3] = const_cast<char*>("2");
        int r = reinterpret_cast<QmTagFunction>(dlsym(lib_, "TAGOpenDeviceLog"))(4, argv);
        if (r != 0) return r;
        int32_t v = 0;  // INTEGER: 0x02, length, big-endian bytes
        for (int i = 0; i < result[1]; ++i) v = v * 256 + result[2 + i];
        return v;
    }
    int32_t On(const char* fn, int32_t handle) {
        void* argv[QM_TAG_MAX_ARGV] = {};
        const unsigned char* result = nullptr;
        argv[0] = &processor_;
        argv[1] = &result;
        argv[2] = &handle;
        return reinterpret_cast<QmTagFunction>(dlsym(lib_, fn))(3, argv);
    }
    // What the configuration database says of a reading handle: open (0) or unknown (-1).
    static int DbReading(int32_t h) {
        char* line = nullptr;
        int length = 0;
        return DBReadDeviceLog(h, &line, &length);
    }

    PageSite site_{1};
    WatchedPrinter printer_{"10;10.3.3.3;;001122334455;1", {"10", "10.3.3.3", "", "001122334455", "1", "0", "hall"}};
    std::filesystem::path saved_;
    void* lib_ = nullptr;
    int32_t processor_ = 0;
    QmTagEndRequestFn endRequest_ = nullptr;
};

TEST_F(Host, AnAbandonedRequestClosesWhatItOpenedAndOnlyThat) {
    // Another request opens a reading and leaves it: that reading is not this thread's.
    int32_t theirs = 0;
    std::thread other([&] {
        theirs = Open();
        EXPECT_EQ(endRequest_(processor_), 0);  // that request is over
    });
    other.join();
    ASSERT_GT(theirs, 0);
    EXPECT_EQ(DbReading(theirs), -1) << "ended with its request";
    EXPECT_EQ(On("TAGReadDeviceLog", theirs), -2);

    const int32_t mine = Open();
    ASSERT_GT(mine, 0);
    std::thread stranger([&] {
        // Another request cannot read or close this one's reading, and its end leaves it be.
        EXPECT_EQ(On("TAGReadDeviceLog", mine), -2);
        EXPECT_EQ(On("TAGCloseDeviceLog", mine), -2);
        EXPECT_EQ(endRequest_(processor_), 0);
    });
    stranger.join();
    EXPECT_EQ(On("TAGReadDeviceLog", mine), 0) << "still open for its own request";
    EXPECT_EQ(On("TAGReadDeviceLog", mine), -4);
    EXPECT_EQ(endRequest_(processor_), 0);
    EXPECT_EQ(DbReading(mine), -1) << "closed with its request";
    EXPECT_EQ(On("TAGReadDeviceLog", mine), -2);
}

TEST_F(Host, OneRequestHoldsABoundedNumberOfReadings) {
    std::vector<int32_t> open;
    for (int i = 0; i < 16; ++i) {
        open.push_back(Open());
        ASSERT_GT(open.back(), 0) << i;
    }
    EXPECT_EQ(Open(), -2) << "a page opening logs in a loop";
    // Closing one makes room for one; the end of the request closes all.
    EXPECT_EQ(On("TAGCloseDeviceLog", open.front()), 0);
    open.front() = Open();
    EXPECT_GT(open.front(), 0);
    EXPECT_EQ(endRequest_(processor_), 0);
    for (int32_t h : open) EXPECT_EQ(DbReading(h), -1) << h;
    EXPECT_GT(Open(), 0);
}

}  // namespace
}  // namespace qm::tag::test

namespace qm::tag::test {
namespace {

// The site's own log pages, installed into a root as `cmake --install` lays them out.
class LogPages : public ::testing::Test {
protected:
    void SetUp() override {
        namespace fs = std::filesystem;
        for (const char* dir : {"en", "common"})
            fs::copy(std::string(QM_SOURCE_DIR) + "/site/html/" + dir, site_.root() + "/html/" + dir,
                     fs::copy_options::recursive | fs::copy_options::overwrite_existing);
        Watch(site_.root(), printer_, "5");
        Notifications ntf(site_.root());
        ASSERT_TRUE(ntf.ok());
        // 25 alerts a minute apart; the last one's description is markup.
        for (int i = 0; i < 25; ++i) {
            AlertRow row{i + 1, 4, 4, 8, 2, 201, 808, i == 24 ? "<script>alert(1)</script>" : "Paper jam, tray 2", 7};
            std::string text = AlertLogText(t0_ + 60 * i, row);
            ASSERT_EQ(DBSetLogData(printer_.identity, text.c_str(), static_cast<int>(text.size())), 0);
        }
    }
    std::string Page(const std::string& page, const std::string& key = "") {
        std::string cmd = "'" + qm::testing::BuildBinFolder() + "/qmpage' --root '" + site_.root() +
                          "' 'LANGUAGE=en|TEMPLATE=devlog.htm|KIND=0|PAGE=" + page + "|KEY=" +
                          (key.empty() ? printer_.key : key) + "' 2>&1";
        return qm::testsupport::RunCommand(cmd);
    }
    static size_t Count(const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    }

    PageSite site_{1};
    WatchedPrinter printer_{"10;10.3.3.3;;001122334455;1", {"10", "10.3.3.3", "", "001122334455", "1", "0", "hall"}};
    const int64_t t0_ = 1765100000;
};

TEST_F(LogPages, AlertLogPagesThroughItsRecords) {
    const std::string first = Page("1");
    EXPECT_EQ(Count(first, "<tr><td>"), 20u) << first;
    EXPECT_NE(first.find("<tr><td>" + qm::platform::DateText(t0_) + "</td><td>" + qm::platform::TimeText(t0_) + "</td>"),
              std::string::npos)
        << "dates as recorded";
    EXPECT_NE(first.find("<td>Paper jam, tray 2</td>"), std::string::npos) << "a description holding a comma";
    EXPECT_NE(first.find("Records 1 to 20."), std::string::npos);
    EXPECT_NE(first.find("rel=\"next\""), std::string::npos);
    EXPECT_EQ(first.find("rel=\"prev\""), std::string::npos);
    EXPECT_EQ(first.find("Not Found"), std::string::npos) << first;

    const std::string second = Page("2");
    EXPECT_EQ(Count(second, "<tr><td>"), 5u) << second;
    EXPECT_NE(second.find("Records 21 to 25."), std::string::npos);
    EXPECT_NE(second.find("<tr><td>" + qm::platform::DateText(t0_ + 60 * 24) + "</td><td>" +
                          qm::platform::TimeText(t0_ + 60 * 24) + "</td>"),
              std::string::npos);
    EXPECT_NE(second.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_EQ(second.find("<script>"), std::string::npos) << "a description never becomes markup";
    EXPECT_NE(second.find("rel=\"prev\""), std::string::npos);
    EXPECT_EQ(second.find("rel=\"next\""), std::string::npos);

    EXPECT_NE(Page("3").find("This page is past the end of the log."), std::string::npos);
    EXPECT_NE(Page("x").find("Records 1 to 20."), std::string::npos) << "a page that is no number is the first";
}

TEST_F(LogPages, GroupLogNamesEachRecordsPrinterAndTheGroupPageLinksIt) {
    {
        Notifications ntf(site_.root());
        ASSERT_EQ(DBSetHandleDevice("GR5", printer_.identity), 0);
        Config db(site_.root());
        ASSERT_EQ(DBCreateGroupInfo("Hall & <Stairs>"), 0);
        ASSERT_EQ(DBWriteGroupInfo("Hall & <Stairs>", "GRP_LogHandle", "GR5"), 0);
    }
    auto run = [&](const std::string& page, const std::string& fields) {
        return qm::testsupport::RunCommand("'" + qm::testing::BuildBinFolder() + "/qmpage' --root '" + site_.root() +
                                           "' 'LANGUAGE=en|TEMPLATE=" + page + "|GROUP=Hall & <Stairs>" + fields +
                                           "' 2>&1");
    };
    const std::string second = run("grouplog.htm", "|PAGE=2");
    EXPECT_EQ(Count(second, "<tr><td>"), 5u) << second;
    EXPECT_NE(second.find("Log of group Hall &amp; &lt;Stairs&gt;"), std::string::npos);
    EXPECT_NE(second.find("TEMPLATE=printer.htm&amp;KEY=10%3B10.3.3.3%3B%3B001122334455%3B1\">10.3.3.3</a>"),
              std::string::npos)
        << "each record links its printer";
    EXPECT_NE(second.find("<td>hall</td>"), std::string::npos) << "the watch's text";
    EXPECT_NE(second.find("&lt;script&gt;alert(1)&lt;/script&gt;"), std::string::npos);
    EXPECT_NE(run("group.htm", "").find("TEMPLATE=grouplog.htm&amp;GROUP=Hall+%26+%3CStairs%3E&amp;PAGE=1"),
              std::string::npos);
}

TEST_F(LogPages, AnUnknownPrinterIsSaidSoAndItsKeyEscaped) {
    const std::string page = Page("1", "1;<b>x</b>;;;");
    EXPECT_NE(page.find("This log cannot be read"), std::string::npos) << page;
    EXPECT_EQ(page.find("<b>x"), std::string::npos);
}

}  // namespace
}  // namespace qm::tag::test
