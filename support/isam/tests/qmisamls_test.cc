// The listing tool against a file set made through the store.
#include <gtest/gtest.h>

#include <sys/wait.h>

#include <sqlite3.h>

#include <cstdio>
#include <fstream>

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

// A set made through the store, with records enough to fill several pages.
void MakeSet(int records) {
    INTISAM(6, 10, 4);
    auto def = Definition();
    ASSERT_EQ(CREIFIL(&def), 0);
    for (int i = 0; i < records; ++i) {
        Rec r(static_cast<uint32_t>(i % 7), "name " + std::to_string(i));
        ASSERT_EQ(ADDREC(def.dataFileNumber, r.bytes), 0);
    }
    CLIFIL(&def);
    CLISAM();
}

void Sql(const std::string& file, const std::string& sql) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(file.c_str(), &db), SQLITE_OK);
    EXPECT_EQ(sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr), SQLITE_OK) << sqlite3_errmsg(db);
    sqlite3_close(db);
}

TEST(QmIsamLs, CheckPassesWhatTheStoreWrote) {
    Root root;
    MakeSet(300);
    int status = -1;
    std::string out = RunTool("--check ../conf/TESTSET", &status);
    EXPECT_EQ(status, 0) << out;
    EXPECT_NE(out.find("ok: ../conf/TESTSET.dat: 300 records, 3 indexes"), std::string::npos) << out;
}

// Each fault a write cut short or a stray writer could leave is found and named.
TEST(QmIsamLs, CheckFindsKeysThatAreNotTheRecords) {
    Root root;
    MakeSet(20);
    const std::string file = root.conf("TESTSET.dat");
    Sql(file, "UPDATE records SET k2 = x'0000000900' WHERE pos = 3;"   // another record's key
              "UPDATE records SET k3 = NULL WHERE pos = 5;"            // a key never written
              "UPDATE records SET data = x'00' WHERE pos = 7;");       // a record cut short
    int status = -1;
    std::string out = RunTool("--check ../conf/TESTSET", &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("record 3: the key of index 2 is not the record's"), std::string::npos) << out;
    EXPECT_NE(out.find("record 5 has no key of index 3"), std::string::npos) << out;
    EXPECT_NE(out.find("record 7 has 1 bytes, the layout 64"), std::string::npos) << out;
    EXPECT_EQ(out.find("ok:"), std::string::npos) << out;
}

TEST(QmIsamLs, CheckFindsDamagedPagesAndUnreadableLayouts) {
    Root root;
    MakeSet(300);
    const std::string file = root.conf("TESTSET.dat");
    Sql(file, "PRAGMA wal_checkpoint(TRUNCATE);");  // every page in the main file
    // Scribble over the start of a page in the middle of the file (its b-tree page header):
    // SQLite must notice.
    {
        std::fstream f(file, std::ios::in | std::ios::out | std::ios::binary);
        ASSERT_TRUE(f);
        f.seekg(0, std::ios::end);
        const auto size = static_cast<long>(f.tellg());
        ASSERT_GT(size, 4 * 4096);
        f.seekp(size / 4096 / 2 * 4096);
        const std::string junk(600, '\x5A');
        f.write(junk.data(), static_cast<std::streamsize>(junk.size()));
    }
    int status = -1;
    std::string out = RunTool("--check ../conf/TESTSET", &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("fault: ../conf/TESTSET.dat:"), std::string::npos) << out;

    for (const char* suffix : {"", "-wal", "-shm"}) std::remove((file + suffix).c_str());
    MakeSet(0);  // a fresh set whose layout text is then spoilt
    Sql(root.conf("TESTSET.dat"), "UPDATE fileset SET layout = 'record 64; index 1 key 8 dup pad 0 = (4,4,odd)'");
    out = RunTool("--check ../conf/TESTSET", &status);
    EXPECT_EQ(status, 1) << out;
    EXPECT_NE(out.find("cannot be read"), std::string::npos) << out;
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
