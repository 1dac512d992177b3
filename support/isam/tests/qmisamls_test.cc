// The listing tool against a file set made through the store.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <cstdio>

#include "isam_fixture.h"

using namespace isamtest;

namespace {

std::string RunTool(const std::string& args, int* status = nullptr) {
    std::string cmd = qm::testing::BuildBinFolder() + "/qmisamls " + args + " 2>&1";
    FILE* p = popen(cmd.c_str(), "r");
    std::string out;
    char buf[512];
    while (p && fgets(buf, sizeof buf, p)) out += buf;
    int rc = p ? pclose(p) : -1;
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

TEST(QmIsamLs, ListsRecordsInPositionOrIndexOrder) {
    Root root;
    INTISAM(6, 10, 4);
    auto def = Definition();
    ASSERT_EQ(CREIFIL(&def), 0);
    Rec b(2, "bravo"), a(1, "al\"pha");
    ASSERT_EQ(ADDREC(def.dataFileNumber, b.bytes), 0);
    ASSERT_EQ(ADDREC(def.dataFileNumber, a.bytes), 0);
    CLIFIL(&def);
    CLISAM();
    int status = -1;
    std::string out = RunTool("'..\\conf\\TESTSET'", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("record 64; index 1 key 8 dup"), std::string::npos) << out;
    auto bravo = out.find("1: @4 <02> @8 \"bravo\"");
    auto alpha = out.find("2: @4 <01> @8 \"al\\\"pha\"");
    ASSERT_NE(bravo, std::string::npos) << out;
    ASSERT_NE(alpha, std::string::npos) << out;
    EXPECT_LT(bravo, alpha);
    out = RunTool("--index 3 --keys ../conf/TESTSET", &status);
    EXPECT_EQ(status, 0);
    EXPECT_LT(out.find("al\\\"pha"), out.find("bravo")) << out;
    EXPECT_NE(out.find("key 1: 00 00 00 01 00 00 00 02"), std::string::npos) << out;
    EXPECT_EQ(RunTool("--count ../conf/TESTSET.dat"), "2\n");
    EXPECT_NE(RunTool("--hex ../conf/TESTSET").find("0000  00 00 00 00 02 00 00 00 62 72 61 76 6F"), std::string::npos);
}

TEST(QmIsamLs, RefusesBadArgumentsAndFiles) {
    Root root;
    int status = -1;
    EXPECT_NE(RunTool("--help", &status).find("usage: qmisamls"), std::string::npos);
    EXPECT_EQ(status, 0);
    RunTool("", &status);
    EXPECT_EQ(status, 2);
    EXPECT_EQ(RunTool("--index 0 x", &status), "qmisamls: bad value for --index: 0 (see --help)\n");
    EXPECT_EQ(status, 2);
    EXPECT_EQ(RunTool("--bogus x", &status), "qmisamls: unknown option --bogus (see --help)\n");
    EXPECT_EQ(status, 2);
    EXPECT_NE(RunTool("../conf/NOSUCH", &status).find("cannot open"), std::string::npos);
    EXPECT_EQ(status, 1);
    FILE* f = fopen("../conf/JUNK.dat", "w");
    ASSERT_NE(f, nullptr);
    fputs("junk junk junk", f);
    fclose(f);
    RunTool("../conf/JUNK", &status);
    EXPECT_EQ(status, 1);
}

}  // namespace
