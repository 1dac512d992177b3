#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>

#include "qm/platform/named_objects.h"
#include "qm/testing/testing.h"

namespace qm::platform {

using testing::Child;
using testing::TempRoot;

TEST(SharedBlock, SharedBetweenProcessesAndBoundsChecked) {
    TempRoot root;
    SharedBlock block;
    EXPECT_EQ(block.Open("QntfmgrMap"), kErrFileNotFound);
    ASSERT_EQ(block.Create("QntfmgrMap"), 0);
    char zeros[kSharedBlockSize] = {};
    EXPECT_EQ(std::memcmp(block.Data(), zeros, kSharedBlockSize), 0);
    Child writer([] {
        SharedBlock b;
        if (b.Open("QntfmgrMap") != 0) return 1;
        const char cmd[] = "5\0x";
        return b.Write(0, std::span<const char>(cmd, 4));
    });
    ASSERT_EQ(writer.Wait(), 0);
    char got[4];
    ASSERT_EQ(block.Read(0, got), 0);
    EXPECT_EQ(std::memcmp(got, "5\0x", 4), 0);
    char out[3];
    EXPECT_EQ(block.Read(8, out), kErrInvalidParameter);
    EXPECT_EQ(block.Write(kSharedBlockSize, std::span<const char>("a", 1)), kErrInvalidParameter);
    EXPECT_EQ(block.Write(9, std::span<const char>("a", 1)), 0);
}

TEST(SharedBlock, FreshAfterItsCreatorWasKilled) {
    TempRoot root;
    testing::Holder child([&](const testing::Holder::Hold& hold) {
        SharedBlock b;
        b.Create("MapServiceCtrl");
        b.Write(0, std::span<const char>("9", 2));
        hold();
        return 0;
    });
    ASSERT_TRUE(child.ready());
    child.Kill(9);
    child.Wait();
    SharedBlock b;
    EXPECT_EQ(b.Open("MapServiceCtrl"), kErrFileNotFound);
    ASSERT_EQ(b.Create("MapServiceCtrl"), 0);
    EXPECT_EQ(b.Data()[0], '\0') << "no stale command survives";
}

TEST(SharedBlock, CreatorChoosesALargerSizeThatOpenersSee) {
    TempRoot root;
    SharedBlock block;
    EXPECT_EQ(block.Create("QntpsetrMap", 0), kErrInvalidParameter);
    EXPECT_EQ(block.Create("QntpsetrMap", kSharedBlockMaxSize + 1), kErrInvalidParameter);
    ASSERT_EQ(block.Create("QntpsetrMap", 32), 0);
    EXPECT_EQ(block.Size(), 32u);
    Child writer([] {
        SharedBlock b;
        if (b.Open("QntpsetrMap") != 0 || b.Size() != 32) return 1;
        const char text[] = "1\0" "192.168.100.200";  // command and address with their NULs
        if (b.Write(32, std::span<const char>("x", 1)) != kErrInvalidParameter) return 2;
        return b.Write(0, std::span<const char>(text, sizeof text));
    });
    ASSERT_EQ(writer.Wait(), 0);
    EXPECT_STREQ(block.Data() + 2, "192.168.100.200");
    SharedBlock other;
    EXPECT_EQ(other.Create("QntpsetrMap"), kErrAlreadyExists);
    EXPECT_EQ(other.Size(), 32u) << "an existing block keeps its creator's size";
}

}  // namespace qm::platform
