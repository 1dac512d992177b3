// The access files: their formats, the IP address rules and the search up an alias path.
#include "qm/access/access_files.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "qm/testing/testing.h"

namespace qm::access {
namespace {

std::string Slurp(const std::string& p) {
    std::ifstream in(p);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

IpAddress Ip(std::string_view text) {
    IpAddress a;
    EXPECT_TRUE(ParseIpAddress(text, &a)) << text;
    return a;
}

TEST(IpAddresses, SyntaxWildcardsAndLimits) {
    IpAddress a;
    EXPECT_TRUE(ParseIpAddress("10.0.0.5", &a));
    EXPECT_TRUE(a.IsPlain());
    EXPECT_EQ(a.Text(), "10.0.0.5");
    EXPECT_TRUE(ParseIpAddress("192.168.*.1", &a));
    EXPECT_FALSE(a.IsPlain());
    EXPECT_EQ(a.Text(), "192.168.*.1");
    EXPECT_TRUE(ParseIpAddress("1.2.3.256", &a));  // 256 is the wildcard too
    EXPECT_EQ(a.part[3], kIpWildcard);
    EXPECT_TRUE(ParseIpAddress(" 1. 2..4", &a));   // spaces ignored, empty part is 0
    EXPECT_EQ(a.Text(), "1.2.0.4");
    EXPECT_FALSE(ParseIpAddress("1.2.3.257", &a));
    EXPECT_FALSE(ParseIpAddress("1.2.3", &a));
    EXPECT_FALSE(ParseIpAddress("1.2.3.4.5", &a));
    EXPECT_FALSE(ParseIpAddress("100.100.100.1000", &a));  // 16 characters
    EXPECT_FALSE(ParseIpAddress("1.2.x.4", &a));
    EXPECT_FALSE(ParseIpAddress("Not Selected", &a));
    EXPECT_FALSE(ParseIpAddress("99999999999.1.1", &a));
}

TEST(IpAddresses, OrderMatchAndList) {
    EXPECT_LT(CompareIp(Ip("192.168.255.1"), Ip("192.168.*.1")), 0);
    EXPECT_LT(CompareIp(Ip("9.0.0.0"), Ip("10.0.0.0")), 0);  // numeric, not textual
    const uint8_t client[4] = {192, 168, 7, 1};
    EXPECT_TRUE(IpMatches(Ip("192.168.*.1"), client));
    EXPECT_FALSE(IpMatches(Ip("192.168.*.2"), client));

    IpList list;
    EXPECT_TRUE(list.Insert(Ip("10.0.0.5")));
    EXPECT_TRUE(list.Insert(Ip("192.168.*.1")));
    EXPECT_TRUE(list.Insert(Ip("10.0.0.3")));
    EXPECT_FALSE(list.Insert(Ip("10.0.0.3")));
    EXPECT_EQ(list.Format(), "10.0.0.3\n10.0.0.5\n192.168.*.1\n");
    EXPECT_TRUE(list.Admits(client));
    EXPECT_TRUE(list.Remove(Ip("192.168.*.1")));
    EXPECT_FALSE(list.Admits(client));
    EXPECT_FALSE(list.Remove(Ip("1.1.1.1")));
}

TEST(AccessFiles, ReadLenientlyAndWriteByReplacing) {
    testing::TempRoot root;
    std::string auth = root / "htdocs/.qmauth";
    std::ofstream(auth) << "# comment\nauthtype: Basic\nREALM: Staff only\nAuthUserFile: staff\n";
    AuthFile a;
    ASSERT_TRUE(ReadAuthFile(auth, &a));
    EXPECT_EQ(a.type, "Basic");
    EXPECT_EQ(a.realm, "Staff only");
    EXPECT_EQ(a.userFile, "staff");
    EXPECT_EQ(FormatAuthFile(a), "AuthType: Basic\nRealm: Staff only\nAuthUserFile: staff\n");
    EXPECT_FALSE(ReadAuthFile(root / "htdocs/none", &a));

    std::string pw = root / "pw";
    std::ofstream(pw) << "alice:se:cret\nnocolon\nBob:x\n";
    std::vector<User> users;
    ASSERT_TRUE(ReadPasswordFile(pw, &users));
    ASSERT_EQ(users.size(), 2u);
    EXPECT_EQ(users[0].password, "se:cret");
    ASSERT_NE(FindUser(users, "BOB"), nullptr);
    EXPECT_EQ(FindUser(users, "carol"), nullptr);

    std::ofstream(root / "ip") << "10.0.0.1\nrubbish\n10.0.0.*\n\n";
    IpList list;
    ASSERT_TRUE(list.Read(root / "ip"));
    EXPECT_EQ(list.Format(), "10.0.0.1\n10.0.0.*\n");

    ASSERT_EQ(ReplaceFile(auth, "AuthType: Basic\n"), WriteResult::kOk);
    EXPECT_EQ(Slurp(auth), "AuthType: Basic\n");
    // No temporary file is left beside it.
    int files = 0;
    for (auto& e : std::filesystem::directory_iterator(root / "htdocs")) files += e.is_regular_file();
    EXPECT_EQ(files, 1);
    EXPECT_EQ(ReplaceFile(root / "missing/folder/f", "x"), WriteResult::kOpenFailed);

    EXPECT_TRUE(IsBareFileName("staff"));
    for (const char* bad : {"", ".hidden", "a/b", "..", "a\\b", "a\nb"}) {
        EXPECT_FALSE(IsBareFileName(bad)) << bad;
    }
}

TEST(AliasPaths, RealFoldersAndTheNearestFile) {
    testing::TempRoot root;
    std::filesystem::create_directories(root / "htdocs/a/b");
    std::filesystem::create_directories(root / "docs/sub/deeper");
    std::filesystem::create_directories(root / "outside");
    std::filesystem::create_symlink(root / "outside", root / "docs/escape");
    AliasMap map;
    map.serverRoot = root / "htdocs";
    map.aliases = {{"/docs/", root / "docs"}, {"/docs/sub/", root / "docs/sub"}};

    EXPECT_EQ(RealFolder(map, ""), root / "htdocs");
    EXPECT_EQ(RealFolder(map, "/a/b"), root / "htdocs/a/b");
    EXPECT_EQ(RealFolder(map, "/docs"), root / "docs");
    EXPECT_EQ(RealFolder(map, "/docs/sub/deeper"), root / "docs/sub/deeper");
    EXPECT_EQ(RealFolder(map, "/docsx"), root / "htdocs/docsx");  // the document root serves it
    for (const char* bad : {"/docs/../outside", "/docs/./sub", "/docs//sub", "/docs/.hidden",
                            "/docs/escape", "/a\\b", "docs"}) {
        EXPECT_EQ(RealFolder(map, bad), std::nullopt) << bad;
    }

    EXPECT_EQ(ParentAliasPath("/docs/sub/deeper"), "/docs/sub");
    EXPECT_EQ(ParentAliasPath("/docs/"), "");
    EXPECT_EQ(ParentAliasPath(""), "");

    EXPECT_EQ(FindNearest(map, "/docs/sub/deeper", ".qmauth"), std::nullopt);
    std::ofstream(root / "htdocs/.qmauth") << "x";
    auto found = FindNearest(map, "/docs/sub/deeper", ".qmauth");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->aliasPath, "");
    std::ofstream(root / "docs/sub/.qmauth") << "x";
    found = FindNearest(map, "/docs/sub/deeper", ".qmauth");
    ASSERT_TRUE(found);
    EXPECT_EQ(found->aliasPath, "/docs/sub");
    EXPECT_EQ(found->file, root / "docs/sub/.qmauth");
    EXPECT_EQ(FindNearest(map, "/docs/sub/deeper", ""), std::nullopt);
}

}  // namespace
}  // namespace qm::access
