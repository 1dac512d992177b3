// The store's calls against real files: results, orders, walks, current records, locks, compaction.
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <set>
#include <thread>
#include <vector>

#include "isam_fixture.h"

using namespace isamtest;

namespace {

class IsamTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(INTISAM(6, 10, 4), 0); }
    void TearDown() override { CLISAM(); }

    int Create(IsamFileSet& def) { return CREIFIL(&def); }
    void Fill(int d, const std::vector<std::pair<uint32_t, std::string>>& recs) {
        for (auto& [g, n] : recs) {
            Rec r(g, n);
            ASSERT_EQ(ADDREC(d, r.bytes), 0) << g << " " << n;
        }
    }
    Root root;
};

TEST_F(IsamTest, OpenMissingCreateAndReopen) {
    auto def = Definition();
    EXPECT_EQ(OPNIFIL(&def), ISAM_FILE_MISSING);
    ASSERT_EQ(Create(def), 0);
    EXPECT_GT(def.dataFileNumber, 0);
    struct stat st {};
    EXPECT_EQ(stat(root.conf("TESTSET.dat").c_str(), &st), 0);
    auto again = Definition();
    EXPECT_EQ(CREIFIL(&again), ISAM_FILE_EXISTS);
    ASSERT_EQ(OPNIFIL(&again), 0);
    // Both open at once get ranges that do not overlap: data file plus three indexes.
    EXPECT_GE(std::abs(again.dataFileNumber - def.dataFileNumber), 4);
    EXPECT_EQ(CLIFIL(&again), 0);
    EXPECT_EQ(CLIFIL(&def), 0);
    EXPECT_EQ(CLIFIL(&def), ISAM_BAD_FILE_NUMBER);
}

TEST_F(IsamTest, LayoutMismatchAndBadDefinitionsAreRefused) {
    auto def = Definition();
    ASSERT_EQ(Create(def), 0);
    CLIFIL(&def);
    auto other = Definition();
    other.recordLength = 128;
    EXPECT_EQ(OPNIFIL(&other), ISAM_BAD_DEFINITION);
    auto bad = Definition();
    const IsamSegment beyond[] = {{60, 8, ISAM_SEG_TEXT}};
    const IsamIndex ix[] = {{"x", 8, 0, 0, 1, beyond}};
    bad.indexes = ix;
    bad.indexCount = 1;
    EXPECT_EQ(OPNIFIL(&bad), ISAM_BAD_DEFINITION);
    EXPECT_EQ(OPNIFIL(nullptr), ISAM_BAD_DEFINITION);
}

// Unsigned segments longer than a machine word still compare as one number: the byte stored
// last is the most significant.
TEST_F(IsamTest, LongUnsignedSegmentsCompareFromTheirLastByte) {
    const IsamSegment wide[] = {{4, 12, ISAM_SEG_UNSIGNED}};
    const IsamIndex ix[] = {{"W.idx", 12, 0, ' ', 1, wide}};
    IsamFileSet def{"..\\conf\\WIDE", -1, 32, 4096, 0, 1, ix};
    ASSERT_EQ(Create(def), 0);
    int d = def.dataFileNumber;
    unsigned char a[32] = {}, b[32] = {}, out[32] = {};
    a[4] = 0xFF;   // small: only the least significant byte set
    b[15] = 0x01;  // large: the most significant byte set
    ASSERT_EQ(ADDREC(d, b), 0);
    ASSERT_EQ(ADDREC(d, a), 0);
    ASSERT_EQ(FRSREC(d + 1, out), 0);
    EXPECT_EQ(out[4], 0xFF);
    ASSERT_EQ(NXTREC(d + 1, out), 0);
    EXPECT_EQ(out[15], 0x01);
    unsigned char key[12] = {};
    key[11] = 0x01;
    ASSERT_NE(TFRMKEY(d + 1, key), nullptr);
    EXPECT_EQ(key[0], 0x01);
    ASSERT_EQ(EQLREC(d + 1, key, out), 0);
    EXPECT_EQ(out[15], 0x01);
}

TEST_F(IsamTest, AddDuplicateExactAndGreaterLookups) {
    auto def = Definition();
    ASSERT_EQ(Create(def), 0);
    int d = def.dataFileNumber;
    Fill(d, {{2, "b"}, {1, "a"}, {2, "a"}, {10, "z"}});
    Rec dup(2, "b");
    EXPECT_EQ(ADDREC(d, dup.bytes), ISAM_KEY_DUPLICATE);

    Rec out;
    ASSERT_EQ(EQLREC(d + 2, Key(d, 2, 2, "a").data(), out.bytes), 0);
    EXPECT_EQ(out.name(), "a");
    EXPECT_EQ(out.group(), 2u);
    EXPECT_EQ(EQLREC(d + 2, Key(d, 2, 3, "a").data(), out.bytes), ISAM_END);
    // Unsigned keys order by value (256 > 10 although its low byte is smaller).
    Fill(d, {{256, "m"}});
    ASSERT_EQ(GTREC(d + 2, Key(d, 2, 10, "z").data(), out.bytes), 0);
    EXPECT_EQ(out.group(), 256u);
    ASSERT_EQ(GTEREC(d + 2, Key(d, 2, 2, "b").data(), out.bytes), 0);
    EXPECT_EQ(out.name(), "b");
    EXPECT_EQ(GTREC(d + 2, Key(d, 2, 256, "m").data(), out.bytes), ISAM_END);
    EXPECT_EQ(DATENT(d), 5);
    CLIFIL(&def);
}

TEST_F(IsamTest, FullWalksBothWays) {
    auto def = Definition();
    ASSERT_EQ(Create(def), 0);
    int d = def.dataFileNumber;
    Fill(d, {{3, "c"}, {1, "a"}, {2, "b"}});
    Rec out;
    std::vector<uint32_t> seen;
    for (int r = FRSREC(d + 2, out.bytes); r == 0; r = NXTREC(d + 2, out.bytes))
        seen.push_back(out.group());
    EXPECT_EQ(seen, (std::vector<uint32_t>{1, 2, 3}));
    seen.clear();
    for (int r = LSTREC(d + 2, out.bytes); r == 0; r = PRVREC(d + 2, out.bytes))
        seen.push_back(out.group());
    EXPECT_EQ(seen, (std::vector<uint32_t>{3, 2, 1}));
    auto fresh = Definition("..\\conf\\EMPTY");
    ASSERT_EQ(CREIFIL(&fresh), 0);
    EXPECT_EQ(FRSREC(fresh.dataFileNumber + 1, out.bytes), ISAM_END);
    EXPECT_EQ(NXTREC(fresh.dataFileNumber + 1, out.bytes), ISAM_NO_CURRENT);
    CLIFIL(&fresh);
    CLIFIL(&def);
}

TEST_F(IsamTest, DuplicatesComeInPositionOrderAndSetWalksStopAtThePrefix) {
    auto def = Definition();
    ASSERT_EQ(Create(def), 0);
    int d = def.dataFileNumber;
    Fill(d, {{5, "zz"}, {4, "x"}, {5, "aa"}, {6, "y"}, {5, "mm"}});
    Rec out;
    std::vector<std::string> names;
    auto key = Key(d, 1, 5, "");
    for (int r = FRSSET(d + 1, key.data(), out.bytes, 4); r == 0; r = NXTSET(d + 1, out.bytes))
        names.push_back(out.name());
    EXPECT_EQ(names, (std::vector<std::string>{"zz", "aa", "mm"}));
    names.clear();
    for (int r = LSTSET(d + 1, key.data(), out.bytes, 4); r == 0; r = PRVSET(d + 1, out.bytes))
        names.push_back(out.name());
    EXPECT_EQ(names, (std::vector<std::string>{"mm", "aa", "zz"}));
    auto none = Key(d, 1, 7, "");
    EXPECT_EQ(FRSSET(d + 1, none.data(), out.bytes, 4), ISAM_END);
    EXPECT_EQ(LSTSET(d + 1, none.data(), out.bytes, 4), ISAM_END);
    CLIFIL(&def);
}

TEST_F(IsamTest, DeletingAndRewritingDuringAWalkKeepsTheWalkGoing) {
    auto def = Definition();
    ASSERT_EQ(Create(def), 0);
    int d = def.dataFileNumber;
    Fill(d, {{1, "dev"}, {2, "dev"}, {3, "dev"}, {4, "other"}});
    Rec out;
    auto key = Key(d, 3, 0, "dev");
    int renamed = 0;
    // Renaming each entry to a key greater than the old one must not end the walk early.
    for (int r = FRSSET(d + 3, key.data(), out.bytes, 31); r == 0; r = NXTSET(d + 3, out.bytes)) {
        Rec changed(out.group(), "zzz");
        ASSERT_EQ(RWTREC(d, changed.bytes), 0);
        ASSERT_EQ(UPDCURI(d, 2), 0);
        ++renamed;
    }
    EXPECT_EQ(renamed, 3);
    auto g = Key(d, 1, 2, "");
    int deleted = 0;
    Fill(d, {{2, "b"}, {2, "c"}});
    for (int r = FRSSET(d + 1, g.data(), out.bytes, 4); r == 0; r = NXTSET(d + 1, out.bytes)) {
        ASSERT_EQ(DELREC(d), 0);
        ++deleted;
    }
    EXPECT_EQ(deleted, 3);
    EXPECT_EQ(DATENT(d), 3);
    EXPECT_EQ(DELREC(d), ISAM_NO_CURRENT);
    // A rewrite onto a key that another record holds is refused as a duplicate.
    ASSERT_EQ(EQLREC(d + 2, Key(d, 2, 1, "zzz").data(), out.bytes), 0);
    Rec clash(3, "zzz");
    EXPECT_EQ(RWTREC(d, clash.bytes), ISAM_KEY_DUPLICATE);
    CLIFIL(&def);
}

TEST_F(IsamTest, CurrentPositionCanBeTakenAndRestored) {
    auto def = Definition();
    ASSERT_EQ(Create(def), 0);
    int d = def.dataFileNumber;
    Fill(d, {{1, "a"}, {1, "b"}, {1, "c"}});
    Rec out;
    ASSERT_EQ(EQLREC(d + 2, Key(d, 2, 1, "b").data(), out.bytes), 0);
    long pos = GETCURP(d);
    EXPECT_NE(pos, 0);
    ASSERT_EQ(FRSREC(d + 2, out.bytes), 0);
    EXPECT_EQ(out.name(), "a");
    Rec back;
    ASSERT_EQ(SETCURI(d, pos, back.bytes, kRecordLength), 0);
    EXPECT_EQ(back.name(), "b");
    ASSERT_EQ(NXTREC(d + 2, out.bytes), 0);
    EXPECT_EQ(out.name(), "c");
    EXPECT_EQ(SETCURI(d, 9999, back.bytes, kRecordLength), ISAM_END);
    EXPECT_EQ(GETCURP(12345), 0);
    CLIFIL(&def);
}

TEST_F(IsamTest, InitialisationReportsASecondCallAsAlreadyDone) {
    EXPECT_EQ(INTISAM(6, 10, 4), ISAM_ALREADY_INIT);
    EXPECT_EQ(ctThrdInit(2, 0, 0), 0);
    int result = -1;
    std::atomic<bool> done{false};
    struct Arg {
        int* result;
        std::atomic<bool>* done;
    } arg{&result, &done};
    ASSERT_EQ(ctThrdCreate(
                  [](void* p) {
                      auto* a = static_cast<Arg*>(p);
                      *a->result = INTISAM(6, 10, 4);
                      a->done->store(true);
                  },
                  &arg, 0, 0),
              0);
    ASSERT_TRUE(qm::testing::Eventually([&] { return done.load(); }));
    EXPECT_EQ(result, 0);  // a new thread starts without a context
}

TEST_F(IsamTest, CompactionShrinksTheFileAfterDeletions) {
    auto def = Definition();
    ASSERT_EQ(Create(def), 0);
    int d = def.dataFileNumber;
    for (uint32_t i = 0; i < 3000; ++i) {
        Rec r(i, "device-" + std::to_string(i));
        ASSERT_EQ(ADDREC(d, r.bytes), 0);
    }
    Rec out;
    for (int r = FRSREC(d + 2, out.bytes); r == 0; r = NXTREC(d + 2, out.bytes))
        if (out.group() >= 10) {
            ASSERT_EQ(DELREC(d), 0);
        }
    ASSERT_EQ(CLIFIL(&def), 0);
    auto size = [&] {
        struct stat a {}, b {};
        stat(root.conf("TESTSET.dat").c_str(), &a);
        long wal = stat(root.conf("TESTSET.dat-wal").c_str(), &b) == 0 ? b.st_size : 0;
        return a.st_size + wal;
    };
    long before = size();
    ASSERT_EQ(CMPIFIL(&def), 0);
    long after = size();
    EXPECT_LT(after * 4, before) << before << " -> " << after;
    ASSERT_EQ(OPNIFIL(&def), 0);
    EXPECT_EQ(DATENT(def.dataFileNumber), 10);
    CLIFIL(&def);
    auto missing = Definition("..\\conf\\NOSUCH");
    EXPECT_EQ(CMPIFIL(&missing), ISAM_FILE_MISSING);
}

// Read-modify-write of one counter record from several processes: the store lock must make
// every increment count.
TEST_F(IsamTest, LockSerialisesReadModifyWriteAcrossProcesses) {
    auto def = Definition();
    ASSERT_EQ(Create(def), 0);
    Rec counter(1, "counter");
    ASSERT_EQ(ADDREC(def.dataFileNumber, counter.bytes), 0);
    CLIFIL(&def);
    constexpr int kProcesses = 3, kRounds = 40;
    std::vector<std::unique_ptr<qm::testing::Child>> children;
    for (int p = 0; p < kProcesses; ++p) {
        children.push_back(std::make_unique<qm::testing::Child>([] {
            CLISAM();
            INTISAM(6, 10, 4);
            for (int i = 0; i < kRounds; ++i) {
                auto def = Definition();
                if (OPNIFIL(&def) != 0) return 1;
                int d = def.dataFileNumber;
                if (LKISAM(ISAM_LOCK_WRITE) != 0) return 2;
                Rec r;
                if (EQLREC(d + 2, Key(d, 2, 1, "counter").data(), r.bytes) != 0) return 3;
                uint32_t n;
                std::memcpy(&n, r.bytes + 40, 4);
                ++n;
                std::memcpy(r.bytes + 40, &n, 4);
                std::this_thread::yield();
                if (RWTREC(d, r.bytes) != 0) return 4;
                if (LKISAM(ISAM_LOCK_FREE) != 0) return 5;
                if (CLIFIL(&def) != 0) return 6;
            }
            return 0;
        }));
    }
    for (auto& c : children) EXPECT_EQ(c->Wait(std::chrono::seconds(60)), 0);
    ASSERT_EQ(OPNIFIL(&def), 0);
    Rec r;
    ASSERT_EQ(EQLREC(def.dataFileNumber + 2, Key(def.dataFileNumber, 2, 1, "counter").data(), r.bytes), 0);
    uint32_t n;
    std::memcpy(&n, r.bytes + 40, 4);
    EXPECT_EQ(n, static_cast<uint32_t>(kProcesses * kRounds));
    CLIFIL(&def);
}

TEST_F(IsamTest, ThreadsWithTheirOwnContextsAddWithoutLoss) {
    auto def = Definition();
    ASSERT_EQ(Create(def), 0);
    CLIFIL(&def);
    std::vector<std::thread> threads;
    std::atomic<int> failures{0};
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t, &failures] {
            INTISAM(6, 10, 4);
            for (int i = 0; i < 50; ++i) {
                auto def = Definition();
                if (OPNIFIL(&def) != 0) { ++failures; continue; }
                Rec r(static_cast<uint32_t>(t), "n" + std::to_string(i));
                if (ADDREC(def.dataFileNumber, r.bytes) != 0) ++failures;
                CLIFIL(&def);
            }
            CLISAM();
        });
    }
    for (auto& th : threads) th.join();
    EXPECT_EQ(failures.load(), 0);
    ASSERT_EQ(OPNIFIL(&def), 0);
    EXPECT_EQ(DATENT(def.dataFileNumber), 200);
    CLIFIL(&def);
}

}  // namespace
