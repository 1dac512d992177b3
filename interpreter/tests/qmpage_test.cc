// The qmpage host: runs one request in an installation root and prints the page.
#include <gtest/gtest.h>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "qm/testing/testing.h"

namespace {

namespace fs = std::filesystem;

struct Result {
    std::string out;
    int status = -1;
};

Result Qmpage(const std::string& args) {
    const std::string cmd = qm::testing::BuildBinFolder() + "/qmpage " + args + " 2>&1";
    Result r;
    FILE* p = popen(cmd.c_str(), "r");
    if (!p) return r;
    char buf[4096];
    size_t n;
    while ((n = fread(buf, 1, sizeof buf, p)) > 0) r.out.append(buf, n);
    const int st = pclose(p);
    r.status = WIFEXITED(st) ? WEXITSTATUS(st) : -1;
    return r;
}

void Write(const fs::path& path, const std::string& text) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

TEST(Qmpage, RunsATemplateFromAnInstallationRoot) {
    qm::testing::TempRoot root;
    Write(fs::path(root.path()) / "html/en/tag.htm",
          "[% $R = QmTestTag.TAGResult(0, \"300D300B06032B06010404\" + \"6E616D65\") %]"
          "[% IF ($ERROR_TAG_LEVEL == 0) %][% OUTHTML($R[0].OID, \" is \", $R[0]) %][% ENDIF %]");
    // Both forms of the parameters; --root makes html/ and cache/ those of the root.
    Result r = Qmpage("--root " + root.path() + " LANGUAGE=en TEMPLATE=tag.htm");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1.3.6.1 is name");
    r = Qmpage("--root " + root.path() + " 'LANGUAGE=en|TEMPLATE=tag.htm'");
    EXPECT_EQ(r.out, "1.3.6.1 is name");
    EXPECT_TRUE(fs::exists(fs::path(root.path()) / "cache/en/tag.htm"));
    // $QM_ROOT stands in for --root.
    r = Qmpage("'LANGUAGE=en|TEMPLATE=missing.htm'");
    EXPECT_EQ(r.out, "missing.htm Not Found !");
}

std::string ReadAll(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// A fresh process, so the trace file is the root's own: every trace text of calls and loading.
TEST(Qmpage, TraceRecordsOfCallsAndLoading) {
    qm::testing::TempRoot root;
    const fs::path html = fs::path(root.path()) / "html/en";
    Write(html / "trace.htm",
          "[% $R = QmTestTag.TAGResult(-3, \"NULL\") %][% $R = QmTestTag.TAGResult(0, \"NULL\") %]"
          "[% $R = QmTestTag.TAGResult(0, \"3003020201\") %][% QmTestTag.TAGDescribe(\"-\", $R) %]"
          "[% " + std::string(260, 'L') + ".TAGX(1) %]");
    Write(html / "noinit.htm", "[% QMINTPR.TAGX(1) %]");  // a library without TAGInitialize
    Write(html / "nolib.htm", "[% NoSuchLibrary.TAGX(1) %]");
    Write(html / "syntax.htm", "[% IF (1) %][% OUTHTML(1 / 0) %]");
    const std::string args = "--root " + root.path() + " --trace 0xFFFFFFFF LANGUAGE=en TEMPLATE=";
    Result r = Qmpage(args + "trace.htm");
    EXPECT_EQ(r.out, "argc=4 null" + std::string(64, 'L') + " Initialize Error !");
    EXPECT_EQ(Qmpage(args + "noinit.htm").out, "QMINTPR Initialize Error !");
    EXPECT_EQ(Qmpage(args + "nolib.htm").out, "NoSuchLibrary Initialize Error !");
    EXPECT_EQ(Qmpage(args + "syntax.htm").out, "ENDIF Not Found !");
    const std::string log = ReadAll(fs::path(root.path()) / "log/qbtrace.log");
    for (const char* text : {"QMINTPR: Calling TAGResult()", "QMINTPR: Called TAGResult()",
                             "QMINTPR: TagProcessor Error (TAGResult return -3)",
                             "QMINTPR: TagProcessor Error (TAGResult return NULL)",
                             "QMINTPR: TagProcessor Error (TAGResult return Unknown BER data)",
                             "QMINTPR: TAGDescribe(NULL)", "QMINTPR: EndTagCode = 0x63(c)",
                             "QMINTPR: LoadLibrary Error (" , "QMINTPR: TAGInitialize Not Found In QMINTPR",
                             "QMINTPR: ErrorTagCode = \0", "QMINTPR: EndTagCode = 0x33(3)"}) {
        EXPECT_NE(log.find(text), std::string::npos) << text;
    }
    EXPECT_NE(log.find("QMINTPR: LoadLibrary Error (" + root.path() + "/bin)"), std::string::npos) << log;
}

TEST(Qmpage, HelpAndUsage) {
    Result r = Qmpage("--help");
    EXPECT_EQ(r.status, 0);
    EXPECT_NE(r.out.find("Usage: qmpage"), std::string::npos);
    EXPECT_EQ(Qmpage("").status, 2);
    EXPECT_EQ(Qmpage("--bogus x").status, 2);
}

}  // namespace
