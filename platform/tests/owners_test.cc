#include "qm/platform/owners.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sqlite3.h>
#include <unistd.h>

#include <cstring>

#include "qm/platform/library.h"
#include "qm/testing/testing.h"

namespace {

using qm::platform::UniqueFd;

bool IsOpen(int fd) { return fcntl(fd, F_GETFD) != -1; }

TEST(UniqueFd, ClosesOnceAndHandsOver) {
    int raw[2];
    ASSERT_EQ(pipe(raw), 0);
    {
        UniqueFd a(raw[0]);
        UniqueFd b(std::move(a));
        EXPECT_FALSE(a.ok());
        EXPECT_EQ(b.get(), raw[0]);
        UniqueFd c;
        c = std::move(b);
        EXPECT_TRUE(IsOpen(raw[0]));
    }
    EXPECT_FALSE(IsOpen(raw[0]));
    UniqueFd w(raw[1]);
    int kept = w.release();
    EXPECT_FALSE(w.ok());
    EXPECT_TRUE(IsOpen(kept));
    w.reset(kept);
    EXPECT_EQ(w.close(), 0);
    EXPECT_FALSE(IsOpen(kept));
    EXPECT_EQ(w.close(), 0);  // nothing held: nothing to report
}

TEST(UniqueFd, ResetToTheSameDescriptorKeepsItOpen) {
    UniqueFd f(::open("/dev/null", O_RDONLY | O_CLOEXEC));
    ASSERT_TRUE(f.ok());
    int fd = f.get();
    f.reset(fd);
    EXPECT_TRUE(IsOpen(fd));
}

TEST(UniqueLibrary, LoadsBySymbolAndUnloads) {
    qm::platform::UniqueLibrary lib(qm::platform::LoadLibraryByName("QmTestLibA"));
    ASSERT_TRUE(lib) << qm::platform::LibraryError();
    EXPECT_NE(lib.Symbol("QmTestValue"), nullptr);
    EXPECT_EQ(lib.Symbol("NoSuchSymbol"), nullptr);
    qm::platform::UniqueLibrary moved(std::move(lib));
    EXPECT_FALSE(lib);
    EXPECT_TRUE(moved);
}

TEST(UniqueSqlite, ClosesTheConnectionEvenWithAStatementOpen) {
    qm::testing::TempRoot root;
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open((root / "t.db").c_str(), &raw), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    {
        qm::platform::UniqueSqlite db(raw);
        ASSERT_EQ(sqlite3_prepare_v2(db.get(), "SELECT 1", -1, &st, nullptr), SQLITE_OK);
    }
    // close_v2 left the connection as a zombie until its last statement ends; finalising
    // it now must be valid (an early close would make this a use after free).
    EXPECT_EQ(sqlite3_finalize(st), SQLITE_OK);
}

TEST(UniqueMapping, MapsAndUnmapsAFile) {
    qm::testing::TempRoot root;
    UniqueFd fd(::open((root / "block").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    ASSERT_TRUE(fd.ok());
    ASSERT_EQ(ftruncate(fd.get(), 10), 0);
    {
        auto m = qm::platform::UniqueMapping::Map(fd.get(), 10, true);
        ASSERT_TRUE(m);
        std::memcpy(m.get(), "hello", 5);
        auto other = std::move(m);
        EXPECT_FALSE(m);
        EXPECT_EQ(other.size(), 10u);
    }
    char buf[5] = {};
    ASSERT_EQ(pread(fd.get(), buf, 5, 0), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");
    EXPECT_FALSE(qm::platform::UniqueMapping::Map(-1, 10, false));
}

}  // namespace
