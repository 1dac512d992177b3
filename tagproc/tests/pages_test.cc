// The tags as pages use them: templates run by qmpage against simulated printers (snmpsim on
// loopback), reading $ERROR_TAG_LEVEL and the decoded values. Expected values come from the
// printers' .snmprec data by the attribute rules, worked out by hand in the comments.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "page_runner.h"
#include "qm/platform/library.h"
#include "qmdbmgr.h"
#include "qmintpr/qmintpr.h"
#include "qmtag.h"
#include "simulator.h"

namespace qm::tag::test {
namespace {

using qm::testsupport::SimulatedPrinters;

constexpr int kFirst = 71;  // printers answer on 127.0.0.71 ...
const std::vector<std::string> kSimulated = {"1-mono-laser", "2-color-laser", "3-inkjet", "4-alerts-mfp",
                                             "5-dual-mono"};

std::string SimulatedFile(const std::string& name) { return std::string(QM_PRINTERS_DIR) + "/" + name + ".snmprec"; }
std::string RealFile(const std::string& name) { return std::string(QM_REAL_PRINTERS_DIR) + "/" + name + ".snmprec"; }

// Each test starts only the agents it reads (snmpsim takes a second or more per agent), on
// 127.0.0.71 and up in the order given.
class Printers : public ::testing::Test {
protected:
    bool Start(const std::vector<std::string>& files) {
        for (const auto& f : files) {
            if (!std::filesystem::exists(f)) {
                why_ = "no recording " + f;
                return false;
            }
        }
        sim_ = std::make_unique<SimulatedPrinters>(files, kFirst);
        if (!sim_->ok()) {
            why_ = sim_->why();
            return false;
        }
        site_ = std::make_unique<PageSite>(sim_->port());
        return true;
    }
    bool StartAllSimulated() {
        std::vector<std::string> files;
        for (const auto& n : kSimulated) files.push_back(SimulatedFile(n));
        return Start(files);
    }
    std::string Ip(size_t k) const { return sim_->address(k); }

    std::unique_ptr<SimulatedPrinters> sim_;
    std::unique_ptr<PageSite> site_;
    std::string why_;
};

// Every attribute tag on one page, one line each: code, then the value.
const char* kAttributes =
    "type=[% $R = QMTAG.TAGGetPrinterType($KEY) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R) %]\n"
    "color=[% $R = QMTAG.TAGGetPrinterColor($KEY) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R) %]\n"
    "signal=[% $R = QMTAG.TAGGetSignalType($KEY) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R) %]\n"
    "paper=[% $R = QMTAG.TAGGetPaperType($KEY) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R, \":\", $R.TAG) %]\n"
    "name=[% $R = QMTAG.TAGGetDeviceName($KEY) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R) %]\n"
    "storage=[% $R = QMTAG.TAGGetStorageSize($KEY, $STORE) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R, \":\", "
    "$R.TAG) %]\n";

struct Expected {
    const char* store;
    std::string lines;  // without the name line, which depends on the address
};

TEST_F(Printers, AttributeTagsOnEverySimulatedPrinter) {
    if (!StartAllSimulated()) GTEST_SKIP() << why_;
    const Expected expected[] = {
        // One laser marker (4), one colorant; one warning alert; sizes 3,3,5; RAM 262144 x 1024.
        {"RAM", "type=0:1\ncolor=0:1\nsignal=0:2\npaper=0:A4/B5:4\nstorage=0:256MB:4\n"},
        // Laser, four colorants; no alerts; sizes 3,4,1; 39062500 x 4096 = 149.01 GiB.
        {"hard disk", "type=0:1\ncolor=0:2\nsignal=0:1\npaper=0:A4/A3/Letter:4\nstorage=0:149GB:4\n"},
        // Ink jet (12); one alert of severity 1 (other) counts as neither; size 3; 131072 x 1024.
        {"RAM", "type=0:3\ncolor=0:2\nsignal=0:1\npaper=0:A4:4\nstorage=0:128MB:4\n"},
        // Critical alert 3 (training 4: level 3), warning 7, critical 9 (training 5: level 4, end);
        // Flash 262144 x 1024.
        {"Flash Memory", "type=0:1\ncolor=0:2\nsignal=0:4\npaper=0:A4/A3/B5/Letter/Legal:4\nstorage=0:256MB:4\n"},
        // Two markers: 4; both single colorant: 1; critical (training 3) and warning: 3;
        // 20000000 x 1024 = 19.07 GiB.
        {"Hard Disk", "type=0:4\ncolor=0:1\nsignal=0:3\npaper=0:Letter/Legal/Executive:4\nstorage=0:19GB:4\n"},
    };
    for (size_t k = 0; k < kSimulated.size(); ++k) {
        SCOPED_TRACE(kSimulated[k]);
        std::string page = site_->Run("attr.htm", kAttributes, {{"KEY", Key(Ip(k))}, {"STORE", expected[k].store}});
        std::string nameLine = "name=0:" + Ip(k) + "\n";
        size_t at = page.find(nameLine);
        ASSERT_NE(at, std::string::npos) << page;
        page.erase(at, nameLine.size());
        EXPECT_EQ(page, expected[k].lines);
    }
}

TEST_F(Printers, AttributeTagsOnRealRecordings) {
    if (!Start({RealFile("sharp"), RealFile("konica")})) GTEST_SKIP() << why_;
    // Sharp: one laser marker with 4 colorants, no alert table, no private arc (no paper
    // sizes: NULL and 0), storage 4096 x 1024. Sparse hrDevice indexes do not matter for
    // device index 1.
    std::string sharp = site_->Run("attr.htm", kAttributes,
                                   {{"KEY", Key(Ip(0))}, {"STORE", "Allocated memory for Printer"}});
    EXPECT_EQ(sharp, "type=0:1\ncolor=0:2\nsignal=0:1\npaper=0::5\nname=0:" + Ip(0) + "\nstorage=0:4MB:4\n");
    // Konica: no marker table at all, so type and colour have no data (-4); storage RAM
    // 2304 x 1048576 = 2.25 GiB, HDD 238446 MiB = 232.9 GiB.
    std::string konica = site_->Run("attr.htm", kAttributes, {{"KEY", Key(Ip(1))}, {"STORE", "ram"}});
    EXPECT_EQ(konica, "type=-4:\ncolor=-4:\nsignal=0:1\npaper=0::5\nname=0:" + Ip(1) + "\nstorage=0:2GB:4\n");
    konica = site_->Run("attr.htm", kAttributes, {{"KEY", Key(Ip(1))}, {"STORE", "HDD"}});
    EXPECT_NE(konica.find("storage=0:233GB:4\n"), std::string::npos) << konica;
    // A description no row has: NULL, and no error.
    konica = site_->Run("attr.htm", kAttributes, {{"KEY", Key(Ip(1))}, {"STORE", "Tape"}});
    EXPECT_NE(konica.find("storage=0::5\n"), std::string::npos) << konica;
}

TEST_F(Printers, EntryOfSparseRowsOnARealRecording) {
    if (!Start({RealFile("sharp")})) GTEST_SKIP() << why_;
    // The sharp recording's sparse hrDevice rows come back in the agent's order.
    std::string sharp = site_->Run(
        "sparse.htm",
        "[% $R = QMTAG.TAGGetEntryMIBData($KEY, \"1.3.6.1.2.1.25.3.2.1.1\") %][% $I = 0 %]"
        "[% WHILE ($R[$I][0].TAG == 6) %][% OUTHTML($R[$I][1], \",\") %][% $I = $I + 1 %][% ENDWHILE %]",
        {{"KEY", Key(Ip(0))}});
    EXPECT_EQ(sharp, "1,3,4,5,6,7,8,9,21,25,81,86,87,");
}

TEST_F(Printers, DeviceIndexSelectsTheRows) {
    if (!Start({SimulatedFile("1-mono-laser")})) GTEST_SKIP() << why_;
    // Device index 2 (hexadecimal field "2") has no marker, alert or paper rows on the
    // simulated laser: type -4, signal 1, paper NULL.
    std::string page = site_->Run("attr.htm", kAttributes, {{"KEY", Key(Ip(0), "2")}, {"STORE", "RAM"}});
    EXPECT_NE(page.find("type=-4:\n"), std::string::npos) << page;
    EXPECT_NE(page.find("signal=0:1\n"), std::string::npos) << page;
    EXPECT_NE(page.find("paper=0::5\n"), std::string::npos) << page;
}

TEST_F(Printers, HostNameFromTheDatabaseNamesTheDevice) {
    if (!Start({SimulatedFile("1-mono-laser")})) GTEST_SKIP() << why_;
    std::string root = site_->root();
    std::string ip = Ip(0);
    qm::testing::Child writer([&] {
        if (chdir((root + "/bin").c_str()) != 0 || DBMgrInitialize() != 0) return 1;
        return DBWriteIPHostName(ip.c_str(), "finance-printer") == 0 ? 0 : 2;
    });
    ASSERT_EQ(writer.Wait(), 0);
    std::string page = site_->Run("name.htm", "[% $R = QMTAG.TAGGetDeviceName($KEY) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R) %]",
                                  {{"KEY", Key(ip)}});
    EXPECT_EQ(page, "0:finance-printer");
    // A key with neither address: -2; only an IPX address: the gateway cannot reach it (-2).
    page = site_->Run("name.htm", "[% $R = QMTAG.TAGGetDeviceName($KEY) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R) %]",
                      {{"KEY", "1;;;;1"}});
    EXPECT_EQ(page, "-2:");
    page = site_->Run("name.htm", "[% $R = QMTAG.TAGGetDeviceName($KEY) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R) %]",
                      {{"KEY", "1;;1:0050C2A10001;;1"}});
    EXPECT_EQ(page, "-2:");
}

TEST_F(Printers, GetMIBDataOneAndSeveralObjects) {
    if (!Start({SimulatedFile("1-mono-laser")})) GTEST_SKIP() << why_;
    const char* page =
        "[% $R = QMTAG.TAGGetMIBData($KEY, \"1.3.6.1.2.1.1.5.0\") %]"
        "one=[% OUTHTML($ERROR_TAG_LEVEL, \":\", $R[0][0], \"=\", $R[0][1], \":\", $R[1][0].TAG) %]\n"
        "[% $R = QMTAG.TAGGetMIBData($KEY, \"1.3.6.1.2.1.1.5.0;1.3.6.1.2.1.25.2.3.1.3.2;.1.3.6.1.2.1.1.7.0\") %]"
        "many=[% OUTHTML($ERROR_TAG_LEVEL, \":\", $R[0][1], \"|\", $R[1][0], \"=\", $R[1][1], \"|\", $R[2][0], \"=\", "
        "$R[2][1], \":\", $R[2].TYPE) %]\n";
    // Row 0 element 0 is the requested OID; the interpreter shows it without the leading dot.
    EXPECT_EQ(site_->Run("get.htm", page, {{"KEY", Key(Ip(0))}}),
              "one=0:1.3.6.1.2.1.1.5.0=mono-laser:5\n"
              "many=0:mono-laser|1.3.6.1.2.1.25.2.3.1.3.2=Flash Memory|1.3.6.1.2.1.1.7.0=72:2\n");
}

TEST_F(Printers, GetNextWalksByPassingTheOidBack) {
    if (!Start({SimulatedFile("1-mono-laser")})) GTEST_SKIP() << why_;
    const char* page =
        // An OID value is not a tag argument; "+ \"\"" turns it into text.
        "[% $O = \"1.3.6.1.2.1.25.2.3.1.3\" %][% $N = 0 %]"
        "[% WHILE ($N < 3) %][% $R = QMTAG.TAGGetNextMIBData($KEY, $O) %][% $O = $R[0][0] + \"\" %]"
        "[% OUTHTML($ERROR_TAG_LEVEL, \" \", $O, \"=\", $R[0][1], \";\") %][% $N = $N + 1 %][% ENDWHILE %]";
    EXPECT_EQ(site_->Run("next.htm", page, {{"KEY", Key(Ip(0))}}),
              "0 1.3.6.1.2.1.25.2.3.1.3.1=RAM;0 1.3.6.1.2.1.25.2.3.1.3.2=Flash Memory;"
              "0 1.3.6.1.2.1.25.2.3.1.4.1=1024;");
}

TEST_F(Printers, GetEntryReadsATableAndAnEmptyOneHasNoData) {
    if (!Start({SimulatedFile("1-mono-laser")})) GTEST_SKIP() << why_;
    const char* page =
        "[% $R = QMTAG.TAGGetEntryMIBData($KEY, \"1.3.6.1.2.1.25.3.2.1.3\") %]"
        "[% OUTHTML($ERROR_TAG_LEVEL, \"|\", $R[0][0], \"=\", $R[0][1], \"|\", $R[1][0], \"=\", $R[1][1], \"|\", "
        "$R[2][0].TAG) %]\n"
        "[% $R = QMTAG.TAGGetEntryMIBData($KEY, \"1.3.6.1.2.1.43.18.1.1.2.9\") %][% OUTHTML($ERROR_TAG_LEVEL, \"|\", "
        "$R.TAG) %]\n";
    EXPECT_EQ(site_->Run("entry.htm", page, {{"KEY", Key(Ip(0))}}),
              "0|1.3.6.1.2.1.25.3.2.1.3.1=Quinsward LX-40|1.3.6.1.2.1.25.3.2.1.3.2=Ethernet interface|5\n"
              "-4|5\n");
}

TEST_F(Printers, SetThenReadBack) {
    if (!Start({SimulatedFile("3-inkjet")})) GTEST_SKIP() << why_;
    const char* page =
        "[% $R = QMTAG.TAGSetMIBData($KEY, \"1.3.6.1.4.1.40404.1.1.3.1.2.9.0\", 2, $V) %]"
        "set=[% OUTHTML($ERROR_TAG_LEVEL, \":\", $R.TAG) %]\n"
        "[% $R = QMTAG.TAGGetMIBData($KEY, \"1.3.6.1.4.1.40404.1.1.3.1.2.9.0\") %]"
        "get=[% OUTHTML($ERROR_TAG_LEVEL, \":\", $R[0][1]) %]\n";
    EXPECT_EQ(site_->Run("set.htm", page, {{"KEY", Key(Ip(0))}, {"V", "77"}}), "set=0:5\nget=0:77\n");
    // Only the first OID of a list is set; the second keeps its value (1 in the inkjet's data).
    const char* two =
        "[% $R = QMTAG.TAGSetMIBData($KEY, \"1.3.6.1.4.1.40404.1.1.3.1.2.9.0;1.3.6.1.4.1.40404.1.1.3.1.2.10.0\", 2, "
        "\"5\") %]"
        "set=[% OUTHTML($ERROR_TAG_LEVEL) %]\n"
        "[% $R = QMTAG.TAGGetMIBData($KEY, \"1.3.6.1.4.1.40404.1.1.3.1.2.9.0;1.3.6.1.4.1.40404.1.1.3.1.2.10.0\") %]"
        "get=[% OUTHTML($R[0][1], \",\", $R[1][1]) %]\n";
    EXPECT_EQ(site_->Run("set2.htm", two, {{"KEY", Key(Ip(0))}}), "set=0\nget=5,1\n");
    // A value that is no number for an INTEGER: the gateway refuses it (-2, mapped to -3).
    EXPECT_EQ(site_->Run("set.htm", page, {{"KEY", Key(Ip(0))}, {"V", "many"}}), "set=-3:5\nget=0:5\n");
}

TEST_F(Printers, BadCallsAndSilentPrinters) {
    if (!Start({SimulatedFile("1-mono-laser")})) GTEST_SKIP() << why_;
    const char* page =
        "[% $R = QMTAG.TAGGetMIBData(\"\", \"1.3.6.1.2.1.1.5.0\") %]empty=[% OUTHTML($ERROR_TAG_LEVEL, \":\", $R.TAG) %]\n"
        "[% $R = QMTAG.TAGGetMIBData(\"1;127.0.0.71;;\", \"1.3.6.1.2.1.1.5.0\") %]four=[% OUTHTML($ERROR_TAG_LEVEL) %]\n"
        "[% $R = QMTAG.TAGGetPrinterType(\"1;127.0.0.71;;;1;x\", 1) %]count=[% OUTHTML($ERROR_TAG_LEVEL) %]\n"
        "[% $R = QMTAG.TAGGetPrinterType($NOTHING) %]null=[% OUTHTML($ERROR_TAG_LEVEL, \":\", $R.TAG) %]\n"
        "[% $R = QMTAG.TAGGetPrinterType(\"123456789;127.0.0.71;;;1\") %]long=[% OUTHTML($ERROR_TAG_LEVEL) %]\n"
        "[% $R = QMTAG.TAGGetMIBData($KEY, \"1.3.6.1.2.1.1.5.0;\") %]emptyoid=[% OUTHTML($ERROR_TAG_LEVEL) %]\n"
        "[% $R = QMTAG.TAGGetSignalType($SILENT) %]silentsignal=[% OUTHTML($ERROR_TAG_LEVEL, \":\", $R) %]\n"
        "[% $R = QMTAG.TAGGetPrinterType($SILENT) %]silenttype=[% OUTHTML($ERROR_TAG_LEVEL, \":\", $R.TAG) %]\n"
        "[% $R = QMTAG.TAGGetMIBData($SILENT, \"1.3.6.1.2.1.1.5.0\") %]silentget=[% OUTHTML($ERROR_TAG_LEVEL) %]\n";
    // $NOTHING is a NULL: the result of a failed call.
    std::string full = std::string("[% $NOTHING = QMTAG.TAGGetMIBData(\"\", \"1.3\") %]") + page;
    EXPECT_EQ(site_->Run("bad.htm", full, {{"KEY", Key(Ip(0))}, {"SILENT", Key("127.0.0.99")}}),
              "empty=-2:5\nfour=-3\ncount=-2\nnull=-2:5\nlong=-3\nemptyoid=-3\n"
              "silentsignal=0:1\nsilenttype=-122:5\nsilentget=-122\n");
}

TEST_F(Printers, StaleStoredChannelIsRenewed) {
    if (!Start({SimulatedFile("1-mono-laser")})) GTEST_SKIP() << why_;
    std::string root = site_->root();
    std::string key = Key(Ip(0));
    // A channel stored for another agent port is stale: the tag must fetch and store a new one.
    qm::testing::Child writer([&] {
        if (chdir((root + "/bin").c_str()) != 0 || DBMgrInitialize() != 0) return 1;
        unsigned char bogus[17] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17};
        return DBWriteChannelInfo(key.c_str(), bogus, 17) == 0 ? 0 : 2;
    });
    ASSERT_EQ(writer.Wait(), 0);
    EXPECT_EQ(site_->Run("get.htm", "[% $R = QMTAG.TAGGetMIBData($KEY, \"1.3.6.1.2.1.1.5.0\") %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R[0][1]) %]",
                         {{"KEY", key}}),
              "0:mono-laser");
    qm::testing::Child reader([&] {
        if (chdir((root + "/bin").c_str()) != 0 || DBMgrInitialize() != 0) return 1;
        unsigned char channel[64] = {};
        int size = 0;
        if (DBReadChannelInfo(key.c_str(), channel, &size) != 0 || size != 17) return 2;
        return channel[0] == 1 && channel[1] == 2 && channel[16] == 17 ? 3 : 0;
    });
    EXPECT_EQ(reader.Wait(), 0);
}

// Each request's page, collected per thread: the interpreter calls back on the request's thread.
thread_local std::string tPage;
int32_t Collect(void*, int32_t, int32_t count, const char* bytes) {
    if (count > 0 && bytes) tPage.append(bytes, static_cast<size_t>(count));
    return 0;
}

TEST_F(Printers, ConcurrentRequestsShareOneProcessorCorrectly) {
    if (!StartAllSimulated()) GTEST_SKIP() << why_;
    // One interpreter, as the HTTP server holds it, serving attribute pages of different
    // printers from eight threads at once: every page must show its own printer's values.
    std::ofstream(site_->root() + "/html/en/attr.htm") << kAttributes;
    const std::string want[] = {"type=0:1\ncolor=0:1\nsignal=0:2\npaper=0:A4/B5:4\n",
                                "type=0:1\ncolor=0:2\nsignal=0:1\npaper=0:A4/A3/Letter:4\n",
                                "type=0:3\ncolor=0:2\nsignal=0:1\npaper=0:A4:4\n",
                                "type=0:1\ncolor=0:2\nsignal=0:4\npaper=0:A4/A3/B5/Letter/Legal:4\n",
                                "type=0:4\ncolor=0:1\nsignal=0:3\npaper=0:Letter/Legal/Executive:4\n"};
    // RAM rows: 262144, 1048576, 131072, 2097152 and 524288 units of 1024 bytes.
    const std::string ram[] = {"256MB", "1GB", "128MB", "2GB", "512MB"};
    // The first printer has a host name in the database: request threads must read it.
    std::string root = site_->root(), ip = Ip(0);
    qm::testing::Child writer([&] {
        if (chdir((root + "/bin").c_str()) != 0 || DBMgrInitialize() != 0) return 1;
        return DBWriteIPHostName(ip.c_str(), "mono-laser.example") == 0 ? 0 : 2;
    });
    ASSERT_EQ(writer.Wait(), 0);
    std::string cwd = std::filesystem::current_path();
    ASSERT_EQ(chdir((site_->root() + "/bin").c_str()), 0);
    auto lib = qm::platform::LoadLibraryByName("qmintpr");
    auto init = reinterpret_cast<QmServiceInitializeFn>(qm::platform::LibrarySymbol(lib, "ServiceInitialize"));
    auto service = reinterpret_cast<QmServiceFn>(qm::platform::LibrarySymbol(lib, "Service"));
    auto release = reinterpret_cast<QmServiceReleaseFn>(qm::platform::LibrarySymbol(lib, "ServiceRelease"));
    ASSERT_TRUE(init && service && release);
    void* svc = init(nullptr, nullptr, Collect);
    ASSERT_NE(svc, nullptr);
    std::vector<std::string> failures[8];
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t) {
        threads.emplace_back([&, t] {
            for (int round = 0; round < 3; ++round) {
                size_t k = static_cast<size_t>(t + round) % kSimulated.size();
                std::string params = "LANGUAGE=en|TEMPLATE=attr.htm|STORE=RAM|KEY=" + Key(Ip(k));
                tPage.clear();
                service(svc, params.data());
                std::string name = k == 0 ? "mono-laser.example" : Ip(k);
                if (tPage != want[k] + "name=0:" + name + "\nstorage=0:" + ram[k] + ":4\n") {
                    failures[t].push_back(kSimulated[k] + ": " + tPage);
                }
            }
        });
    }
    for (auto& th : threads) th.join();
    release(svc);
    ASSERT_EQ(chdir(cwd.c_str()), 0);
    for (auto& f : failures) EXPECT_TRUE(f.empty()) << f.front();
}

// The exports called directly, as a host other than the interpreter would.
TEST(Exports, HandleChecksAndLastError) {
    qm::testing::TempRoot root;
    auto lib = qm::platform::LoadLibraryByName("QMTAG");
    ASSERT_TRUE(lib) << qm::platform::LibraryError();
    auto init = reinterpret_cast<QmTagInitializeFn>(qm::platform::LibrarySymbol(lib, "TAGInitialize"));
    auto release = reinterpret_cast<QmTagReleaseFn>(qm::platform::LibrarySymbol(lib, "TAGRelease"));
    auto last = reinterpret_cast<QmTagFunction>(qm::platform::LibrarySymbol(lib, "TAGGetLastError"));
    auto type = reinterpret_cast<QmTagFunction>(qm::platform::LibrarySymbol(lib, "TAGGetPrinterType"));
    ASSERT_TRUE(init && release && last && type);
    int32_t handle = init(nullptr, nullptr, nullptr, 0);
    ASSERT_GT(handle, 0);

    const unsigned char* result = nullptr;
    void* argv[QM_TAG_MAX_ARGV] = {&handle, &result};
    EXPECT_EQ(last(1, argv), -2);  // count of 1
    int32_t zero = 0;
    void* bad[QM_TAG_MAX_ARGV] = {&zero, &result};
    EXPECT_EQ(type(3, bad), -2);  // null handle
    EXPECT_EQ(result, nullptr);   // nothing written

    EXPECT_EQ(last(2, argv), 0);
    ASSERT_NE(result, nullptr);
    EXPECT_EQ(std::vector<uint8_t>(result, result + 3), (std::vector<uint8_t>{0x02, 0x01, 0x00}));

    argv[2] = nullptr;  // a NULL template argument
    EXPECT_EQ(type(3, argv), -2);
    EXPECT_EQ(std::vector<uint8_t>(result, result + 2), (std::vector<uint8_t>{0x05, 0x00}));
    EXPECT_EQ(last(2, argv), 0);
    EXPECT_EQ(std::vector<uint8_t>(result, result + 3), (std::vector<uint8_t>{0x02, 0x01, 0xFE}));
    argv[2] = const_cast<char*>("x");
    EXPECT_EQ(last(3, argv), -2);  // GetLastError takes no argument

    EXPECT_EQ(release(handle), 0);
    EXPECT_EQ(release(handle), -2);
    EXPECT_EQ(last(2, argv), -2);  // released handle
}

}  // namespace
}  // namespace qm::tag::test
