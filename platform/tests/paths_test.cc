#include <gtest/gtest.h>
#include <stdlib.h>

#include "qm/platform/paths.h"
#include "qm/testing/testing.h"

namespace qm::platform {

TEST(Paths, WindowsPathsBecomePosix) {
    EXPECT_EQ(ToPosixPath("..\\conf\\QMCONFIG"), "../conf/QMCONFIG");
    EXPECT_EQ(ToPosixPath("C:\\Quinsward\\bin\\ntccnf.ini"), "/Quinsward/bin/ntccnf.ini");
    EXPECT_EQ(ToPosixPath("/already/posix"), "/already/posix");
    EXPECT_EQ(ToPosixPath("a\\\\b//c"), "a/b/c");
    EXPECT_EQ(ToPosixPath(""), "");
    EXPECT_EQ(ToPosixPath("x:"), "");
}

TEST(Paths, RootComesFromEnvironmentThenExecutable) {
    {
        testing::TempRoot root;
        EXPECT_EQ(InstallRoot(), root.path());
        EXPECT_EQ(RootPath("..\\conf\\x"), root.path() + "/../conf/x");
        EXPECT_EQ(RootPath("bin\\ntccnf.ini"), root.path() + "/bin/ntccnf.ini");
        setenv("QM_ROOT", (root.path() + "///").c_str(), 1);
        EXPECT_EQ(InstallRoot(), root.path());
    }
    unsetenv("QM_ROOT");
    // Without QM_ROOT the root is the parent of the folder holding the test binary.
    std::string bin = testing::BuildBinFolder();
    EXPECT_EQ(InstallRoot() + "/bin", bin);
}

}  // namespace qm::platform
