// The database tags as pages use them: settings, groups, devices, models, host names, group
// name lists and the group selection list, read by templates run through qmpage.
#include <gtest/gtest.h>

#include <filesystem>
#include <string>

#include "page_runner.h"
#include "qmdbmgr.h"

namespace qm::tag::test {
namespace {

// Writes the database of a root from this process: the store resolves "..\conf\" against
// the current folder, which for the suite's programs is bin/.
class Database {
public:
    explicit Database(const std::string& root) : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(root + "/bin");
        DBMgrInitialize();
        // A fresh root gets its group files (and the "All Devices" group) on first read.
        int n = 0;
        DBReadGroupNameList(&n, nullptr);
    }
    ~Database() {
        DBMgrRelease();
        std::filesystem::current_path(saved_);
    }

private:
    std::filesystem::path saved_;
};

const char* kLine = "[% OUTHTML($ERROR_TAG_LEVEL, \":\", $R) %]\n";

std::string Line(const std::string& call) { return "[% $R = QMTAG." + call + " %]" + kLine; }

TEST(DatabaseTags, SettingsGroupsDevicesModelsAndHostNames) {
    PageSite site(1);
    const std::string key = "1;127.0.0.9;;0050C2A10001;a";
    {
        Database db(site.root());
        ASSERT_EQ(DBWriteQMInfo("QMC_BroadIPLocal", "OFF"), 0);
        ASSERT_EQ(DBCreateGroupInfo("Floor 2"), 0);
        ASSERT_EQ(DBWriteGroupInfo("Floor 2", "GRP_Description", "North wing"), 0);
        ASSERT_EQ(DBWriteDeviceInfo(key.c_str(), "DEV_Description", "By the stairs"), 0);
        ASSERT_EQ(DBWriteIPHostName("127.0.0.9", "lp9.example"), 0);
        ASSERT_EQ(DBWriteModelInfo("LX-100", "MCN_LargeImage", "lx100.gif"), 0);
    }
    std::string page = site.Run("db.htm", Line("TAGGetQMInfo(\"QMC_BroadIPLocal\")") +
                                              Line("TAGGetGroupInfo(\"Floor 2\", \"GRP_Description\")") +
                                              Line("TAGGetDeviceInfo($KEY, \"DEV_Description\")") +
                                              Line("TAGGetDeviceInfo($KEY, \"DEVKEY_IP\")") +
                                              Line("TAGGetDeviceInfo($KEY, \"DEVKEY_MAC\")") +
                                              Line("TAGGetDeviceInfo($KEY, \"DEVKEY_DeviceIndex\")") +
                                              Line("TAGGetDeviceInfo($KEY, \"DEVKEY_DeviceType\")") +
                                              Line("TAGGetDeviceInfo($KEY, \"DEVKEY_IPX\")") +
                                              Line("TAGGetIPHostName($KEY)") +
                                              Line("TAGGetModelInfo(\"LX-100\", \"MCN_LargeImage\")") +
                                              // An absent record reads as an empty text.
                                              Line("TAGGetQMInfo(\"QMC_NotThere\")") +
                                              // A bad key is refused before the database.
                                              Line("TAGGetDeviceInfo(\"1;2\", \"DEVKEY_IP\")") +
                                              Line("TAGGetIPHostName(\"1;2\")") +
                                              // Wrong argument count.
                                              Line("TAGGetGroupInfo(\"Floor 2\")"),
                                {{"KEY", key}});
    EXPECT_EQ(page,
              "0:OFF\n0:North wing\n0:By the stairs\n0:127.0.0.9\n0:0050C2A10001\n0:10\n0:1\n0:\n"
              "0:lp9.example\n0:lx100.gif\n0:\n-3:\n-3:\n-2:\n");
}

// Every row of a name list, "|" after each.
const char* kList =
    "[% $L = QMTAG.TAGGetGroupNameList($MODE, $G) %][% OUTHTML($ERROR_TAG_LEVEL, \":\") %]"
    "[% $I = 0 %][% WHILE ($L[$I][1].TAG == 4) %][% OUTHTML($L[$I][1], \"|\") %][% $I = $I + 1 %][% ENDWHILE %]";

TEST(DatabaseTags, GroupNameListModesAndTheSelectionList) {
    PageSite site(1);
    // A fresh database holds only the group of every device.
    EXPECT_EQ(site.Run("list.htm", kList, {{"MODE", "ALL"}, {"G", ""}}), "0:All Devices|");
    // A group without sub-groups: an empty table, no error.
    EXPECT_EQ(site.Run("list.htm", kList, {{"MODE", "SUBCURRENT"}, {"G", "All Devices"}}), "0:");
    {
        Database db(site.root());
        for (const char* g : {"Alpha", "Beta", "Gamma"}) ASSERT_EQ(DBCreateGroupInfo(g), 0);
        ASSERT_EQ(DBWriteSubGroupInGroup("Alpha", "Beta"), 0);
    }
    EXPECT_EQ(site.Run("list.htm", kList, {{"MODE", "ALL"}, {"G", ""}}), "0:All Devices|Alpha|Beta|Gamma|");
    EXPECT_EQ(site.Run("list.htm", kList, {{"MODE", "SUBCURRENT"}, {"G", "Alpha"}}), "0:Beta|");
    std::string add = site.Run("list.htm", kList, {{"MODE", "SUBADD"}, {"G", "Alpha"}});
    EXPECT_EQ(add.substr(0, 2), "0:") << add;
    EXPECT_EQ(add.find("Beta"), std::string::npos) << add;
    EXPECT_EQ(site.Run("list.htm", kList, {{"MODE", "SOME"}, {"G", ""}}), "-2:");

    const char* html = "[% $R = QMTAG.TAGCreateHTMLGroupList($MODE, \"(all)\", \"grp\", \"go()\", \"4\") %]"
                       "</SELECT>[% OUTHTML($ERROR_TAG_LEVEL) %]";
    EXPECT_EQ(site.Run("sel.htm", html, {{"MODE", "list"}}),
              "<SELECT NAME=\"grp\" SIZE=\"4\" ONCHANGE=\"go()\">\n<OPTION SELECTED>(all)\n"
              "<OPTION>All Devices\n<OPTION>Alpha\n<OPTION>Beta\n<OPTION>Gamma\n</SELECT>0");
    EXPECT_EQ(site.Run("sel.htm", html, {{"MODE", "List"}}),
              "<SELECT NAME=\"grp\" ONCHANGE=\"go()\">\n<OPTION SELECTED>(all)\n"
              "<OPTION>All Devices\n<OPTION>Alpha\n<OPTION>Beta\n<OPTION>Gamma\n</SELECT>0");
}

}  // namespace
}  // namespace qm::tag::test
