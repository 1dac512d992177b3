// The site's own templates (site/html) run through qmpage against simulated printers and the
// recordings of real ones: supplies in their colorant's colour, receptacles as fill, the
// special levels as states, printers named by host name, sysName or address, and request
// text that stays text.
#include <gtest/gtest.h>

#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "page_runner.h"
#include "qmdbmgr.h"
#include "qm/testing/testing.h"
#include "simulator.h"

namespace {

using qm::tag::test::Key;
using qm::tag::test::PageSite;
using qm::testsupport::SimulatedPrinters;

constexpr int kFirst = 131;  // printers answer on 127.0.0.131 ...

std::string Simulated(const std::string& name) { return std::string(QM_PRINTERS_DIR) + "/" + name + ".snmprec"; }
std::string Real(const std::string& name) { return std::string(QM_REAL_PRINTERS_DIR) + "/" + name + ".snmprec"; }

// The supply rows of a printer page, one line each: "description|colour|level", markup and
// white space removed.
std::vector<std::string> SupplyRows(const std::string& page) {
    std::vector<std::string> rows;
    static const std::regex row("<tr class=\"supply\">([\\s\\S]*?)</tr>");
    static const std::regex tags("<[^>]*>");
    static const std::regex cells("</td>\\s*<td[^>]*>");
    for (std::sregex_iterator it(page.begin(), page.end(), row), end; it != end; ++it) {
        std::string r = std::regex_replace((*it)[1].str(), cells, "|");
        r = std::regex_replace(r, tags, "");
        r = std::regex_replace(r, std::regex("\\s+"), " ");
        r = std::regex_replace(r, std::regex(" ?\\| ?"), "|");
        r = std::regex_replace(r, std::regex("^ | $"), "");
        rows.push_back(r);
    }
    return rows;
}

class SitePages : public ::testing::Test {
protected:
    bool Start(const std::vector<std::string>& files) {
        for (const auto& f : files)
            if (!std::filesystem::exists(f)) {
                why_ = "no recording " + f;
                return false;
            }
        sim_ = std::make_unique<SimulatedPrinters>(files, kFirst);
        if (!sim_->ok()) {
            why_ = sim_->why();
            return false;
        }
        site_ = std::make_unique<PageSite>(sim_->port());
        std::filesystem::copy(std::string(QM_SOURCE_DIR) + "/site/html", site_->root() + "/html",
                              std::filesystem::copy_options::recursive | std::filesystem::copy_options::overwrite_existing);
        return true;
    }
    std::string Printer(size_t k) {
        return site_->Run("run.htm", "[% #INCLUDE words.htm %][% $K = $KEY %][% #INCLUDE printerbody.htm %]", {{"KEY", Key(sim_->address(k))}});
    }
    std::unique_ptr<SimulatedPrinters> sim_;
    std::unique_ptr<PageSite> site_;
    std::string why_;
};

TEST_F(SitePages, SuppliesTakeTheColourTheirColorantIndexNames) {
    if (!Start({Simulated("4-alerts-mfp"), Simulated("1-mono-laser")})) GTEST_SKIP() << why_;
    // The MFP's colorant table lists black, yellow, magenta, cyan; its supplies list cyan,
    // magenta, yellow, black and point at colorants 4, 3, 2, 1. The waste container is a
    // receptacle (class 4) at -3; the fuser kit has no colorant and level -2.
    std::string page = Printer(0);
    EXPECT_EQ(SupplyRows(page), (std::vector<std::string>{
                                    "Cyan Toner Cartridge|cyan||0% left",
                                    "Magenta Toner Cartridge|magenta||55% left",
                                    "Yellow Toner Cartridge|yellow||33% left",
                                    "Black Toner Cartridge|black||7% left",
                                    "Waste Toner Container (receptacle)|||some remaining",
                                    "Fuser Kit|||unknown",
                                }))
        << page;
    EXPECT_NE(page.find("<meter class=\"c-cyan\" min=\"0\" max=\"100\" value=\"0\">"), std::string::npos);
    // The mono laser: the waste box is a receptacle at -3, the drum 21877 of 60000 pages.
    page = Printer(1);
    EXPECT_EQ(SupplyRows(page), (std::vector<std::string>{
                                    "Black Toner Cartridge|black||45% left",
                                    "Waste Toner Box (receptacle)|||some remaining",
                                    "Drum Unit|||36% left",
                                }))
        << page;
}

TEST_F(SitePages, RealRecordingsShowStatesAndFillWithoutGuessingColours) {
    if (!Start({Real("sharp"), Real("konica")})) GTEST_SKIP() << why_;
    // Neither recording has the colorant index or class columns: no colour is made up from
    // row numbers, and the "Waste ..." containers count as receptacles. Sharp's waste toner
    // reads 100 with an unknown capacity (-2); Konica's reads -3.
    std::vector<std::string> sharp = SupplyRows(Printer(0));
    ASSERT_EQ(sharp.size(), 14u);
    EXPECT_EQ(sharp[0], "Cyan Toner|||55% left");
    EXPECT_EQ(sharp[4], "Waste Toner (receptacle)|||100 (capacity unknown)");
    EXPECT_EQ(sharp[13], "Fusing Unit|||unknown");
    std::vector<std::string> konica = SupplyRows(Printer(1));
    ASSERT_EQ(konica.size(), 17u);
    EXPECT_EQ(konica[3], "Toner (Black)|||83% left");
    EXPECT_EQ(konica[12], "Waste Toner Box (receptacle)|||some remaining");
    // The recordings' sysName reads "<private>": the name is the sysName, shown as text.
    std::string page = Printer(1);
    EXPECT_NE(page.find("<h1>&lt;private&gt;</h1>"), std::string::npos) << page.substr(0, 600);
    // Page counters come with their unit (Sharp: prtMarkerCounterUnit 7, impressions).
    EXPECT_NE(Printer(0).find("121104 impressions"), std::string::npos);
}

TEST_F(SitePages, PrintersAreNamedByHostNameElseSysNameElseAddress) {
    if (!Start({Simulated("1-mono-laser"), Simulated("2-color-laser")})) GTEST_SKIP() << why_;
    {
        // The database of the root, written as the programs do from its bin/ folder.
        const auto saved = std::filesystem::current_path();
        std::filesystem::current_path(site_->root() + "/bin");
        DBMgrInitialize();
        DBWriteIPHostName(sim_->address(0).c_str(), "lp-<1>.example");
        DBMgrRelease();
        std::filesystem::current_path(saved);
    }
    const std::string name =
        "[% $K = $KEY %][% #INCLUDE probe.htm %][% #INCLUDE name.htm %]<b>[% OUTESCAPEHTML($NAME) %]</b>";
    auto named = [&](const std::string& ip) {
        std::string page = site_->Run("n.htm", name, {{"KEY", Key(ip)}});
        size_t at = page.find("<b>");
        return at == std::string::npos ? page : page.substr(at + 3, page.find("</b>") - at - 3);
    };
    EXPECT_EQ(named(sim_->address(0)), "lp-&lt;1&gt;.example");
    EXPECT_EQ(named(sim_->address(1)), "color-laser");
    // A printer that does not answer has only its address.
    EXPECT_EQ(named("127.0.0.1"), "127.0.0.1");
}

TEST_F(SitePages, GroupPageKeepsRequestTextAsText) {
    if (!Start({Simulated("1-mono-laser")})) GTEST_SKIP() << why_;
    std::string page = site_->Run("run.htm", "[% #INCLUDE words.htm %][% #INCLUDE groupview.htm %]", {{"GROUP", "<script>x</script>"}});
    EXPECT_NE(page.find("There is no group &lt;script&gt;x&lt;/script&gt;."), std::string::npos) << page;
    EXPECT_EQ(page.find("<script>"), std::string::npos);
}

}  // namespace

namespace {

TEST_F(SitePages, JapanesePagesAreTheSamePagesInUtf8) {
    if (!Start({Simulated("4-alerts-mfp")})) GTEST_SKIP() << why_;
    const std::string key = Key(sim_->address(0));
    std::string cmd = "'" + qm::testing::BuildBinFolder() + "/qmpage' --root '" + site_->root() +
                      "' 'LANGUAGE=ja|TEMPLATE=printer.htm|KEY=" + key + "' 2>&1";
    std::string page = qm::testsupport::RunCommand(cmd);
    EXPECT_NE(page.find("<html lang=\"ja\">"), std::string::npos);
    EXPECT_NE(page.find("<meta charset=\"utf-8\">"), std::string::npos);
    EXPECT_NE(page.find("<h2>消耗品</h2>"), std::string::npos) << page;
    // The same supply rows as the English page, in Japanese.
    std::vector<std::string> rows = SupplyRows(page);
    ASSERT_EQ(rows.size(), 6u) << page;
    EXPECT_EQ(rows[0], "Cyan Toner Cartridge|cyan||0% 残り");
    EXPECT_EQ(rows[4], "Waste Toner Container (回収容器)|||残量あり");
    // Every link of the page stays in Japanese.
    EXPECT_EQ(page.find("LANGUAGE=en&amp;TEMPLATE=printers"), std::string::npos);
    EXPECT_NE(page.find("LANGUAGE=ja&amp;TEMPLATE=printers.htm\">プリンタ</a>"), std::string::npos);
    // Both languages are one set of pages: every text of the page came from the words of its
    // language, none is left as a placeholder, and the English page says the same in English.
    EXPECT_EQ(page.find("@@"), std::string::npos) << page;
    cmd = "'" + qm::testing::BuildBinFolder() + "/qmpage' --root '" + site_->root() +
          "' 'LANGUAGE=en|TEMPLATE=printer.htm|KEY=" + key + "' 2>&1";
    const std::string english = qm::testsupport::RunCommand(cmd);
    EXPECT_EQ(english.find("@@"), std::string::npos) << english;
    EXPECT_NE(english.find("<h2>Supplies</h2>"), std::string::npos) << english;
    EXPECT_EQ(SupplyRows(english).size(), 6u);
    EXPECT_EQ(english.find("消耗品"), std::string::npos);
}

TEST_F(SitePages, EveryPageOfBothLanguagesHasAllItsWords) {
    if (!Start({Simulated("1-mono-laser")})) GTEST_SKIP() << why_;
    // The pages a link or form reaches, with the fields each reads.
    const std::vector<std::string> pages = {
        "index.htm|SERVER_SOFTWARE=s|SERVER_NAME=h|SERVER_PORT=1|REQUEST_METHOD=GET", "printers.htm", "alertlist.htm", "groups.htm", "settings.htm", "receivers.htm",
        "group.htm|GROUP=All Devices", "devlog.htm|KEY=1;127.0.0.1;;;1|KIND=0|PAGE=1",
        "grouplog.htm|GROUP=All Devices|PAGE=1", "printer.htm|KEY=" + Key(sim_->address(0))};
    for (const char* language : {"en", "ja"}) {
        for (const auto& p : pages) {
            std::string cmd = "'" + qm::testing::BuildBinFolder() + "/qmpage' --root '" + site_->root() +
                              "' 'LANGUAGE=" + language + "|TEMPLATE=" + p + "' 2>&1";
            const std::string page = qm::testsupport::RunCommand(cmd);
            EXPECT_NE(page.find("</html>"), std::string::npos) << language << " " << p << "\n" << page;
            EXPECT_EQ(page.find("@@"), std::string::npos) << language << " " << p << "\n" << page;
            EXPECT_EQ(page.find("Not Found !"), std::string::npos) << language << " " << p << "\n" << page;
            const bool japanese = page.find("プリンタ管理") != std::string::npos;
            EXPECT_EQ(japanese, std::string(language) == "ja") << language << " " << p;
        }
    }
}

}  // namespace
