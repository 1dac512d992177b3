// The Control page and its handler against a real qmhttpd serving this program.
#include <httplib.h>
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "admin_harness.h"
#include "qm/testing/testing.h"
#include "qm/cgi/coding.h"
#include "qm/svcctl/svcctl.h"

namespace qm::admin::testing {
namespace {

using qm::testing::FreePort;

class Control : public AdminTest {
protected:
    void TearDown() override {
        if (GetServerState() == QM_SERVER_PAUSED) ContinueServer(0);
        if (GetServerState() != QM_SERVER_STOPPED) StopServer(0);
    }
    // Lays out a root that qmhttpd serves this program from, and starts it through the helpers.
    void StartServed() {
        namespace fs = std::filesystem;
        std::string build = qm::testing::BuildBinFolder();
        fs::create_symlink(build + "/qmhttpd", root_ / "bin/qmhttpd");
        // CGI programs must lie inside the alias folder, links resolved: copy, with the one
        // shared library the program needs beside it.
        fs::copy_file(build + "/nph-QMHTTPD", root_ / "bin/nph-QMHTTPD");
        fs::copy_file(build + "/libqmplatform.so", root_ / "bin/libqmplatform.so");
        port_ = FreePort();
        SetReg("Port", std::to_string(port_));
        int rc = StartServer(0);
        ASSERT_TRUE(rc == 0 || rc == 1) << rc;
        ASSERT_TRUE(qm::testing::Eventually([] { return GetServerState() == QM_SERVER_RUNNING; },
                                            std::chrono::seconds(30)));
    }
    httplib::Result Send(const std::string& method, const std::string& target,
                         const std::string& body = "") {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(30);
        httplib::Headers h = {{"Authorization", credentials_}};
        if (method == "GET") return c.Get(target, h);
        return c.Post(target, h, body, "application/x-www-form-urlencoded");
    }
    int port_ = 0;
};

TEST_F(Control, FailuresCarryTheServersLastErrorLine) {
    std::ofstream(root_ / "bin/servicelog.txt") << "[Error] 2026/01/01 00:00:00 cannot listen\nok\n";
    Response r = Post("mode=Control&submode=Pause&QueryString=Control");
    std::vector<std::string> want = {"<h2>Control Result:</h2>", "Failed to pause Http Server.<br>",
                                     "[Error] 2026/01/01 00:00:00 cannot listen<br>",
                                     "<a href=\"http://127.0.0.1:8080/cgi-bin/nph-QMHTTPD.exe?Control\">"
                                     "Back</a><p></p>"};
    int at = r.Find(want[0]);
    ASSERT_GE(at, 0) << r.text;
    EXPECT_EQ(std::vector<std::string>(r.lines.begin() + at, r.lines.begin() + at + 4), want);
    // SpecialCgiPort, when stored, is the port of the way back; port 80 is left out.
    SetReg("SpecialCgiPort", "80");
    r = Post("mode=Control&submode=Stop&QueryString=Control");
    EXPECT_TRUE(r.HasLine("Succeed to stop Http Server.<br>"));  // it was stopped already
    EXPECT_TRUE(r.HasLine("<a href=\"http://127.0.0.1/cgi-bin/nph-QMHTTPD.exe?Control\">Back</a><p></p>"));
    // Without the installation folder nothing is done and only the way back is shown.
    DeleteReg("InstallationPath");
    r = Post("mode=Control&submode=Start&QueryString=Control");
    EXPECT_FALSE(r.HasLine("<h2>Control Result:</h2>"));
    EXPECT_EQ(GetServerState(), QM_SERVER_STOPPED);
}

TEST_F(Control, RestartPausesAndContinuesTheRunningServer) {
    StartServed();
    auto page = Send("GET", "/cgi-bin/nph-QMHTTPD.exe?Control");
    ASSERT_TRUE(page);
    ASSERT_EQ(page->status, 200) << page->body;
    EXPECT_NE(page->body.find("\nHTTP Server is running.\n"), std::string::npos) << page->body;

    auto r = Send("POST", "/cgi-bin/nph-QMHTTPD.exe", "mode=Control&submode=Restart&QueryString=Control");
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("\nNow restart Http Server ...<br>\n"), std::string::npos) << r->body;
    EXPECT_NE(r->body.find("<a href=\"http://127.0.0.1:" + std::to_string(port_) +
                           "/cgi-bin/nph-QMHTTPD.exe?Control\">Back</a>"),
              std::string::npos);
    ASSERT_TRUE(qm::testing::Eventually([] { return GetServerState() == QM_SERVER_RUNNING; },
                                        std::chrono::seconds(30)));
    std::string log = Slurp(root_ / "bin/servicelog.txt");
    size_t paused = log.find("paused"), continued = log.find("continued");
    EXPECT_NE(paused, std::string::npos) << log;
    EXPECT_NE(continued, std::string::npos) << log;
    EXPECT_LT(paused, continued);

    // Pause through the page: the server then answers 503 until it is continued.
    r = Send("POST", "/cgi-bin/nph-QMHTTPD.exe", "mode=Control&submode=Pause&QueryString=Control");
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("Succeed to pause Http Server.<br>"), std::string::npos) << r->body;
    EXPECT_EQ(GetServerState(), QM_SERVER_PAUSED);
    auto refused = Send("GET", "/cgi-bin/nph-QMHTTPD.exe?Control");
    ASSERT_TRUE(refused);
    EXPECT_EQ(refused->status, 503);
    EXPECT_EQ(ContinueServer(0), 0);
    page = Send("GET", "/cgi-bin/nph-QMHTTPD.exe?Control");
    ASSERT_TRUE(page);
    EXPECT_EQ(page->status, 200);
}

}  // namespace
}  // namespace qm::admin::testing
