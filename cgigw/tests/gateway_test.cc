// The shared gateway pieces: document root, target paths, InstallData.txt, request text.
#include <filesystem>
#include <fstream>

#include <gtest/gtest.h>

#include "gateway.h"
#include "qm/testing/testing.h"

namespace qm::cgigw {
namespace {

TEST(DocumentRoot, CutsOnlyTheMatchingTail) {
    EXPECT_EQ(DocumentRoot("/en/p.htm", "/srv/htdocs/en/p.htm"), "/srv/htdocs");
    EXPECT_EQ(DocumentRoot("/en/p.htm", "C:\\web\\en\\p.htm"), "C:\\web");
    EXPECT_EQ(DocumentRoot("", "/srv/htdocs"), "/srv/htdocs");
    // "/a" also occurs inside "/abc"; only the tail is PATH_INFO's part.
    EXPECT_EQ(DocumentRoot("/a", "/srv/abc/htdocs/a"), "/srv/abc/htdocs");
    EXPECT_EQ(DocumentRoot("/x", "/srv/htdocs"), "/srv/htdocs");
}

TEST(TargetPath, StaysUnderTheRoot) {
    EXPECT_EQ(TargetPath("/srv/htdocs", "img/a.gif"), "/srv/htdocs/img/a.gif");
    EXPECT_EQ(TargetPath("/srv/htdocs", "img\\a.gif"), "/srv/htdocs/img/a.gif");
    EXPECT_EQ(TargetPath("/srv/htdocs", "a..b.gif"), "/srv/htdocs/a..b.gif");
    for (const char* bad : {"../a.gif", "..\\a.gif", "img/../../a.gif", "img\\..\\..\\x",
                            "/etc/passwd", "\\etc\\passwd", "C:\\a.gif", "c:a.gif", "", ".",
                            "img/", "..", "a/.."}) {
        EXPECT_FALSE(TargetPath("/srv/htdocs", bad).has_value()) << bad;
    }
    EXPECT_FALSE(TargetPath("", "img/a.gif").has_value()) << "no root, no target";
    std::string root(240, 'r');
    EXPECT_TRUE(TargetPath("/" + root, std::string(17, 'n')).has_value());  // 259 characters
    EXPECT_FALSE(TargetPath("/" + root, std::string(18, 'n')).has_value());
}

TEST(ImagePath, OnlyVisibleGifFilesUnderTheRoot) {
    auto t = ImagePath("/srv/htdocs", "BGImage\\00000000.gif");
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->root, "/srv/htdocs");
    EXPECT_EQ(t->folder, "BGImage");
    EXPECT_EQ(t->file, "00000000.gif");
    t = ImagePath("/srv/htdocs", "a//b/c.Gif");
    ASSERT_TRUE(t.has_value());
    EXPECT_EQ(t->folder, "a/b");
    EXPECT_EQ(ImagePath("/srv/htdocs", "top.gif")->folder, "");
    for (const char* bad : {"a.txt", "a.gif/", "gif", ".gif", ".a.gif", "x/.h/a.gif", "./a.gif",
                            "../a.gif", "/a.gif", "a.gif.exe", "a.gi"}) {
        EXPECT_FALSE(ImagePath("/srv/htdocs", bad).has_value()) << bad;
    }
}

TEST(InstallData, TakesTheLineAfterTheMarker) {
    qm::testing::TempRoot root;
    std::string file = root / "InstallData.txt";
    EXPECT_FALSE(ReadInstallDirectory(file).has_value());
    std::ofstream(file) << "junk\n" << std::string(100, 'x') << "\n<!-- dir -->\r\n/opt/q/bin\r\nnext\n";
    EXPECT_EQ(ReadInstallDirectory(file), "/opt/q/bin");
    // A long line is read in pieces of 79 characters; a marker in its tail still counts.
    std::ofstream(file) << std::string(90, 'y') << "<!--\n/d\n";
    EXPECT_EQ(ReadInstallDirectory(file), "/d");
    std::ofstream(file) << "no marker\n";
    EXPECT_EQ(ReadInstallDirectory(file), "");
}

}  // namespace
}  // namespace qm::cgigw
