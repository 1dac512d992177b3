// Discovery as pages run it: a search of unicast addresses on loopback that registers the
// simulated printers, then listing the registered ones (no network) with each filter.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "page_runner.h"
#include "qmdbmgr.h"
#include "simulator.h"

namespace qm::tag::test {
namespace {

using qm::testsupport::SimulatedPrinters;

// One device key per line, then the code that ended the list.
const char* kDiscover =
    "[% $S = QMTAG.TAGStartDeviceDiscovery($P, $G, $L, $D, $S1, $S2, $S3, $IP, $MAC, $N) %]"
    "[% IF ($ERROR_TAG_LEVEL != 0) %]start [% OUTHTML($ERROR_TAG_LEVEL) %][% ENDIF %]"
    "[% $K = QMTAG.TAGGetDiscoveryResult($S) %][% WHILE ($ERROR_TAG_LEVEL == 0) %][% OUTHTML($K) %]\n"
    "[% $K = QMTAG.TAGGetDiscoveryResult($S) %][% ENDWHILE %]end [% OUTHTML($ERROR_TAG_LEVEL) %]"
    "[% $E = QMTAG.TAGEndDeviceDiscovery($S) %] [% OUTHTML($ERROR_TAG_LEVEL) %]";

std::vector<std::string> SortedLines(const std::string& page, std::string* tail) {
    std::vector<std::string> lines;
    std::istringstream in(page);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    if (!lines.empty()) {
        *tail = lines.back();
        lines.pop_back();
    }
    std::sort(lines.begin(), lines.end());
    return lines;
}

std::map<std::string, std::string> Args(std::map<std::string, std::string> changes) {
    // Time-out 1.5 s with four retries: a simulated printer on a busy machine may miss a few
    // answer times, and a retry costs only the silent address's time. Budget 30 s; no group;
    // list mode "1"; every state; no filter.
    std::map<std::string, std::string> a = {{"P", "1E040F"}, {"G", ""},  {"L", "1"},   {"D", ""},  {"S1", "1"},
                                            {"S2", "1"},    {"S3", "1"}, {"IP", ""}, {"MAC", ""}, {"N", ""}};
    for (auto& [k, v] : changes) a[k] = v;
    return a;
}

TEST(DiscoveryTags, SearchRegistersThenListsWithFilters) {
    const std::string dir = QM_PRINTERS_DIR;
    // The fourth agent serves the first printer's data again: same MAC, a duplicate.
    auto sim = std::make_unique<SimulatedPrinters>(
        std::vector<std::string>{dir + "/1-mono-laser.snmprec", dir + "/2-color-laser.snmprec",
                                 dir + "/4-alerts-mfp.snmprec", dir + "/1-mono-laser.snmprec"},
        81);
    if (!sim->ok()) GTEST_SKIP() << sim->why();
    PageSite site(sim->port(), 1500, 3);
    {
        auto saved = std::filesystem::current_path();
        std::filesystem::current_path(site.root() + "/bin");
        DBMgrInitialize();
        // Never broadcast on the machine's networks: only the listed loopback addresses.
        DBWriteQMInfo("QMC_BroadIPLocal", "OFF");
        DBWriteQMInfo("QMC_BroadIPXLocal", "OFF");
        for (int k = 0; k < 4; ++k)
            DBWriteQMInfo(("QMC_BroadIPAdr" + std::to_string(6 + k)).c_str(), sim->address(k).c_str());
        // An address nobody answers on costs only its time-out.
        DBWriteQMInfo("QMC_BroadIPAdr10", "127.0.0.99");
        DBMgrRelease();
        std::filesystem::current_path(saved);
    }
    std::vector<std::string> ips;
    for (size_t k = 0; k < 4; ++k) ips.push_back(sim->address(k));
    auto key = [&](int k, char type, int mac) {
        return std::string(1, type) + ";" + ips[static_cast<size_t>(k)] + ";;0050C2A1000" + std::to_string(mac) + ";1";
    };
    std::string tail;
    std::vector<std::string> found = SortedLines(site.Run("d.htm", kDiscover, Args({})), &tail);
    EXPECT_EQ(tail, "end -4 0");
    ASSERT_EQ(found.size(), 3u);
    // Which of the two agents with one MAC is registered depends on who answers first; the
    // other is a duplicate. Sorted by address, the winner is first or last.
    const std::string first = found[0] == key(1, '2', 2) ? found[2] : found[0];
    EXPECT_TRUE(first == key(0, '2', 1) || first == key(3, '2', 1)) << first;
    std::vector<std::string> expected = {first, key(1, '2', 2), key(2, '2', 4)};
    std::sort(expected.begin(), expected.end());
    EXPECT_EQ(found, expected);

    // State filters read the alert table: warning only, critical only, ready only.
    EXPECT_EQ(site.Run("d.htm", kDiscover, Args({{"L", "0"}, {"S1", "0"}, {"S3", "0"}})),
              first + "\nend -4 0");
    EXPECT_EQ(site.Run("d.htm", kDiscover, Args({{"L", "0"}, {"S1", "0"}, {"S2", "0"}})), key(2, '2', 4) + "\nend -4 0");
    EXPECT_EQ(site.Run("d.htm", kDiscover, Args({{"L", "0"}, {"S2", "0"}, {"S3", "0"}})), key(1, '2', 2) + "\nend -4 0");
    // Description and name filters ask the printers; "*" makes a prefix.
    EXPECT_EQ(site.Run("d.htm", kDiscover, Args({{"L", "0"}, {"D", "quinsward cx-300"}})), key(1, '2', 2) + "\nend -4 0");
    EXPECT_EQ(site.Run("d.htm", kDiscover, Args({{"L", "0"}, {"N", "MF55*"}})), key(2, '2', 4) + "\nend -4 0");
    // Set filters pass a device at the first that matches: IP of one, MAC of another.
    found = SortedLines(site.Run("d.htm", kDiscover,
                                 Args({{"L", "0"}, {"IP", sim->address(1)}, {"MAC", "0050c2a10004"}})),
                        &tail);
    EXPECT_EQ(found, (std::vector<std::string>{key(1, '2', 2), key(2, '2', 4)}));

    // With the printers gone, list mode "0" still lists what was registered, without asking.
    sim.reset();
    found = SortedLines(site.Run("d.htm", kDiscover, Args({{"L", "0"}})), &tail);
    EXPECT_EQ(tail, "end -4 0");
    EXPECT_EQ(found.size(), 3u);
    // A group lists its members only.
    {
        auto saved = std::filesystem::current_path();
        std::filesystem::current_path(site.root() + "/bin");
        DBMgrInitialize();
        int n = 0;
        DBReadGroupNameList(&n, nullptr);
        EXPECT_EQ(DBCreateGroupInfo("Alpha"), 0);
        DBHANDLE h = DBOpenDeviceKeyInGroup("Alpha");
        EXPECT_EQ(DBWriteDeviceKeyInGroup(h, key(1, '2', 2).c_str()), 0);
        DBCloseDeviceKeyInGroup(h);
        DBMgrRelease();
        std::filesystem::current_path(saved);
    }
    EXPECT_EQ(site.Run("d.htm", kDiscover, Args({{"G", "Alpha"}})), key(1, '2', 2) + "\nend -4 0");
    // Parameter errors: no search parameter, a list mode over its limit.
    EXPECT_EQ(site.Run("d.htm", kDiscover, Args({{"P", ""}})), "start -2end -2 -2");
    EXPECT_EQ(site.Run("d.htm", kDiscover, Args({{"L", "00"}})), "start -2end -2 -2");
}

}  // namespace
}  // namespace qm::tag::test
