// Who may use the administration program: password, referring pages, registration.
#include "admin_harness.h"
#include "qm/cgi/coding.h"

namespace qm::admin::testing {
namespace {

constexpr const char* kOwn = "http://127.0.0.1:8080/cgi-bin/nph-QMHTTPD.exe";

class Access : public AdminTest {
protected:
    Response As(const std::string& remote, const std::string& auth, const std::string& referer) {
        Env env = Request("GET", "Special");
        env["REMOTE_ADDR"] = remote;
        if (auth.empty()) env.erase("HTTP_AUTHORIZATION");
        else env["HTTP_AUTHORIZATION"] = auth;
        if (!referer.empty()) env["HTTP_REFERER"] = referer;
        return Run(env);
    }
    static bool Refused(const Response& r) {
        return !r.lines.empty() && r.lines[0] == "HTTP/1.0 401 Unauthorized";
    }
    static bool Allowed(const Response& r) { return r.HasLine("<h2>Special:</h2>"); }
    static std::string Basic(const std::string& userPass) {
        return "Basic " + cgi::Base64Encode(userPass);
    }
};

TEST_F(Access, PasswordChecks) {
    Response r = As("10.1.2.3", "", "");
    ASSERT_TRUE(Refused(r));
    std::vector<std::string> want = {"HTTP/1.0 401 Unauthorized", "Content-type: text/html",
                                     "WWW-Authenticate: Basic Realm=\"SpecialCgiScript\"", "",
                                     "<html><body>",
                                     "<h1>Forbidden to execute Server Configuration Script.</h1>",
                                     "Please input the authorization information.<br>",
                                     "</body></html>"};
    EXPECT_EQ(r.lines, want);
    EXPECT_TRUE(Allowed(As("10.1.2.3", Basic("admin:secret"), "")));
    EXPECT_TRUE(Refused(As("10.1.2.3", Basic("admin:wrong"), "")));
    EXPECT_TRUE(Refused(As("10.1.2.3", Basic("admin:"), "")));
    EXPECT_TRUE(Refused(As("10.1.2.3", Basic("admin"), "")));
    EXPECT_TRUE(Refused(As("10.1.2.3", "Basic", "")));
    // The stored Base64 text is compared without regard to case.
    std::string encoded = cgi::Base64Encode("admin:secret");
    std::string flipped = encoded;
    for (char& ch : flipped) ch = std::isupper(static_cast<unsigned char>(ch)) ? std::tolower(ch) : std::toupper(ch);
    EXPECT_TRUE(Allowed(As("10.1.2.3", "Basic " + flipped, "")));

    // With no password stored, any name with a non-empty password comes in; none still does not.
    SetReg("SpecialCgiPassword", "");
    EXPECT_TRUE(Allowed(As("10.1.2.3", Basic("anyone:x"), "")));
    EXPECT_TRUE(Refused(As("10.1.2.3", Basic("anyone:"), "")));
    EXPECT_TRUE(Refused(As("10.1.2.3", "", "")));
}

TEST_F(Access, RefererOnlyCountsOnTheServersOwnHost) {
    SetReg("SpecialCgiReferer", ";http://intranet/menu.htm;");
    // From loopback: the program's own URL (any query) and registered pages need no password.
    EXPECT_TRUE(Allowed(As("127.0.0.1", "", std::string(kOwn) + "?Aliases&dir=x")));
    EXPECT_TRUE(Allowed(As("127.0.0.2", "", "HTTP://intranet/MENU.htm?a=1")));
    EXPECT_TRUE(Allowed(As("::1", "", "http://intranet/menu.htm,other")));
    EXPECT_TRUE(Refused(As("127.0.0.1", "", "http://elsewhere/")));
    // From the network the same headers count for nothing.
    EXPECT_TRUE(Refused(As("192.168.1.5", "", kOwn)));
    EXPECT_TRUE(Refused(As("192.168.1.5", "", "http://intranet/menu.htm")));
    EXPECT_TRUE(Refused(As("::ffff:192.168.1.5", "", kOwn)));
    // ... and a good password with an unregistered referer just lets them in.
    EXPECT_TRUE(Allowed(As("192.168.1.5", Basic("admin:secret"), "http://elsewhere/x.htm")));
}

TEST_F(Access, RegistrationIsOfferedOnLoopbackAndStoresThePage) {
    Response r = As("127.0.0.1", Basic("admin:secret"), "http://intranet/<b>menu.htm?x=1");
    std::vector<std::string> want = {
        "HTTP/1.0 200 OK", "Content-type: text/html", "", "<html><head>",
        "<title>OvrelNet HTTP Server Management</title>", "</head>", "<body bgcolor=\"#CBB8BD\">",
        "<h1>OvrelNet HTTP Server Management</h1>", "<hr>", "<h2>Register Refererence Page:</h2>",
        "This page is to register the current reference page.<br>",
        "Once you register it, Server Configuration Script will not require the authorization "
        "password.<br>",
        "Do you want to register it, http://intranet/&lt;b&gt;menu.htm ?<br>",
        "<form action=\"nph-QMHTTPD.exe\" method=\"POST\">",
        "<input type=\"hidden\" name=\"mode\" value=\"Referer\">",
        "<input type=\"hidden\" name=\"new\" value=\"http://intranet/&lt;b&gt;menu.htm\">",
        "<input type=\"submit\" value=\"Register\"> After registering, go to Main menu.", "</form>",
        "<form action=\"nph-QMHTTPD.exe\" method=\"GET\">",
        "<input type=\"submit\" value=\"Not Register\"> Go to Main menu.", "</form>", "<p>",
        "If you want to check or edit the registerd pages, please go to Special menu.<br>",
        "</p>", "</body></html>"};
    EXPECT_EQ(r.lines, want);

    Env post = Request("POST", "");
    post["HTTP_REFERER"] = kOwn;  // the registration page is the program's own
    Run(post, "mode=Referer&new=http%3A%2F%2Fintranet%2Fmenu.htm");
    EXPECT_EQ(Reg("SpecialCgiReferer"), ";http://intranet/menu.htm;");
    EXPECT_TRUE(Allowed(As("127.0.0.1", "", "http://intranet/menu.htm")));
}

}  // namespace
}  // namespace qm::admin::testing
