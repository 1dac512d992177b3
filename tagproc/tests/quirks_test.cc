// The tags against printers with the quirks real fleets show (support/snmpgw/printers/quirks):
// an old SNMPv1-only agent with 484-byte messages and NUL-padded texts, a mixed-colour printer
// whose Printer-MIB rows carry device index 2, and an alert table past 64 KB. Also the Discovery
// page's message for a stored search entry the search cannot use.
#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <vector>

#include "page_runner.h"
#include "qmdbmgr.h"
#include "simulator.h"

namespace qm::tag::test {
namespace {

using qm::testsupport::SimulatedPrinters;

constexpr int kFirst = 91;  // printers answer on 127.0.0.91 ...

const char* kAttributes =
    "type=[% $R = QMTAG.TAGGetPrinterType($KEY) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R) %]\n"
    "color=[% $R = QMTAG.TAGGetPrinterColor($KEY) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R) %]\n"
    "signal=[% $R = QMTAG.TAGGetSignalType($KEY) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R) %]\n"
    "paper=[% $R = QMTAG.TAGGetPaperType($KEY) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R, \":\", $R.TAG) %]\n"
    "storage=[% $R = QMTAG.TAGGetStorageSize($KEY, $STORE) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R, \":\", "
    "$R.TAG) %]\n";

// Runs `body` with the configuration database of `root` open in this process.
template <typename F>
void WithDatabase(const std::string& root, F body) {
    auto saved = std::filesystem::current_path();
    std::filesystem::current_path(root + "/bin");
    ASSERT_EQ(DBMgrInitialize(), 0);
    body();
    DBMgrRelease();
    std::filesystem::current_path(saved);
}

// The three quirk printers, started once for the suite (each agent takes seconds to start).
class QuirkPrinters : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        const std::string dir = std::string(QM_PRINTERS_DIR) + "/quirks/";
        sim_ = new SimulatedPrinters({dir + "6-old-v1-laser.snmprec", dir + "7-mixed-colour-index2.snmprec",
                                      dir + "8-big-alert-table.snmprec"},
                                     kFirst);
    }
    static void TearDownTestSuite() {
        delete sim_;
        sim_ = nullptr;
    }
    void SetUp() override {
        if (!sim_->ok()) GTEST_SKIP() << sim_->why();
        // The old printer's agent drops SNMPv2c: every exchange with it first waits out the v2c
        // question (its channel is not stored), so each costs some 3 s; agents under load need
        // the second and third tries.
        site_ = std::make_unique<PageSite>(sim_->port(), 1000, 2);
    }
    std::string Ip(size_t k) const { return sim_->address(k); }

    static SimulatedPrinters* sim_;
    std::unique_ptr<PageSite> site_;
};
SimulatedPrinters* QuirkPrinters::sim_ = nullptr;

TEST_F(QuirkPrinters, AttributeTagsOnAnOldSnmpV1Printer) {
    // Laser, one colorant. The critical alert has no training level: SNMPv1 refuses that get
    // with noSuchName, which now reads as "no level" (error signal 3) rather than failing.
    // 20 paper names do not fit one 484-byte answer; each comes without its NUL padding.
    // "RAM" is stored as "RAM" and five NUL bytes: 65536 x 1024 bytes.
    EXPECT_EQ(site_->Run("attr.htm", kAttributes, {{"KEY", Key(Ip(0))}, {"STORE", "ram"}}),
              "type=0:1\ncolor=0:1\nsignal=0:3\n"
              "paper=0:Letter/Legal/A4/A3/A5/B4/B5/Executive/Ledger/Statement/Folio/Oficio/Env10/EnvDL/EnvC5/"
              "EnvB5/Monarch/Postcard/A6/Custom:4\n"
              "storage=0:64MB:4\n");
    // A get of several objects, one of them missing (sysLocation): the others keep their values
    // and the missing one comes as SNMPv2c agents give it (noSuchObject, tag 128).
    EXPECT_EQ(site_->Run("get.htm",
                         "[% $R = QMTAG.TAGGetMIBData($KEY, \"1.3.6.1.2.1.1.1.0;1.3.6.1.2.1.1.6.0;1.3.6.1.2.1.1.7.0\") %]"
                         "[% OUTHTML($ERROR_TAG_LEVEL, \"|\", $R[0][1], \"|\", $R[1][0], \"=\", $R[1][1].TAG, \"|\", "
                         "$R[2][1]) %]",
                         {{"KEY", Key(Ip(0))}}),
              "0|Quinsward LX-10 Monochrome Laser|1.3.6.1.2.1.1.6.0=128|72");
}

TEST_F(QuirkPrinters, NameAndDescriptionFiltersMatchNulPaddedTexts) {
    // The printer as a search would have registered it; list mode "0" asks only the printer's
    // name (private arc) and description (hrDeviceDescr), both padded with NUL bytes.
    const std::string key = "2;" + Ip(0) + ";;0050C2A10006;1";
    WithDatabase(site_->root(), [&] {
        DBHANDLE all = DBOpenDeviceKeyInGroup(nullptr);
        ASSERT_NE(all, DB_NO_HANDLE);
        EXPECT_EQ(DBWriteDeviceKeyInGroup(all, key.c_str()), 0);
        DBCloseDeviceKeyInGroup(all);
    });
    const char* list =
        "[% $S = QMTAG.TAGStartDeviceDiscovery(\"5020A\", \"\", \"0\", $D, \"1\", \"1\", \"1\", \"\", \"\", $N) %]"
        "[% $K = QMTAG.TAGGetDiscoveryResult($S) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $K) %]"
        "[% $E = QMTAG.TAGEndDeviceDiscovery($S) %]";
    EXPECT_EQ(site_->Run("list.htm", list, {{"D", ""}, {"N", "LX10-Stores"}}), "0:" + key);
    EXPECT_EQ(site_->Run("list.htm", list, {{"D", "quinsward lx-10"}, {"N", ""}}), "0:" + key);
    // The padding is not part of the text: a filter one character longer does not match.
    EXPECT_EQ(site_->Run("list.htm", list, {{"D", ""}, {"N", "LX10-Stores2"}}), "-4:");
}

TEST_F(QuirkPrinters, MixedColourPrinterWithDeviceIndexTwo) {
    // Device index 2: two laser markers (several: 4), one of one colorant and one of four
    // (mixed: 3), a warning (2), sizes 4, 3, 1 (A3/A4/Letter), RAM 1048576 x 1024 bytes.
    EXPECT_EQ(site_->Run("attr.htm", kAttributes, {{"KEY", Key(Ip(1), "2")}, {"STORE", "RAM"}}),
              "type=0:4\ncolor=0:3\nsignal=0:2\npaper=0:A3/A4/Letter:4\nstorage=0:1GB:4\n");
    // Index 1 is the network interface: no marker, alert or paper rows there.
    EXPECT_EQ(site_->Run("attr.htm", kAttributes, {{"KEY", Key(Ip(1))}, {"STORE", "RAM"}}),
              "type=-4:\ncolor=-4:\nsignal=0:1\npaper=0::5\nstorage=0:1GB:4\n");
}

TEST_F(QuirkPrinters, AlertTablePastWhatOneResultHolds) {
    const char* page =
        // The whole table is about 80 KB: the encoder refuses it (-2, NULL) instead of
        // writing a block whose lengths do not fit.
        "[% $R = QMTAG.TAGGetEntryMIBData($KEY, \"1.3.6.1.2.1.43.18\") %]whole=[% OUTHTML($ERROR_TAG_LEVEL, \":\", "
        "$R.TAG) %]\n"
        // One column of it fits, 400 rows.
        "[% $R = QMTAG.TAGGetEntryMIBData($KEY, \"1.3.6.1.2.1.43.18.1.1.2\") %]column=[% OUTHTML($ERROR_TAG_LEVEL, "
        "\":\", $R[399][0], \"=\", $R[399][1], \":\", $R[400].TAG) %]\n"
        // Severity other (1) everywhere but one warning.
        "signal=[% $R = QMTAG.TAGGetSignalType($KEY) %][% OUTHTML($ERROR_TAG_LEVEL, \":\", $R) %]\n";
    EXPECT_EQ(site_->Run("big.htm", page, {{"KEY", Key(Ip(2))}}),
              "whole=-2:5\ncolumn=0:1.3.6.1.2.1.43.18.1.1.2.1.400=1:5\nsignal=0:2\n");
}

// The Discovery page as shipped, run on an installation whose search settings hold a subnet
// address without its mask.
TEST(DiscoveryPage, NamesTheSearchEntryThatIsWrong) {
    PageSite site(qm::testsupport::FreeUdpPort());
    const std::string src = std::string(QM_SOURCE_DIR) + "/site/html/";
    std::filesystem::copy(src, site.root() + "/html",
                          std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
    auto run = [&] {
        std::string cmd = "'" + qm::testing::BuildBinFolder() + "/qmpage' --root '" + site.root() +
                          "' 'LANGUAGE=en|TEMPLATE=discover.htm' 2>&1";
        return qm::testsupport::RunCommand(cmd);
    };
    WithDatabase(site.root(), [] {
        DBWriteQMInfo("QMC_BroadIPLocal", "OFF");
        DBWriteQMInfo("QMC_BroadIPXLocal", "OFF");
    });
    std::string page = run();
    EXPECT_NE(page.find("no search address is set and the local segment is off"), std::string::npos) << page;

    WithDatabase(site.root(), [] {
        DBWriteQMInfo("QMC_BroadIPAdr2", "10.99.0.255");
        DBWriteQMInfo("QMC_BroadSubnet2", "");
    });
    page = run();
    EXPECT_NE(page.find("subnet 2 (10.99.0.255) has no subnet mask"), std::string::npos) << page;
    EXPECT_EQ(page.find("no search address is set"), std::string::npos) << page;
}

}  // namespace
}  // namespace qm::tag::test
