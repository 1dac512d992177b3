// Kills a writer at random moments and checks that every file set reopens consistent.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <random>
#include <set>

#include "isam_fixture.h"

using namespace isamtest;

namespace {

// The writer: pairs of records added and removed together under the store lock, plus
// unlocked rewrites, until it is killed.
int Writer(unsigned seed) {
    CLISAM();
    INTISAM(6, 10, 4);
    std::mt19937 rng(seed);
    for (uint32_t i = seed * 100000;; ++i) {
        auto def = Definition();
        int r = OPNIFIL(&def);
        if (r == ISAM_FILE_MISSING) r = CREIFIL(&def);
        if (r == ISAM_FILE_EXISTS) r = OPNIFIL(&def);
        if (r != 0) return 10 + r;
        int d = def.dataFileNumber;
        std::string name = "p" + std::to_string(i);
        if (LKISAM(ISAM_LOCK_WRITE) != 0) return 2;
        Rec a(1, name), b(2, name);
        if (ADDREC(d, a.bytes) != 0 || ADDREC(d, b.bytes) != 0) return 3;
        if (rng() % 3 == 0) {
            // Remove the oldest pair, both halves inside the same lock span.
            Rec first;
            if (FRSSET(d + 1, Key(d, 1, 1, "").data(), first.bytes, 4) == 0) {
                std::string old = first.name();
                if (DELREC(d) != 0) return 4;
                Rec other;
                if (EQLREC(d + 2, Key(d, 2, 2, old).data(), other.bytes) != 0) return 5;
                if (DELREC(d) != 0) return 6;
            }
        }
        if (LKISAM(ISAM_LOCK_FREE) != 0) return 7;
        // An unlocked rewrite of a third, independent record.
        Rec c(3, "counter"), cur;
        if (EQLREC(d + 2, Key(d, 2, 3, "counter").data(), cur.bytes) == 0) {
            std::memcpy(c.bytes + 40, &i, 4);
            if (RWTREC(d, c.bytes) != 0) return 8;
        } else if (ADDREC(d, c.bytes) != 0) {
            return 9;
        }
        if (CLIFIL(&def) != 0) return 10;
    }
}

std::string BigEndian(uint32_t v) {
    std::string s(4, '\0');
    for (int i = 0; i < 4; ++i) s[i] = static_cast<char>(v >> (24 - 8 * i));
    return s;
}

// Every stored key must be the one the record's bytes and position give.
void CheckRawFile(const std::string& path) {
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "ok");
    sqlite3_finalize(st);
    ASSERT_EQ(sqlite3_prepare_v2(db, "SELECT pos, data, k1, k2, k3 FROM records", -1, &st, nullptr),
              SQLITE_OK);
    while (sqlite3_step(st) == SQLITE_ROW) {
        auto pos = static_cast<uint32_t>(sqlite3_column_int64(st, 0));
        ASSERT_EQ(sqlite3_column_bytes(st, 1), kRecordLength);
        const auto* rec = static_cast<const unsigned char*>(sqlite3_column_blob(st, 1));
        uint32_t group;
        std::memcpy(&group, rec + 4, 4);
        std::string name(reinterpret_cast<const char*>(rec + 8), 32);
        auto col = [&](int c) {
            return std::string(static_cast<const char*>(sqlite3_column_blob(st, c)),
                               sqlite3_column_bytes(st, c));
        };
        EXPECT_EQ(col(2), BigEndian(group) + BigEndian(pos));
        EXPECT_EQ(col(3), BigEndian(group) + name);
        EXPECT_EQ(col(4), name + BigEndian(pos));
    }
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST(IsamCrash, KilledWriterLeavesEveryIndexConsistent) {
    Root root;
    std::mt19937 rng(12345);
    int survivedWork = 0;
    for (unsigned round = 1; round <= 12; ++round) {
        {
            qm::testing::Child writer([round] { return Writer(round); });
            std::this_thread::sleep_for(std::chrono::milliseconds(20 + rng() % 120));
            writer.Kill(9);
            ASSERT_EQ(writer.Wait(), -9) << "the writer stopped on its own";
        }
        auto def = Definition();
        int r = OPNIFIL(&def);
        if (r == ISAM_FILE_MISSING) continue;  // killed before the file was linked into place
        ASSERT_EQ(r, 0);
        int d = def.dataFileNumber;
        long total = DATENT(d);
        // Every index walks over every record exactly once.
        for (int k = 1; k <= 3; ++k) {
            long n = 0;
            Rec out;
            for (int s = FRSREC(d + k, out.bytes); s == 0; s = NXTREC(d + k, out.bytes)) ++n;
            EXPECT_EQ(n, total) << "index " << k;
        }
        // Pairs were written and removed under one lock: never half a pair.
        std::set<std::string> ones, twos;
        Rec out;
        for (int s = FRSREC(d + 2, out.bytes); s == 0; s = NXTREC(d + 2, out.bytes))
            (out.group() == 1 ? ones : out.group() == 2 ? twos : ones).insert(
                out.group() == 3 ? std::string("counter") : out.name());
        ones.erase("counter");
        EXPECT_EQ(ones, twos);
        survivedWork += static_cast<int>(twos.size());
        CLIFIL(&def);
        CheckRawFile(root.conf("TESTSET.dat"));
    }
    EXPECT_GT(survivedWork, 0) << "the writers never got anything done";
}

}  // namespace
