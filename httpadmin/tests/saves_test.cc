// The save handlers: what they accept, refuse and write.
#include <filesystem>
#include <fstream>

#include "admin_harness.h"
#include "qm/cgi/coding.h"

namespace qm::admin::testing {
namespace {

constexpr const char* kSaved = "The configuration of Http Server is modified successfully.<p></p>";
constexpr const char* kInvalid = "ERROR: Invalid Data.<br><hr>";

class Saves : public AdminTest {};

TEST_F(Saves, BaseValidatesNumbersAndKeepsReadOnlyValues) {
    for (const char* bad : {"Port=0", "Port=65536", "Port=8O", "Port=123456", "Port=", "Timeout=601",
                            "Timeout=0", "AccessLog_Period=29", "ErrorLog_Period=0",
                            "MaxChildThreads=10001", "port=-1"}) {
        Response r = Post(std::string("mode=Base&submode=Modify&Welcome=changed&") + bad);
        EXPECT_TRUE(r.HasLine(kInvalid)) << bad;
        EXPECT_TRUE(r.HasLine("<a href=\"nph-QMHTTPD.exe\">Back</a><p></p>")) << bad;
        EXPECT_EQ(Reg("Welcome"), "index.html") << bad;
    }
    std::string password = Reg("SpecialCgiPassword");
    Response r = Post("mode=Base&submode=Modify&Port=65535&Timeout=600&AccessLog_Period=28&"
                      "ErrorLog_Period=1&MaxChildThreads=10000&welcome=home.html&"
                      "InstallationPath=%2Ftmp%2Fevil&SpecialCgiPassword=forged&Unknown=1");
    EXPECT_TRUE(r.HasLine("<h2>Base Save:</h2>"));
    EXPECT_TRUE(r.HasLine(kSaved));
    EXPECT_EQ(Reg("Port"), "65535");
    EXPECT_EQ(Reg("Timeout"), "600");
    EXPECT_EQ(Reg("Welcome"), "home.html");
    EXPECT_EQ(Reg("InstallationPath"), root_ / "bin");
    EXPECT_EQ(Reg("SpecialCgiPassword"), password);
    EXPECT_EQ(Reg("Unknown"), "<missing>");
    // Lists are written back in their stored form.
    EXPECT_EQ(Reg("PathAlias"), ";");
    EXPECT_EQ(Reg("ExtType"), ";.html;text/html;.gif;image/gif;");
}

TEST_F(Saves, ExtTypeRowsAreKeptChangedOrDeleted) {
    Response r = Post("mode=ExtType&QueryString=ExtType&key0=.html&value0=text%2Fhtml&"
                      "key1=.gif&value1=&key2=.png&value2=image%2Fpng");
    EXPECT_TRUE(r.HasLine("<h2>ExtType Save:</h2>"));
    EXPECT_TRUE(r.HasLine(kSaved));
    EXPECT_TRUE(r.HasLine("<a href=\"nph-QMHTTPD.exe?ExtType\">Back</a><p></p>"));
    EXPECT_EQ(Reg("ExtType"), ";.html;text/html;.png;image/png;");
    Post("mode=ExtType&key0=&value0=text%2Fhtml&key1=.png&value1=image%2Fpng");
    EXPECT_EQ(Reg("ExtType"), ";.png;image/png;");
    // A ";" would split the stored list.
    EXPECT_TRUE(Post("mode=ExtType&key0=.a%3Bb&value0=x%2Fy").HasLine(kInvalid));
    EXPECT_EQ(Reg("ExtType"), ";.png;image/png;");

    Post("mode=ExecExtType&key0=.cgi&value0=cgi&key1=.pl&value1=application%2Fx-perl");
    EXPECT_EQ(Reg("ExecExtType"), ";.pl;application/x-perl;");
}

TEST_F(Saves, SpecialPasswordAndReferers) {
    std::string before = Reg("SpecialCgiPassword");
    Response r = Post("mode=Special&submode=Password&QueryString=Special&username=root&"
                      "password=one&retype=two");
    EXPECT_TRUE(r.HasLine(kSaved));  // rewritten and reported, password unchanged
    EXPECT_EQ(Reg("SpecialCgiPassword"), before);
    Post("mode=Special&submode=Password&username=&password=x&retype=x");
    EXPECT_EQ(Reg("SpecialCgiPassword"), before);
    Post("mode=Special&submode=Password&username=root&password=n%C3%A9w&retype=n%C3%A9w");
    EXPECT_EQ(Reg("SpecialCgiPassword"), cgi::Base64Encode("root:n\xC3\xA9w"));
    EXPECT_EQ(Run(Request("GET", "Special")).lines[0], "HTTP/1.0 401 Unauthorized");
    credentials_ = "Basic " + cgi::Base64Encode("root:n\xC3\xA9w");

    Post("mode=Special&submode=Referer&new=http%3A%2F%2Fh%2Fa.htm&remove=Not+Selected");
    EXPECT_EQ(Reg("SpecialCgiReferer"), ";http://h/a.htm;");
    Post("mode=Special&submode=Referer&new=HTTP%3A%2F%2FH%2Fa.htm");  // a duplicate, any case
    Post("mode=Special&submode=Referer&new=http%3A%2F%2Fh%2Fb.htm");
    EXPECT_EQ(Reg("SpecialCgiReferer"), ";http://h/a.htm;http://h/b.htm;");
    Post("mode=Special&submode=Referer&remove=http%3A%2F%2Fh%2FA.htm");
    EXPECT_EQ(Reg("SpecialCgiReferer"), ";http://h/b.htm;");
    EXPECT_TRUE(Post("mode=Special&submode=Referer&new=a%3Bb").HasLine(kInvalid));
    Post("mode=Special&submode=Referer&remove=Remove+All");
    EXPECT_EQ(Reg("SpecialCgiReferer"), ";");

    r = Post("mode=Referer&new=http%3A%2F%2Fh%2Fc.htm");
    EXPECT_TRUE(r.HasLine("<h2>Referer Save:</h2>"));
    EXPECT_TRUE(r.HasLine("<a href=\"nph-QMHTTPD.exe\">OK</a><p></p>"));
    EXPECT_EQ(Reg("SpecialCgiReferer"), ";http://h/c.htm;");
}

TEST_F(Saves, AliasesMergedAndModified) {
    std::string docs = root_ / "htdocs", bin = root_ / "bin";
    std::filesystem::create_directories(docs + "/pub");
    std::filesystem::create_directories(docs + "/cgi");
    std::string pub = cgi::UrlEncode(docs + "/pub"), cgiDir = cgi::UrlEncode(docs + "/cgi");

    Response r = Post("mode=Aliases&submode=MergeAliases&QueryString=Aliases&" + pub +
                      "=%2Fpub%2F&" + cgiDir + "=%2Fscripts%2F&Exec" + cgiDir + "=on");
    EXPECT_TRUE(r.HasLine("<h2>Aliases Save:</h2>"));
    EXPECT_TRUE(r.HasLine(kSaved));
    EXPECT_EQ(Reg("PathAlias"), ";/pub/;" + docs + "/pub;");
    EXPECT_EQ(Reg("ExecAlias"), ";/cgi-bin/;" + bin + ";/scripts/;" + docs + "/cgi;");
    // Checking Exec moves the folder to the other list; one entry per real folder.
    Post("mode=Aliases&submode=MergeAliases&" + pub + "=%2Fp%2F&Exec" + pub + "=on");
    EXPECT_EQ(Reg("PathAlias"), ";");
    EXPECT_EQ(Reg("ExecAlias"), ";/cgi-bin/;" + bin + ";/scripts/;" + docs + "/cgi;/p/;" + docs + "/pub;");
    // An emptied alias removes the folder from both lists.
    Post("mode=Aliases&submode=MergeAliases&" + pub + "=");
    EXPECT_EQ(Reg("ExecAlias"), ";/cgi-bin/;" + bin + ";/scripts/;" + docs + "/cgi;");
    // Folders outside the server's roots are refused, and nothing changes.
    r = Post("mode=Aliases&submode=MergeAliases&%2Fetc=%2Fetc%2F&" + pub + "=%2Fpub%2F");
    EXPECT_TRUE(r.HasLine(kInvalid));
    EXPECT_EQ(Reg("PathAlias"), ";");

    // The list form: a row without "/" in its alias is deleted, Exec decides the list.
    r = Post("mode=Aliases&submode=ModifyAliases&QueryString=Aliases&key0=%2Fbin%2F&value0=" +
             cgi::UrlEncode(bin) + "&key1=gone&value1=" + cgiDir + "&Exec0=on");
    EXPECT_TRUE(r.HasLine(kSaved));
    EXPECT_EQ(Reg("PathAlias"), ";");
    EXPECT_EQ(Reg("ExecAlias"), ";/bin/;" + bin + ";");
    Post("mode=Aliases&submode=ModifyAliases&key0=%2Fbin%2F&value0=" + cgi::UrlEncode(bin));
    EXPECT_EQ(Reg("PathAlias"), ";/bin/;" + bin + ";");
    EXPECT_EQ(Reg("ExecAlias"), ";");
    EXPECT_TRUE(Post("mode=Aliases&submode=ModifyAliases&key0=%2Fx%2F&value0=%2Fetc").HasLine(kInvalid));
    EXPECT_EQ(Reg("PathAlias"), ";/bin/;" + bin + ";");
}

TEST_F(Saves, AuthorizationFileAndUsers) {
    std::string docs = root_ / "htdocs";
    std::string file = cgi::UrlEncode(docs + "/.qmauth");
    std::string base = "mode=Authorization&QueryString=Authorization&AuthFile=" + file;

    Response r = Post(base + "&AuthType=Basic&Realm=Staff&AuthUserFile=staff&AuthUserFileList=Not+Selected"
                             "&user0=alice&password0=pa&retype0=pa&user1=bob&password1=x&retype1=y");
    EXPECT_TRUE(r.HasLine("<h2>Authorization Save:</h2>"));
    EXPECT_TRUE(r.HasLine("The ReadAccessAuthorization is modified successfully.<p></p>")) << r.text;
    EXPECT_TRUE(r.HasLine("The AuthUserFile is modified successfully.<p></p>"));
    EXPECT_TRUE(r.HasLine("<a href=\"nph-QMHTTPD.exe?Authorization\">Back</a><p></p>"));
    EXPECT_EQ(Slurp(docs + "/.qmauth"), "AuthType: Basic\nRealm: Staff\nAuthUserFile: staff\n");
    EXPECT_EQ(Slurp(docs + "/.qmpasswd/staff"), "alice:pa\n");  // bob's retype differed

    // Changed, kept with a wrong retype, added, and dropped by clearing the name.
    Post(base + "&AuthType=Basic&Realm=Staff&AuthUserFile=staff&AuthUserFileList=Not+Selected"
                "&user0=ALICE&password0=new&retype0=wrong&user1=carol&password1=c&retype1=c");
    EXPECT_EQ(Slurp(docs + "/.qmpasswd/staff"), "alice:pa\ncarol:c\n");
    Post(base + "&AuthType=Basic&Realm=Staff&AuthUserFile=staff&AuthUserFileList=Not+Selected"
                "&user0=alice&password0=new&retype0=new&user1=&password1=&retype1=");
    EXPECT_EQ(Slurp(docs + "/.qmpasswd/staff"), "alice:new\n");

    // Choosing an existing password file writes the authorization file only.
    std::ofstream(docs + "/.qmpasswd/others") << "dave:d\n";
    r = Post(base + "&AuthType=Basic&Realm=Other&AuthUserFile=staff&AuthUserFileList=others");
    EXPECT_TRUE(r.HasLine("The ReadAccessAuthorization is modified successfully.<p></p>"));
    EXPECT_FALSE(r.HasLine("The AuthUserFile is modified successfully.<p></p>"));
    EXPECT_EQ(Slurp(docs + "/.qmauth"), "AuthType: Basic\nRealm: Other\nAuthUserFile: others\n");
    EXPECT_EQ(Slurp(docs + "/.qmpasswd/others"), "dave:d\n");

    // Without a realm nothing is written and nothing said.
    r = Post(base + "&AuthType=Basic&Realm=&AuthUserFile=x");
    EXPECT_FALSE(r.Contains("successfully"));

    // Paths that leave the configured folders are refused with the page's ERROR line.
    for (const std::string& bad :
         {std::string("mode=Authorization&AuthFile=%2Ftmp%2F.qmauth&AuthType=Basic&Realm=x&AuthUserFile=y"),
          "mode=Authorization&AuthFile=" + cgi::UrlEncode(docs + "/index.html") +
              "&AuthType=Basic&Realm=x&AuthUserFile=y",
          base + "&AuthType=Basic&Realm=x&AuthUserFile=..%2F..%2Fescape&AuthUserFileList=Not+Selected",
          base + "&AuthType=Basic&Realm=x&AuthUserFileList=..%2Fescape",
          base + "&AuthType=Basic&Realm=x%0AAuthUserFile%3A+y&AuthUserFile=z"}) {
        r = Post(bad);
        EXPECT_TRUE(r.HasLine("ERROR: Cannot write the authorization file.<br><hr>")) << bad;
    }
    EXPECT_EQ(Slurp(docs + "/.qmauth"), "AuthType: Basic\nRealm: Other\nAuthUserFile: others\n");
    // A password folder set outside the document root is not written either.
    SetReg("AuthorizationPasswordDirectory", "/../outside");
    r = Post(base + "&AuthType=Basic&Realm=x&AuthUserFile=staff&AuthUserFileList=Not+Selected"
                    "&user0=eve&password0=e&retype0=e");
    EXPECT_TRUE(r.HasLine("ERROR: Cannot write the authorization file.<br><hr>"));
    EXPECT_FALSE(std::filesystem::exists(root_ / "outside"));
    SetReg("AuthorizationPasswordDirectory", "/.qmpasswd");

    // Deleting: the file alone, or with its password file.
    r = Post(base + "&delete=on");
    EXPECT_TRUE(r.HasLine("The ReadAccessAuthorization file is deleted successfully.<p></p>"));
    EXPECT_FALSE(std::filesystem::exists(docs + "/.qmauth"));
    Post(base + "&AuthType=Basic&Realm=R&AuthUserFile=staff&AuthUserFileList=Not+Selected&user0=a&"
                "password0=b&retype0=b");
    r = Post(base + "&delete=on&deletepassword=on");
    EXPECT_TRUE(r.HasLine("The ReadAccessAuthorization file and the AuthUserFile were deleted "
                          "successfully.<p></p>"));
    EXPECT_FALSE(std::filesystem::exists(docs + "/.qmpasswd/staff"));
}

TEST_F(Saves, IpAccessFile) {
    std::string docs = root_ / "htdocs";
    std::string base = "mode=Authorization&QueryString=Authorization&IPFile=" +
                       cgi::UrlEncode(docs + "/.qmip");
    auto ip = [&] { return Slurp(docs + "/.qmip"); };
    Response r = Post(base + "&one=10.0.0.9&from=10.0.0.5&to=10.0.0.3&remove=Not+Selected");
    EXPECT_TRUE(r.HasLine("The ReadAccessIP file is modified successfully.<p></p>"));
    EXPECT_EQ(ip(), "10.0.0.9\n");
    Post(base + "&from=10.0.0.3&to=10.0.0.5");
    EXPECT_EQ(ip(), "10.0.0.3\n10.0.0.4\n10.0.0.5\n10.0.0.9\n");
    Post(base + "&from=10.0.1.3&to=10.0.0.5");
    Post(base + "&from=10.0.0.*&to=10.0.0.7");
    EXPECT_EQ(ip(), "10.0.0.3\n10.0.0.4\n10.0.0.5\n10.0.0.9\n");
    Post(base + "&one=192.168.*.1&remove=10.0.0.4&remove=10.0.0.99");
    Post(base + "&one=192.168.255.1");
    EXPECT_EQ(ip(), "10.0.0.3\n10.0.0.5\n10.0.0.9\n192.168.255.1\n192.168.*.1\n");
    Post(base + "&one=1.2.3.256&one=bad");
    EXPECT_EQ(ip(), "1.2.3.*\n10.0.0.3\n10.0.0.5\n10.0.0.9\n192.168.255.1\n192.168.*.1\n");
    Post(base + "&remove=10.0.0.3&remove=Remove+all");
    EXPECT_EQ(ip(), "");
    r = Post(base + "&delete=on");
    EXPECT_TRUE(r.HasLine("The ReadAccessIP file is deleted successfully.<p></p>"));
    EXPECT_FALSE(std::filesystem::exists(docs + "/.qmip"));
    r = Post("mode=Authorization&IPFile=%2Ftmp%2F.qmip&one=1.1.1.1");
    EXPECT_TRUE(r.HasLine("ERROR: Cannot write the IP access file.<br><hr>"));
    EXPECT_FALSE(std::filesystem::exists("/tmp/.qmip"));
}

}  // namespace
}  // namespace qm::admin::testing
