// The writing tags as pages use them: templates run through qmpage against the configuration
// database of a throw-away installation root, and read back through QMTAG's reading tags.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <string>

#include "qm/testing/testing.h"
#include "qmdbmgr.h"

namespace {

// What a command writes (standard output and error, as the command line asks).
std::string Output(const std::string& cmd) {
    std::string out;
    if (FILE* p = popen(cmd.c_str(), "r")) {
        char buf[4096];
        size_t n;
        while ((n = fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        pclose(p);
    }
    return out;
}

// Runs templates the way the HTTP server runs a page.
class Site {
public:
    std::string Run(const std::string& text, const std::map<std::string, std::string>& fields = {}) {
        std::ofstream(root_.path() + "/html/en/t.htm", std::ios::binary) << text;
        std::string cmd = "'" + qm::testing::BuildBinFolder() + "/qmpage' --root '" + root_.path() +
                          "' 'LANGUAGE=en|TEMPLATE=t.htm";
        for (const auto& [k, v] : fields) cmd += "|" + k + "=" + v;
        return Output(cmd + "' 2>&1");
    }
    const std::string& root() const { return root_.path(); }

private:
    qm::testing::TempRoot root_;
};

// The database of a root, written from this process: the store resolves "..\conf\" against the
// current folder, which for the suite's programs is bin/.
class Database {
public:
    explicit Database(const std::string& root) : saved_(std::filesystem::current_path()) {
        std::filesystem::current_path(root + "/bin");
        DBMgrInitialize();
        int n = 0;
        DBReadGroupNameList(&n, nullptr);
    }
    ~Database() {
        DBMgrRelease();
        std::filesystem::current_path(saved_);
    }
    // Registers devices as discovery does: the All Devices list rewritten as a whole.
    void Register(std::initializer_list<const char*> keys) {
        DBHANDLE h = DBOpenDeviceKeyInGroup(nullptr);
        ASSERT_NE(h, DB_NO_HANDLE);
        for (const char* k : keys) ASSERT_EQ(DBWriteDeviceKeyInGroup(h, k), 0);
        ASSERT_EQ(DBCloseDeviceKeyInGroup(h), 0);
    }

private:
    std::filesystem::path saved_;
};

// One call: "code:value" on a line of its own.
std::string Call(const std::string& call) {
    return "[% $R = QMSITE." + call + " %][% OUTESCAPEHTML($ERROR_TAG_LEVEL, \":\", $R) %]\n";
}
// The rows of a QMTAG name list, joined by "|".
std::string List(const std::string& mode, const std::string& group) {
    return "[% $L = QMTAG.TAGGetGroupNameList(\"" + mode + "\", \"" + group +
           "\") %][% $I = 0 %][% WHILE ($L[$I].TYPE == 4) %][% OUTESCAPEHTML($L[$I], \"|\") %][% $I = $I + 1 %]"
           "[% ENDWHILE %]\n";
}
std::string Members(const std::string& group) {
    return "[% $S = QMTAG.TAGStartDeviceDiscovery(\"1\", \"" + group +
           "\", \"0\", \"\", \"1\", \"1\", \"1\", \"\", \"\", \"\") %][% $K = QMTAG.TAGGetDiscoveryResult($S) %]"
           "[% WHILE ($ERROR_TAG_LEVEL == 0) %][% OUTESCAPEHTML($K, \"|\") %][% $K = QMTAG.TAGGetDiscoveryResult($S) %]"
           "[% ENDWHILE %][% QMTAG.TAGEndDeviceDiscovery($S) %]\n";
}

constexpr const char* kP1 = "1;127.0.0.21;;0050C2A10021;1";
constexpr const char* kP2 = "1;127.0.0.22;;0050C2A10022;1";

TEST(SiteTags, GroupsAreCreatedRenamedAndDeletedButTheRootStays) {
    Site site;
    std::string page = site.Run(Call("TAGCreateGroup(\"Floor 1\")") + Call("TAGCreateGroup(\"Floor 2\")") +
                                Call("TAGCreateGroup(\"Floor 1\")") +       // a name in use
                                Call("TAGCreateGroup(\"\")") +              // empty
                                Call("TAGCreateGroup($LONG)") +             // 65 characters
                                Call("TAGRenameGroup(\"Floor 1\", \"Lab\")") +
                                Call("TAGRenameGroup(\"Lab\", \"Floor 2\")") +  // onto another group
                                Call("TAGRenameGroup(\"All Devices\", \"Root\")") +
                                Call("TAGRenameGroup(\"Nowhere\", \"X\")") + Call("TAGDeleteGroup(\"All Devices\")") +
                                Call("TAGDeleteGroup(\"Floor 2\")") + Call("TAGDeleteGroup(\"Floor 2\")") +
                                Call("TAGCreateGroup(\"Floor 1\", \"extra\")") + List("ALL", ""),
                                {{"LONG", std::string(65, 'g')}});
    EXPECT_EQ(page,
              "0:\n0:\n-3:\n-2:\n-3:\n"
              "0:\n-3:\n-3:\n-4:\n-3:\n"
              "0:\n-4:\n-2:\n"
              "All Devices|Lab|\n");
}

TEST(SiteTags, SubGroupsComeOnlyFromTheCandidatesSoNoCycleForms) {
    Site site;
    std::string page = site.Run(Call("TAGCreateGroup(\"A\")") + Call("TAGCreateGroup(\"B\")") +
                                Call("TAGCreateGroup(\"C\")") + Call("TAGAddSubGroup(\"A\", \"B\")") +
                                Call("TAGAddSubGroup(\"B\", \"C\")") +
                                Call("TAGAddSubGroup(\"C\", \"A\")") +            // would close A-B-C-A
                                Call("TAGAddSubGroup(\"A\", \"A\")") +            // itself
                                Call("TAGAddSubGroup(\"A\", \"All Devices\")") +  // the root
                                Call("TAGAddSubGroup(\"A\", \"Gone\")") + List("SUBCURRENT", "A") +
                                List("SUBADD", "C") + Call("TAGDeleteSubGroup(\"B\", \"C\")") +
                                Call("TAGAddSubGroup(\"C\", \"A\")") + List("SUBCURRENT", "C"));
    EXPECT_EQ(page,
              "0:\n0:\n0:\n0:\n0:\n"
              "-3:\n-3:\n-3:\n-4:\n"
              "B|\n\n"
              "0:\n0:\nA|\n");
}

TEST(SiteTags, MembersAreRegisteredDevicesAndAllDevicesIsLeftToDiscovery) {
    Site site;
    {
        Database db(site.root());
        db.Register({kP1, kP2});
    }
    std::string page =
        site.Run(Call("TAGCreateGroup(\"Lab\")") + Call("TAGAddGroupMember(\"Lab\", $P1)") +
                 Call("TAGAddGroupMember(\"Lab\", $P1)") +                  // twice: one entry
                 Call("TAGAddGroupMember(\"Lab\", \"1;127.0.0.99;;;1\")") +  // not registered
                 Call("TAGAddGroupMember(\"Lab\", \"1;127.0.0.21;;\")") +     // not a device key
                 Call("TAGAddGroupMember(\"All Devices\", $P2)") + Call("TAGAddGroupMember(\"None\", $P2)") +
                 Members("Lab") + "[% $L = QMSITE.TAGGetAddMemberList(\"Lab\") %][% OUTESCAPEHTML($L[0][1], \"|\", $L[1][1].TAG) %]\n" +
                 Call("TAGDeleteGroupMember(\"Lab\", $P1)") + Call("TAGDeleteGroupMember(\"Lab\", $P1)") +
                 Call("TAGDeleteGroupMember(\"All Devices\", $P1)") + Members("Lab") + Members(""),
                 {{"P1", kP1}, {"P2", kP2}});
    EXPECT_EQ(page, std::string("0:\n0:\n0:\n-4:\n-3:\n-3:\n-4:\n") + kP1 + "|\n" + kP2 + "|5\n" +
                        "0:\n0:\n-3:\n\n" + kP1 + "|" + kP2 + "|\n");
}

TEST(SiteTags, ItemsAreWrittenAndReadBackAsStored) {
    Site site;
    {
        Database db(site.root());
        db.Register({kP1});
    }
    std::string page = site.Run(
        Call("TAGCreateGroup(\"Lab\")") + Call("TAGSetGroupInfo(\"Lab\", \"GRP_AdminName\", \"Mo <ops>\")") +
        Call("TAGSetGroupInfo(\"Lab\", \"GRP_GroupName\", \"X\")") +   // renaming has its own tag
        Call("TAGSetGroupInfo(\"Gone\", \"GRP_AdminName\", \"x\")") +
        Call("TAGSetDeviceInfo($P1, \"DEV_Description\", $LONG)") +     // cut to the field
        Call("TAGSetDeviceInfo($P1, \"DEV_DeviceKey\", \"1;1.2.3.4;;;1\")") +
        Call("TAGSetDeviceInfo($P1, \"DEV_ErrorLogHandle\", \"DV1\")") +
        Call("TAGSetDeviceInfo(\"1;127.0.0.99;;;1\", \"DEV_Description\", \"x\")") +
        Call("TAGSetModelInfo(\"LX-40\", \"MCN_SmallImage\", \"lx40.gif\")") +
        Call("TAGSetModelInfo($LONG, \"MCN_SmallImage\", \"x\")") +
        "[% OUTESCAPEHTML(QMTAG.TAGGetGroupInfo(\"Lab\", \"GRP_AdminName\"), \"/\", "
        "QMTAG.TAGGetModelInfo(\"LX-40\", \"MCN_SmallImage\")) %]\n",
        {{"P1", kP1}, {"LONG", std::string(100, 'd')}});
    EXPECT_EQ(page, "0:\n0:Mo &lt;ops&gt;\n-3:\n-4:\n0:" + std::string(64, 'd') +
                        "\n-3:\n-3:\n-4:\n0:lx40.gif\n-3:\nMo &lt;ops&gt;/lx40.gif\n");
}

TEST(SiteTags, DiscoverySettingsAreStoredOnlyWhenDiscoveryCanUseThem) {
    Site site;
    std::string page = site.Run(
        Call("TAGSetQMInfo(\"QMC_BroadIPAdr1\", \"127.0.0.0\")") + Call("TAGSetQMInfo(\"QMC_BroadSubnet1\", \"255.255.255.0\")") +
        Call("TAGSetQMInfo(\"QMC_BroadIPAdr6\", \"127.0.0.11\")") + Call("TAGSetQMInfo(\"QMC_BroadIPAdr7\", \"\")") +
        Call("TAGSetQMInfo(\"QMC_BroadIPLocal\", \"OFF\")") +
        Call("TAGSetQMInfo(\"QMC_BroadIPAdr8\", \"printer.example\")") +   // no name service for the search
        Call("TAGSetQMInfo(\"QMC_BroadIPAdr9\", \"1.2.3.256\")") +
        Call("TAGSetQMInfo(\"QMC_BroadSubnet2\", \"255.0.255.0\")") +        // not a mask
        Call("TAGSetQMInfo(\"QMC_BroadIPLocal\", \"yes\")") +
        Call("TAGSetQMInfo(\"QMC_MaxLogSize\", \"12k\")") + Call("TAGSetQMInfo(\"HostName\", \"x\")") +
        Call("TAGSetQMInfo(\"QMC_Note\", $LONG)") + Call("TAGSetQMInfo(\"QMC_Note\", \"a\nb\")") +
        "[% OUTESCAPEHTML(QMTAG.TAGGetQMInfo(\"QMC_BroadIPAdr8\"), \"/\", QMTAG.TAGGetQMInfo(\"QMC_BroadIPLocal\")) %]\n",
        {{"LONG", std::string(256, 'n')}});
    EXPECT_EQ(page, "0:127.0.0.0\n0:255.255.255.0\n0:127.0.0.11\n0:\n0:OFF\n"
                    "-3:\n-3:\n-3:\n-3:\n-3:\n-3:\n-3:\n-3:\n/OFF\n");
}

TEST(SiteTags, BadCallsChangeNothingAndGiveNull) {
    Site site;
    std::string page = site.Run(Call("TAGCreateGroup($N)") + Call("TAGCreateGroup(1)") +
                                Call("TAGAddSubGroup(\"A\")") + Call("TAGWatchDevice(\"\")") +
                                Call("TAGWatchDevice(\"1;2\")") + Call("TAGUnwatchDevice(\"1;127.0.0.1;;;1;x\", 2)") +
                                List("ALL", "") + "[% $R = QMSITE.TAGNoSuchTag(1) %]\n",
                                {{"N", ""}});
    // An integer where a name belongs is no usable name; nothing was created by any of these.
    EXPECT_EQ(page.substr(0, page.find("TAGNoSuchTag")), "-2:\n-3:\n-2:\n-2:\n-3:\n-2:\nAll Devices|\n");
    EXPECT_NE(page.find("TAGNoSuchTag Not Found !"), std::string::npos);
}

}  // namespace

namespace {

// Runs the registration tool on the same root; its exit status.
int Qmntf(const std::string& root, const std::string& args) {
    std::string cmd = "'" + qm::testing::BuildBinFolder() + "/qmntf' --root '" + root + "' " + args + " >/dev/null 2>&1";
    return WEXITSTATUS(std::system(cmd.c_str()));
}

TEST(SiteTags, WatchingAPrinterIsWhatTheRegistrationToolSees) {
    Site site;
    {
        Database db(site.root());
        db.Register({kP1});
    }
    const std::string state = "[% OUTESCAPEHTML(QMTAG.TAGGetDeviceInfo($P1, \"DEV_ErrorLog\"), \"/\", "
                              "QMTAG.TAGGetDeviceInfo($P1, \"DEV_ErrorLogHandle\"), \"/\", "
                              "QMTAG.TAGGetDeviceInfo($P1, \"DEV_ConsLogHandle\")) %]\n";
    std::string page = site.Run(Call("TAGWatchDevice($P1)") + state + Call("TAGWatchDevice(\"1;127.0.0.99;;;1\")"),
                                {{"P1", kP1}});
    ASSERT_EQ(page.substr(0, 9), "0:\nSTART/") << page;
    const std::string dv = page.substr(9, 7), cs = page.substr(17, 7);
    EXPECT_EQ(dv.substr(0, 2), "DV");
    EXPECT_EQ(cs, "CS" + dv.substr(2));
    EXPECT_EQ(page.substr(24), "\n-4:\n");
    // The notification database holds the three watches: the tool can keep each alive.
    EXPECT_EQ(Qmntf(site.root(), "keepalive " + dv + " PR" + dv.substr(2) + " " + cs), 0);

    page = site.Run(Call("TAGUnwatchDevice($P1)") + state + Call("TAGUnwatchDevice($P1)"), {{"P1", kP1}});
    EXPECT_EQ(page, "0:\nEND/" + dv + "/" + cs + "\n0:\n");
    EXPECT_NE(Qmntf(site.root(), "keepalive " + dv), 0);

    // A printer watched again logs under its own handles; the tool's unwatch ends that too.
    page = site.Run(Call("TAGWatchDevice($P1)") + state, {{"P1", kP1}});
    EXPECT_EQ(page, "0:\nSTART/" + dv + "/" + cs + "\n");
    EXPECT_EQ(Qmntf(site.root(), "keepalive " + dv), 0);
    EXPECT_EQ(Qmntf(site.root(), "unwatch '" + std::string(kP1) + "'"), 0);
    EXPECT_NE(Qmntf(site.root(), "keepalive " + dv), 0);
    EXPECT_EQ(site.Run(state, {{"P1", kP1}}), "END/" + dv + "/" + cs + "\n");
}

}  // namespace

namespace {

// The registration tool's output on the same root.
std::string QmntfOut(const std::string& root, const std::string& args) {
    return Output("'" + qm::testing::BuildBinFolder() + "/qmntf' --root '" + root + "' " + args + " 2>&1");
}

// The receivers as rows "handle address port|".
const std::string kReceivers =
    "[% $L = QMSITE.TAGGetReceiverList(\"\") %][% OUTESCAPEHTML($ERROR_TAG_LEVEL, \":\") %][% $I = 0 %]"
    "[% WHILE ($L[$I][1].TAG == 4) %][% OUTESCAPEHTML($L[$I][1], \" \", $L[$I][2], \" \", $L[$I][3], \"|\") %]"
    "[% $I = $I + 1 %][% ENDWHILE %]\n";

TEST(SiteTags, ReceiversAreRegisteredListedAndRemovedAsTheToolSeesThem) {
    Site site;
    {
        Database db(site.root());
        db.Register({kP1, kP2});
    }
    std::string page = site.Run(kReceivers + Call("TAGRegisterReceiver(\"127.0.0.5\", \"5000\", \"1\", \"60\", \"desk <2>\", $P1)") +
                                    kReceivers,
                                {{"P1", kP1}});
    ASSERT_EQ(page.substr(0, 7), "0:\n0:DV") << page;
    const std::string first = page.substr(5, 7);
    EXPECT_EQ(page.substr(12), "\n0:" + first + " 127.0.0.5 5000|\n");
    EXPECT_EQ(QmntfOut(site.root(), "receivers"), first + " 127.0.0.5 5000\n");

    // Wrong values are refused and register nothing.
    page = site.Run(Call("TAGRegisterReceiver(\"printer.example\", \"5000\", \"0\", \"60\", \"\", $P1)") +
                        Call("TAGRegisterReceiver(\"127.0.0.6\", \"0\", \"0\", \"60\", \"\", $P1)") +
                        Call("TAGRegisterReceiver(\"127.0.0.6\", \"65536\", \"0\", \"60\", \"\", $P1)") +
                        Call("TAGRegisterReceiver(\"127.0.0.6\", \"50x\", \"0\", \"60\", \"\", $P1)") +
                        Call("TAGRegisterReceiver(\"127.0.0.6\", \"5000\", \"4\", \"60\", \"\", $P1)") +
                        Call("TAGRegisterReceiver(\"127.0.0.6\", \"5000\", \"0\", \"0\", \"\", $P1)") +
                        Call("TAGRegisterReceiver(\"127.0.0.6\", \"5000\", \"0\", \"60\", \"a,b\", $P1)") +
                        Call("TAGRegisterReceiver(\"127.0.0.6\", \"5000\", \"0\", \"60\", $LONG, $P1)") +
                        Call("TAGRegisterReceiver(\"127.0.0.6\", \"5000\", \"0\", \"60\", \"\", \"1;127.0.0.99;;;1\")") +
                        Call("TAGRegisterReceiver(\"127.0.0.6\", \"5000\", \"0\", \"60\", \"\", \"1;2\")") +
                        Call("TAGRegisterReceiver(\"127.0.0.6\", \"5000\", \"0\", \"60\", \"\", \"\")") +
                        Call("TAGRegisterReceiver(\"127.0.0.6\", \"5000\", \"0\", \"60\", \"\")") +
                        Call("TAGDeleteReceiver(\"DV99999\")") + Call("TAGDeleteReceiver(\"\")") +
                        Call("TAGGetReceiverList(\"\", \"x\")") + kReceivers,
                    {{"P1", kP1}, {"LONG", std::string(68, 't')}});
    EXPECT_EQ(page, "-3:\n-3:\n-3:\n-3:\n-3:\n-3:\n-3:\n-3:\n-4:\n-3:\n-2:\n-2:\n-4:\n-2:\n-2:\n0:" + first +
                        " 127.0.0.5 5000|\n");

    // A second receiver; one registered by the tool is listed too; the same address and port
    // again replaces the receiver that had them.
    page = site.Run(Call("TAGRegisterReceiver(\"127.0.0.6\", \"5001\", \"0\", \"3600\", \"\", $P2)"), {{"P2", kP2}});
    ASSERT_EQ(page.substr(0, 4), "0:DV") << page;
    const std::string second = page.substr(2, 7);
    const std::string third = QmntfOut(site.root(), "register 127.0.0.7 5002 '" + std::string(kP1) + "'").substr(0, 7);
    EXPECT_EQ(site.Run(kReceivers),
              "0:" + first + " 127.0.0.5 5000|" + second + " 127.0.0.6 5001|" + third + " 127.0.0.7 5002|\n");
    page = site.Run(Call("TAGRegisterReceiver(\"127.0.0.6\", \"5001\", \"0\", \"60\", \"\", $P1)"), {{"P1", kP1}});
    const std::string fourth = page.substr(2, 7);
    EXPECT_EQ(site.Run(kReceivers),
              "0:" + first + " 127.0.0.5 5000|" + third + " 127.0.0.7 5002|" + fourth + " 127.0.0.6 5001|\n");
    // The receivers of one address.
    EXPECT_EQ(site.Run("[% $L = QMSITE.TAGGetReceiverList(\"127.0.0.7\") %][% OUTESCAPEHTML($L[0][1], \"|\", $L[1][1].TAG) %]"),
              third + "|5");

    // Removing: from the page, from the tool; a removed receiver is gone for both.
    EXPECT_EQ(site.Run(Call("TAGDeleteReceiver($H)") + Call("TAGDeleteReceiver($H)") + kReceivers, {{"H", first}}),
              "0:\n-4:\n0:" + third + " 127.0.0.7 5002|" + fourth + " 127.0.0.6 5001|\n");
    EXPECT_NE(QmntfOut(site.root(), "unregister " + first), "");
    EXPECT_EQ(QmntfOut(site.root(), "unregister " + third), "");
    EXPECT_EQ(site.Run(kReceivers), "0:" + fourth + " 127.0.0.6 5001|\n");
    EXPECT_EQ(site.Run(Call("TAGDeleteReceiver($H)") + kReceivers, {{"H", fourth}}), "0:\n0:\n");
}

}  // namespace

namespace {

// Watching a printer records the watch at once; registering this computer as the printer's
// trap destination goes on behind the page. Here the registration helper takes the request
// and never answers it, as when the printer does not answer: the page is whole long before
// the helper's wait ends, and the request was made all the same.
TEST(SiteTags, WatchingAnswersAtOnceWhileTheTrapRegistrationWaits) {
    Site site;
    {
        Database db(site.root());
        db.Register({kP1});
    }
    const std::string helper = qm::testing::BuildBinFolder() + "/ntfdb_test_qntpset";
    ASSERT_EQ(symlink(helper.c_str(), (site.root() + "/bin/qntpset").c_str()), 0);
    std::ofstream(site.root() + "/html/en/t.htm", std::ios::binary)
        << Call("TAGWatchDevice($P1)") + "[% OUTHTML(QMTAG.TAGGetDeviceInfo($P1, \"DEV_ErrorLog\")) %]|ANSWERED\n";
    setenv("QM_TEST_QNTPSET_SILENT", "1", 1);
    setenv("QM_QNTPSET_WAIT_MS", "10000", 1);
    const std::string cmd = "'" + qm::testing::BuildBinFolder() + "/qmpage' --root '" + site.root() +
                            "' 'LANGUAGE=en|TEMPLATE=t.htm|P1=" + kP1 + "' 2>&1";
    const auto start = std::chrono::steady_clock::now();
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::string page;
    auto answered = std::chrono::steady_clock::duration::max();
    char buf[256];
    while (fgets(buf, sizeof buf, p)) {
        page += buf;
        if (page.find("ANSWERED") != std::string::npos && answered == std::chrono::steady_clock::duration::max())
            answered = std::chrono::steady_clock::now() - start;
    }
    pclose(p);  // the program ends once the queued request was made
    unsetenv("QM_TEST_QNTPSET_SILENT");
    unsetenv("QM_QNTPSET_WAIT_MS");
    EXPECT_EQ(page, "0:\nSTART|ANSWERED\n");
    EXPECT_LT(answered, std::chrono::seconds(5)) << "the helper waits 10 s for an answer";
    std::ifstream log(site.root() + "/qntpset.log");
    std::string line;
    std::getline(log, line);
    EXPECT_EQ(line, "1 127.0.0.21");
}

}  // namespace
