#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "qm/testing/testing.h"
#include "router.h"

namespace qm::httpd {

namespace {
Settings MakeSettings(const testing::TempRoot& root) {
    Settings s;
    s.serverRoot = root / "htdocs";
    s.execAlias = RegSplitPairs(";/cgi-bin/;" + root.path() + "/bin;");
    s.pathAlias = RegSplitPairs(";/pics;" + root.path() + "/pics;");
    s.extType = RegSplitPairs(";.html;text/html;GIF;image/gif;");
    s.execExtType = RegSplitPairs(";.cgi;application/x-httpd-cgi;");
    return s;
}
void Executable(const std::string& path, const std::string& text = "#!/bin/sh\n") {
    std::ofstream(path) << text;
    chmod(path.c_str(), 0755);
}
}  // namespace

TEST(Router, PairListsSkipEmptyFieldsAndRoundTrip) {
    auto pairs = RegSplitPairs(";a1;b1;;a2;b2;odd");
    ASSERT_EQ(pairs.size(), 2u);
    EXPECT_EQ(pairs[1].first, "a2");
    EXPECT_EQ(RegJoinPairs(pairs), ";a1;b1;a2;b2;");
    EXPECT_EQ(RegSplitPairs("x;y").size(), 1u) << "the leading ';' is optional";
    EXPECT_EQ(RegJoinPairs({}), ";");
}

TEST(Router, FilesStayInsideTheirRoots) {
    testing::TempRoot root;
    Settings s = MakeSettings(root);
    std::filesystem::create_directories(root / "htdocs/sub");
    std::filesystem::create_directories(root / "pics");
    std::ofstream(root / "htdocs/index.html") << "hi";
    std::ofstream(root / "htdocs/sub/index.html") << "sub";
    std::ofstream(root / "pics/a.GIF") << "GIF89a";
    std::ofstream(root / "secret.txt") << "no";
    std::filesystem::create_symlink(root / "secret.txt", root / "htdocs/link.txt");

    Target t = Route(s, "/");
    EXPECT_EQ(t.kind, Target::Static);
    EXPECT_EQ(t.file, root / "htdocs/index.html");
    EXPECT_EQ(t.mimeType, "text/html");
    EXPECT_EQ(Route(s, "/sub").kind, Target::Redirect);
    EXPECT_EQ(Route(s, "/sub").location, "/sub/");
    EXPECT_EQ(Route(s, "/sub/").file, root / "htdocs/sub/index.html");
    t = Route(s, "/pics/a.GIF");
    EXPECT_EQ(t.kind, Target::Static);
    EXPECT_EQ(t.mimeType, "image/gif") << "extensions compare without case, dot optional";
    EXPECT_EQ(Route(s, "/missing.html").kind, Target::NotFound);
    for (const char* bad : {"/../secret.txt", "/sub/../../secret.txt", "/link.txt", "/a\\..\\b",
                            "relative", "/pics/../../secret.txt", "/./index.html"}) {
        EXPECT_EQ(Route(s, bad).kind, Target::Forbidden) << bad;
    }
    EXPECT_EQ(MimeTypeFor(s, "x.bin"), "application/octet-stream");
}

TEST(Router, HiddenNamesAreNeverServedOrRun) {
    testing::TempRoot root;
    Settings s = MakeSettings(root);
    std::filesystem::create_directories(root / "htdocs/.git");
    std::filesystem::create_directories(root / "pics");
    std::ofstream(root / "htdocs/.qmauth") << "admin";
    std::ofstream(root / "htdocs/.git/config") << "cfg";
    std::ofstream(root / "pics/.qmpasswd") << "pw";
    Executable(root / "bin/.hidden.cgi");
    Executable(root / "htdocs/.run.cgi");
    // A link with a visible name inside the root that resolves to a hidden file.
    std::filesystem::create_symlink(root / "htdocs/.qmauth", root / "htdocs/auth.html");
    for (const char* bad : {"/.qmauth", "/.git/config", "/.git/", "/pics/.qmpasswd",
                            "/cgi-bin/.hidden.cgi", "/.run.cgi", "/auth.html"}) {
        EXPECT_EQ(Route(s, bad).kind, Target::Forbidden) << bad;
    }
}

TEST(Router, ProgramsByAliasAndExtension) {
    testing::TempRoot root;
    Settings s = MakeSettings(root);
    Executable(root / "bin/Qmcgi");
    Executable(root / "bin/nph-QMHTTPD");
    std::ofstream(root / "bin/notexec") << "x";
    std::filesystem::create_directories(root / "htdocs/app");
    Executable(root / "htdocs/app/run.cgi");

    Target t = Route(s, "/cgi-bin/Qmcgi.exe/extra/path");
    ASSERT_EQ(t.kind, Target::Cgi);
    EXPECT_EQ(t.file, root / "bin/Qmcgi") << "Windows program names map onto ours";
    EXPECT_EQ(t.scriptName, "/cgi-bin/Qmcgi.exe");
    EXPECT_EQ(t.pathInfo, "/extra/path");
    EXPECT_EQ(t.pathTranslated, root / "htdocs/extra/path");
    EXPECT_FALSE(t.nph);
    EXPECT_TRUE(Route(s, "/cgi-bin/nph-QMHTTPD.exe").nph);
    EXPECT_EQ(Route(s, "/cgi-bin/notexec").kind, Target::Forbidden);
    EXPECT_EQ(Route(s, "/cgi-bin/none.exe").kind, Target::NotFound);
    t = Route(s, "/app/run.cgi");
    ASSERT_EQ(t.kind, Target::Cgi);
    EXPECT_EQ(t.scriptName, "/app/run.cgi");
    EXPECT_EQ(Route(s, "/qm").kind, Target::Page);
}

}  // namespace qm::httpd
