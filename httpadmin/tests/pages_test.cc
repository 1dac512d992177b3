// The pages of the administration program, line by line against the documented bytes.
#include <filesystem>
#include <fstream>

#include "admin_harness.h"
#include "qm/cgi/coding.h"

namespace qm::admin::testing {
namespace {

const std::vector<std::string> kFrameHead = {
    "HTTP/1.0 200 OK", "Content-type: text/html", "Pragma: no-cache", "", "<head>",
    "<title>OvrelNet HTTP Server Management</title>", "<script language=\"JavaScript\">",
    "function ConfirmSave(){",
    "return confirm(\"You are about to modify the configuration.\\nAre you sure?\");", "}",
    "</script>", "</head>", "<body bgcolor=\"#CBB8BD\">",
    "<h1>OvrelNet HTTP Server Management</h1>",
    "<a href=\"nph-QMHTTPD.exe?Control\">[Control]</a>",
    " [<a href=\"nph-QMHTTPD.exe\">Base</a> <a href=\"nph-QMHTTPD.exe?ExtType\">ExtType</a> "
    "<a href=\"nph-QMHTTPD.exe?ExecExtType\">ExecExtType</a> "
    "<a href=\"nph-QMHTTPD.exe?Aliases\">Aliases</a> "
    "<a href=\"nph-QMHTTPD.exe?Authorization\">Authorization</a>] "
    "<a href=\"nph-QMHTTPD.exe?Special\">[Special]</a>",
    "<hr>"};

void ExpectFrame(const Response& r) {
    ASSERT_GE(r.lines.size(), kFrameHead.size() + 3);
    for (size_t i = 0; i < kFrameHead.size(); ++i) EXPECT_EQ(r.lines[i], kFrameHead[i]) << i;
    size_t n = r.lines.size();
    EXPECT_EQ(r.lines[n - 4], kFrameHead[14]);
    EXPECT_EQ(r.lines[n - 3], kFrameHead[15]);
    EXPECT_EQ(r.lines[n - 2], "<hr>");
    EXPECT_EQ(r.lines[n - 1], "</body></html>");
}

// The lines of `r` from the first equal to `first`, `count` of them.
std::vector<std::string> Slice(const Response& r, const std::string& first, size_t count) {
    int at = r.Find(first);
    if (at < 0) return {"<" + first + " not found>"};
    return std::vector<std::string>(r.lines.begin() + at,
                                    r.lines.begin() + std::min(r.lines.size(), at + count));
}

class Pages : public AdminTest {};

TEST_F(Pages, BasePageShowsEveryValueInOrderAndHidesThePassword) {
    Response r = Run(Request("GET", ""));
    ExpectFrame(r);
    std::vector<std::string> head = {
        "<h2>Base:</h2>", "If you modify the data, please push \"Modify\" button.<br>",
        "<form action=\"nph-QMHTTPD.exe\" method=\"POST\" onSubmit=\"return ConfirmSave()\">",
        "<input type=\"hidden\" name=\"mode\" value=\"Base\">",
        "<input type=\"hidden\" name=\"submode\" value=\"Modify\">", "<table border=0>",
        "<tr><th>Key</th><th>Value</th></tr>",
        "<tr><td>Port</td><td><input type=\"text\" name=\"Port\" value=\"8080\"></td><td></td></tr>"};
    EXPECT_EQ(Slice(r, head[0], head.size()), head);
    EXPECT_TRUE(r.HasLine("<tr><td>InstallationPath</td><td><input type=\"hidden\" "
                          "name=\"InstallationPath\" value=\"" + (root_ / "bin") + "\">" +
                          (root_ / "bin") + "</td><td></td></tr>"));
    // The stored Base64 of name and password is never sent back.
    EXPECT_FALSE(r.Contains(cgi::Base64Encode("admin:secret")));
    EXPECT_TRUE(r.HasLine("<tr><td>SpecialCgiPassword</td><td><input type=\"hidden\" "
                          "name=\"SpecialCgiPassword\" value=\"********\">********</td><td></td></tr>"));
    int table = r.Find("<tr><th>Key</th><th>Value</th></tr>");
    EXPECT_EQ(r.lines[table + 20], "</table>");
    EXPECT_EQ(r.lines[table + 21], "<input type=\"submit\" value=\"Modify!\">");
    EXPECT_EQ(r.lines[table + 22], "<input type=\"reset\" value=\"Reset\">");
    EXPECT_EQ(r.lines[table + 23], "</form>");
}

TEST_F(Pages, TextFromTheRegistryAndTheRequestIsEscaped) {
    SetReg("ServerAdmin", "\"><script>x</script>");
    Response r = Get("ExtType&x=%22%3E%3Cb%3E");
    EXPECT_FALSE(r.Contains("\"><b>"));
    EXPECT_TRUE(r.HasLine("<input type=\"hidden\" name=\"QueryString\" "
                          "value=\"ExtType&amp;x=%22%3E%3Cb%3E\">"));
    r = Run(Request("GET", ""));
    EXPECT_FALSE(r.Contains("<script>x"));
    EXPECT_TRUE(r.Contains("value=\"&quot;&gt;&lt;script&gt;x&lt;/script&gt;\""));
}

TEST_F(Pages, ExtTypePagesListPairsAndOneEmptyRow) {
    Response r = Get("ExtType");
    ExpectFrame(r);
    std::vector<std::string> want = {
        "<h2>ExtType:</h2>",
        "<form action=\"nph-QMHTTPD.exe\" method=\"POST\" onSubmit=\"return ConfirmSave()\">",
        "<input type=\"hidden\" name=\"mode\" value=\"ExtType\">",
        "<input type=\"hidden\" name=\"QueryString\" value=\"ExtType\">", "<table border=0>",
        "<tr><th>Extension</th><th>MIME type</th></tr>", "<tr>",
        "<td><input type=\"text\" name=\"key0\" value=\".html\"></td>",
        "<td><input type=\"text\" name=\"value0\" value=\"text/html\"></td>", "</tr>", "<tr>",
        "<td><input type=\"text\" name=\"key1\" value=\".gif\"></td>",
        "<td><input type=\"text\" name=\"value1\" value=\"image/gif\"></td>", "</tr>", "<tr>",
        "<td><input type=\"text\" name=\"key2\"></td>",
        "<td><input type=\"text\" name=\"value2\"></td>", "</tr>", "</table>",
        "<input type=\"submit\" value=\"Modify!\">", "</form>"};
    EXPECT_EQ(Slice(r, want[0], want.size()), want);
    r = Get("ExecExtType");
    EXPECT_TRUE(r.HasLine("<h2>ExecExtType:</h2>"));
    EXPECT_TRUE(r.HasLine("<td><input type=\"text\" name=\"value0\" "
                          "value=\"application/x-httpd-cgi\"></td>"));
}

TEST_F(Pages, SpecialPageListsRegisteredReferers) {
    SetReg("SpecialCgiReferer", ";http://a/x.htm;http://b/y.htm;");
    Response r = Get("Special");
    ExpectFrame(r);
    std::vector<std::string> want = {
        "<h3>Server Configuration Refererence:</h3>",
        "<form action=\"nph-QMHTTPD.exe\" method=\"POST\" onSubmit=\"return ConfirmSave()\">",
        "<input type=\"hidden\" name=\"mode\" value=\"Special\">",
        "<input type=\"hidden\" name=\"submode\" value=\"Referer\">",
        "<input type=\"hidden\" name=\"QueryString\" value=\"Special\">", "New entry:<br>",
        "<input type=\"text\" name=\"new\">", "<input type=\"submit\" value=\"Add\"><p></p>",
        "Remove entries:<br>", "<select name=\"remove\">", "<option selected>Not Selected",
        "<option>Remove All", "<option>http://a/x.htm", "<option>http://b/y.htm", "</select>",
        "<input type=\"submit\" value=\"Remove\"><p></p>", "</form>"};
    EXPECT_EQ(Slice(r, want[0], want.size()), want);
    EXPECT_TRUE(r.HasLine("<tr><th>Username</th><th>Password</th><th>Retype</th></tr>"));
    // A stored text without ";" is no list.
    SetReg("SpecialCgiReferer", "http://a/x.htm");
    EXPECT_FALSE(Get("Special").HasLine("<option>http://a/x.htm"));
}

TEST_F(Pages, ControlPageOffersOnlyRestart) {
    Response r = Get("Control");
    ExpectFrame(r);
    std::vector<std::string> want = {
        "<h2>Control:</h2>", "<b>Service Status:</b>", "HTTP Server is stopped.",
        "<h3>Service Restart</h3>", "<table border=0>", "<tr>", "<td>",
        "<form action=\"nph-QMHTTPD.exe\" method=\"POST\">",
        "<input type=\"hidden\" name=\"mode\" value=\"Control\">",
        "<input type=\"hidden\" name=\"submode\" value=\"Restart\">",
        "<input type=\"hidden\" name=\"QueryString\" value=\"Control\">",
        "<input type=\"submit\" value=\"Restart\">", "</form>", "</td>", "<td>", "<form>",
        "</form>", "</td>", "</tr>", "</table>"};
    EXPECT_EQ(Slice(r, want[0], want.size()), want);
}

TEST_F(Pages, UnknownPagesAndModesAndUnreadableRequests) {
    Response r = Get("Nothing");
    ExpectFrame(r);
    EXPECT_EQ(r.lines.size(), kFrameHead.size() + 4);
    r = Post("mode=Other");
    EXPECT_TRUE(r.HasLine("<h2>No mode line!</h2>"));
    ExpectFrame(r);
    // A POST whose body is of another type yields no pairs: the response ends after the error.
    Env env = Request("POST", "");
    env["CONTENT_LENGTH"] = "4";
    env["CONTENT_TYPE"] = "text/plain";
    r = Run(env, "");
    EXPECT_EQ(r.lines.back(), "ERROR: Cannot get the cgi data.<br><hr>");
}

TEST_F(Pages, AliasTreeListsTheServersFoldersOnly) {
    std::filesystem::create_directories(root_ / "htdocs/b/inner");
    std::filesystem::create_directories(root_ / "htdocs/a");
    std::filesystem::create_directories(root_ / "htdocs/.hidden");
    std::filesystem::create_directories(root_ / "elsewhere/secret");
    std::filesystem::create_symlink(root_ / "elsewhere", root_ / "htdocs/link");
    std::string docs = root_ / "htdocs", bin = root_ / "bin";
    SetReg("PathAlias", ";/b/;" + docs + "/b;");

    // Without `dir`: the roots only, collapsed, sorted by byte value.
    Response r = Get("Aliases");
    ExpectFrame(r);
    EXPECT_TRUE(r.HasLine("<form action=\"nph-QMHTTPD.exe?Aliases\" method=\"POST\" "
                          "onSubmit=\"return ConfirmSave()\">"));
    EXPECT_TRUE(r.HasLine("<input type=\"hidden\" name=\"submode\" value=\"MergeAliases\">"));
    std::vector<std::string> cells;
    for (const auto& l : r.lines) {
        if (l.rfind("+<a", 0) == 0 || l.rfind("-<a", 0) == 0) cells.push_back(l);
    }
    std::vector<std::string> roots = {bin, docs, docs + "/b"};
    std::sort(roots.begin(), roots.end());
    ASSERT_EQ(cells.size(), roots.size());
    for (size_t i = 0; i < roots.size(); ++i) {
        EXPECT_EQ(cells[i], "+<a href=\"nph-QMHTTPD.exe?Aliases&dir=" + cgi::UrlEncode(roots[i]) +
                                "\">" + roots[i] + "</a>");
    }
    EXPECT_TRUE(r.HasLine("<input type=\"text\" name=\"" + docs + "/b\" value=\"/b/\">"));
    EXPECT_TRUE(r.HasLine("<input type=\"checkbox\" name=\"Exec" + bin + "\" checked>"));

    // Along `dir`: the document root expanded, its folders listed; hidden folders and links
    // out of the root are not.
    r = Get("Aliases&dir=" + cgi::UrlEncode(docs));
    ASSERT_TRUE(r.HasLine("-<a href=\"nph-QMHTTPD.exe?Aliases\">" + docs + "</a>")) << r.text;
    EXPECT_TRUE(r.HasLine(". . . ."));
    EXPECT_TRUE(r.HasLine("+<a href=\"nph-QMHTTPD.exe?Aliases&dir=" + cgi::UrlEncode(docs + "/a") +
                          "\">a</a>"));
    EXPECT_FALSE(r.Contains(".hidden"));
    EXPECT_FALSE(r.Contains("secret"));
    EXPECT_FALSE(r.Contains(">link<"));
    // Deeper along `dir`, the folders off the way are not shown.
    r = Get("Aliases&dir=" + cgi::UrlEncode(docs + "/b"));
    EXPECT_FALSE(r.Contains("\">a</a>"));
    EXPECT_TRUE(r.HasLine("-<a href=\"nph-QMHTTPD.exe?Aliases&dir=" + cgi::UrlEncode(docs) +
                          "\">b</a>"));
    EXPECT_TRUE(r.HasLine("+<a href=\"nph-QMHTTPD.exe?Aliases&dir=" +
                          cgi::UrlEncode(docs + "/b/inner") + "\">inner</a>"));
    EXPECT_FALSE(r.Contains(".hidden"));
    EXPECT_FALSE(r.Contains("secret"));
    EXPECT_FALSE(r.Contains(">link<"));
    // A `dir` outside the roots expands nothing.
    r = Get("Aliases&dir=%2Fetc");
    EXPECT_FALSE(r.Contains("-<a"));
    EXPECT_FALSE(r.Contains("passwd"));

    // The list form: rows across both lists, with links to the tree.
    EXPECT_TRUE(r.HasLine("<tr><td><input type=\"text\" name=\"key0\" value=\"/b/\"></td>"));
    EXPECT_TRUE(r.HasLine("<td><input type=\"hidden\" name=\"value1\" value=\"" + bin +
                          "\"><a href=\"nph-QMHTTPD.exe?Aliases&dir=" + cgi::UrlEncode(bin) +
                          "\">" + bin + "</a></td>"));
    EXPECT_TRUE(r.HasLine("<td><input type=\"checkbox\" name=\"Exec1\" checked></td></tr>"));
    EXPECT_TRUE(r.HasLine("<td><input type=\"checkbox\" name=\"Exec0\"></td></tr>"));
}

TEST_F(Pages, AuthorizationPageShowsTheNearestFiles) {
    std::string docs = root_ / "htdocs";
    std::filesystem::create_directories(docs + "/b/inner");
    SetReg("PathAlias", ";/b/;" + docs + "/b;");
    std::ofstream(docs + "/.qmauth") << "AuthType: Basic\nRealm: Everything\nAuthUserFile: staff\n";
    std::ofstream(docs + "/b/.qmip") << "127.0.0.1\n";

    Response r = Get("Authorization&dir=%2Fb%2Finner");
    ExpectFrame(r);
    // The root row owns the authorization file; /b inherits it and owns the IP file.
    int root = r.Find("<b>ServerRoot</b>");
    ASSERT_GE(root, 0);
    std::vector<std::string> rootRow = {
        "<b>ServerRoot</b>", "</td><td>", "<b>Everything</b>", "</td><td>",
        "<a href=\"nph-QMHTTPD.exe?Authorization&dir=&AuthFile=" + cgi::UrlEncode(docs + "/.qmauth") +
            "\">Edit</a>",
        "</td><td>", "</td><td>", "<a href=\"nph-QMHTTPD.exe?Authorization&dir=&IPFile=New\">New",
        "</a>", "</td></tr>"};
    EXPECT_EQ(Slice(r, rootRow[0], rootRow.size()), rootRow);
    std::vector<std::string> bRow = {
        "-<a href=\"nph-QMHTTPD.exe?Authorization\">/b/</a>", "</td><td>", "Everything",
        "</td><td>", "<a href=\"nph-QMHTTPD.exe?Authorization&dir=%2Fb%2F&AuthFile=New\">New</a>",
        "</td><td>", "<b>/b</b>", "</td><td>",
        "<a href=\"nph-QMHTTPD.exe?Authorization&dir=%2Fb%2F&IPFile=" +
            cgi::UrlEncode(docs + "/b/.qmip") + "\">Edit",
        "</a>", "</td></tr>"};
    EXPECT_EQ(Slice(r, bRow[0], bRow.size()), bRow);
    EXPECT_TRUE(r.HasLine("+<a href=\"nph-QMHTTPD.exe?Authorization&dir=%2Fb%2Finner\">inner</a>") ||
                r.HasLine("-<a href=\"nph-QMHTTPD.exe?Authorization&dir=%2Fb%2F\">inner</a>"));
    // The page route is one more row, so the management pages can be closed too.
    EXPECT_TRUE(r.HasLine("+<a href=\"nph-QMHTTPD.exe?Authorization&dir=%2Fqm\">/qm</a>"));
    EXPECT_EQ(r.lines[r.Find("</table>") + 1], "<br>");
}

TEST_F(Pages, AuthorizationEditors) {
    std::string docs = root_ / "htdocs";
    std::ofstream(docs + "/.qmpasswd/staff") << "alice:a\nbob:b\n";
    std::ofstream(docs + "/.qmauth") << "AuthType: Basic\nRealm: Staff\nAuthUserFile: staff\n";
    std::string target = cgi::UrlEncode(docs + "/.qmauth");

    Response r = Get("Authorization&dir=&AuthFile=" + target);
    std::string query = "Authorization&amp;dir=&amp;AuthFile=" + target;
    std::vector<std::string> want = {
        "<hr>", "<h3>Edit Authorization File:</h3>",
        "<form action=\"nph-QMHTTPD.exe?" + query +
            "\" method=\"POST\" onSubmit=\"return ConfirmSave()\">",
        "<input type=\"hidden\" name=\"mode\" value=\"Authorization\">",
        "<input type=\"hidden\" name=\"QueryString\" value=\"" + query + "\">", "In ServerRoot",
        " (<a href=\"nph-QMHTTPD.exe?Aliases&dir=" + cgi::UrlEncode(docs) + "\">" + docs +
            "</a>)<p></p>",
        "<input type=\"hidden\" name=\"AuthFile\" value=\"" + docs + "/.qmauth\">"};
    EXPECT_EQ(Slice(r, "<h3>Edit Authorization File:</h3>", want.size() - 1),
              std::vector<std::string>(want.begin() + 1, want.end()));
    EXPECT_TRUE(r.Contains("<input type=\"text\" name=\"Realm\" value=\"Staff\">"));
    EXPECT_TRUE(r.Contains("<tr><td>Current</td><td><input type=\"text\" name=\"AuthUserFile\" "
                           "value=\"staff\"></td></tr>"));
    EXPECT_TRUE(r.HasLine("<option>staff"));
    EXPECT_TRUE(r.Contains("<input type=\"text\" name=\"user1\" value=\"bob\">"));
    EXPECT_TRUE(r.Contains("<input type=\"text\" name=\"user2\"></td>"));
    EXPECT_FALSE(r.Contains("value=\"b\""));  // passwords are never shown
    EXPECT_TRUE(r.HasLine("<h3>Delete Authorization file:</h3>"));

    r = Get("Authorization&dir=&AuthFile=New");
    EXPECT_TRUE(r.Contains("<tr><td>New</td><td><input type=\"text\" name=\"AuthUserFile\"></td></tr>"));
    EXPECT_TRUE(r.Contains("<input type=\"text\" name=\"user0\">"));
    EXPECT_FALSE(r.HasLine("<h3>Delete Authorization file:</h3>"));

    std::ofstream(docs + "/.qmip") << "10.0.0.1\n192.168.*.1\n";
    r = Get("Authorization&dir=&IPFile=" + cgi::UrlEncode(docs + "/.qmip"));
    std::vector<std::string> options = {"<select multiple name=\"remove\" size=\"10\">",
                                        "<option selected>Not Selected", "<option>Remove all",
                                        "<option>10.0.0.1", "<option>192.168.*.1", "</select>"};
    EXPECT_EQ(Slice(r, options[0], options.size()), options);
    EXPECT_TRUE(r.HasLine("<h3>Delete IP Access Permission File:</h3>"));

    // Files elsewhere are neither read nor offered for editing.
    for (const std::string& q : std::vector<std::string>{"Authorization&dir=&AuthFile=%2Fetc%2Fpasswd",
                                "Authorization&dir=%2F..%2F..&AuthFile=New",
                                "Authorization&dir=&IPFile=%2Fetc%2Fhosts"}) {
        r = Get(q);
        EXPECT_TRUE(r.HasLine("ERROR: Invalid Data.<br><hr>")) << q;
        EXPECT_FALSE(r.Contains("Edit Authorization File")) << q;
        EXPECT_FALSE(r.Contains("localhost")) << q;
    }
}

}  // namespace
}  // namespace qm::admin::testing
