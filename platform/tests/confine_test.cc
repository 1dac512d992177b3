#include "qm/platform/confine.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <fstream>

#include "qm/platform/paths.h"
#include "qm/testing/testing.h"

namespace {

using namespace qm::platform;

class Confine : public ::testing::Test {
protected:
    void SetUp() override {
        base = root.path() + "/docs";
        MakeDirectories(base + "/img");
        std::ofstream(base + "/img/a.gif") << "GIF";
        std::ofstream(base + "/.hidden") << "x";
        MakeDirectories(root.path() + "/secret");
        std::ofstream(root.path() + "/secret/key") << "k";
        real = Real(base);
    }
    static std::string Real(const std::string& p) {
        char buf[4096];
        return realpath(p.c_str(), buf) ? buf : "";
    }
    ConfineResult Run(std::string_view name, unsigned flags = 0) {
        out = "?";
        return ConfinePath(base, name, flags, &out);
    }
    qm::testing::TempRoot root;
    std::string base, real, out;
};

TEST_F(Confine, PlainNamesResolveInsideTheRoot) {
    EXPECT_EQ(Run("img/a.gif"), kConfineOk);
    EXPECT_EQ(out, real + "/img/a.gif");
    EXPECT_EQ(Run("img//./a.gif"), kConfineOk);
    EXPECT_EQ(out, real + "/img/a.gif");
    EXPECT_EQ(Run(""), kConfineOk);
    EXPECT_EQ(out, real);
    // A file about to be made: its folder is real, the rest follows as given.
    EXPECT_EQ(Run("img/new/b.gif"), kConfineOk);
    EXPECT_EQ(out, real + "/img/new/b.gif");
}

TEST_F(Confine, ClimbingAndAbsoluteNamesAreRefused) {
    const std::string_view bads[] = {"..", "../secret/key", "img/../../secret/key", "/etc/passwd",
                                     "img/..", std::string_view("img/a\0.gif", 10)};
    for (std::string_view bad : bads) {
        EXPECT_EQ(Run(bad), kConfineRefused) << bad;
        EXPECT_EQ(out, "");
    }
}

TEST_F(Confine, BackslashesAreRefusedUnlessTheySeparate) {
    EXPECT_EQ(Run("img\\a.gif"), kConfineRefused);
    EXPECT_EQ(Run("img\\a.gif", kConfineBackslashSeparates), kConfineOk);
    EXPECT_EQ(out, real + "/img/a.gif");
    EXPECT_EQ(Run("..\\secret\\key", kConfineBackslashSeparates), kConfineRefused);
    EXPECT_EQ(Run("\\etc\\passwd", kConfineBackslashSeparates), kConfineRefused);
    EXPECT_EQ(Run("C:\\boot.ini", kConfineBackslashSeparates), kConfineRefused);
}

TEST_F(Confine, DotNamesAreRefusedWhereAsked) {
    EXPECT_EQ(Run(".hidden"), kConfineOk);
    EXPECT_EQ(Run(".hidden", kConfineRefuseDotNames), kConfineRefused);
    EXPECT_EQ(Run("img/./a.gif", kConfineRefuseDotNames), kConfineRefused);
    // Nor through a link whose name looks harmless.
    ASSERT_EQ(symlink(".hidden", (base + "/visible").c_str()), 0);
    EXPECT_EQ(Run("visible"), kConfineOk);
    EXPECT_EQ(Run("visible", kConfineRefuseDotNames), kConfineRefused);
}

TEST_F(Confine, SymbolicLinksMayNotLeadOut) {
    ASSERT_EQ(symlink((root.path() + "/secret").c_str(), (base + "/out").c_str()), 0);
    ASSERT_EQ(symlink((root.path() + "/secret/key").c_str(), (base + "/key").c_str()), 0);
    ASSERT_EQ(symlink("img", (base + "/pictures").c_str()), 0);
    EXPECT_EQ(Run("out/key"), kConfineOutside);
    EXPECT_EQ(Run("key"), kConfineOutside);
    EXPECT_EQ(Run("out/not-yet"), kConfineOutside);  // a new file through a link that leaves
    EXPECT_EQ(Run("pictures/a.gif"), kConfineOk);   // a link that stays inside is fine
    EXPECT_EQ(out, real + "/img/a.gif");
    ASSERT_EQ(symlink("loop", (base + "/loop").c_str()), 0);
    EXPECT_NE(Run("loop/x"), kConfineOk);
}

TEST_F(Confine, TheRootMayItselfBeALink) {
    std::string link = root.path() + "/docs-link";
    ASSERT_EQ(symlink(base.c_str(), link.c_str()), 0);
    std::string o;
    EXPECT_EQ(ConfinePath(link, "img/a.gif", 0, &o), kConfineOk);
    EXPECT_EQ(o, real + "/img/a.gif");
    EXPECT_EQ(ConfinePath(root.path() + "/none", "a", 0, &o), kConfineNoRoot);
    EXPECT_EQ(ConfinePath(base, "a", 0, nullptr), kConfineNoRoot);
}

}  // namespace
