// qmhttpd enforcing the access files the administration pages write: Basic authentication
// from the nearest authorization file, the IP access file, the template folders, and settings
// read again when the server continues after a pause.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "access_check.h"
#include "qm/cgi/coding.h"
#include "qm/platform/registry.h"
#include "qm/platform/service_control.h"
#include "qm/testing/testing.h"
#include "server_process.h"
#include "settings.h"

namespace qm::httpd {
namespace {

using qm::testing::FreePort;

// The status code of a GET sent from the client address `from` (another loopback address).
int StatusFrom(const std::string& from, int port, const std::string& path) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &local.sin_addr);
    if (bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(s);
        return -1;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval tv{20, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    std::string out;
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0) {
        std::string req = "GET " + path + " HTTP/1.0\r\nHost: x\r\n\r\n";
        if (send(s, req.data(), req.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(req.size())) {
            char buf[256];
            ssize_t n = recv(s, buf, sizeof buf, 0);
            if (n > 12) out.assign(buf, static_cast<size_t>(n));
        }
    }
    close(s);
    return out.size() > 12 ? std::atoi(out.c_str() + 9) : -1;
}

class Access : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SeedRegistry(root_.path(), &password_), 0);
        port_ = FreePort();
        std::filesystem::create_directories(root_ / "htdocs/private/sub");
        std::filesystem::create_directories(root_ / "htdocs/.qmpasswd");
        std::filesystem::create_directories(root_ / "html/en");
        std::ofstream(root_ / "htdocs/index.html") << "open";
        std::ofstream(root_ / "htdocs/private/a.html") << "secret a";
        std::ofstream(root_ / "htdocs/private/sub/b.html") << "secret b";
        std::ofstream(root_ / "htdocs/.qmpasswd/staff") << "alice:wonder\n";
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGTERM);
            waitpid(pid_, nullptr, 0);
        }
    }
    void Start() {
        pid_ = test::StartHttpd(root_.path(), port_, std::chrono::seconds(30),
                                [] { return platform::QueryServiceState(kServiceName) == 1; });
        ASSERT_GT(pid_, 0) << "qmhttpd did not come up";
    }
    httplib::Client Client(const std::string& user = "", const std::string& pass = "") {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(20);
        if (!user.empty()) c.set_basic_auth(user, pass);
        return c;
    }
    int Status(const std::string& path, const std::string& user = "", const std::string& pass = "") {
        auto r = Client(user, pass).Get(path);
        return r ? r->status : -1;
    }
    testing::TempRoot root_;
    std::string password_;
    int port_ = 0;
    pid_t pid_ = -1;
};

TEST_F(Access, InstallationGeneratesTheAdministratorPasswordOnce) {
    ASSERT_EQ(password_.size(), 16u);
    std::string stored = platform::RegReadText(platform::RegRoot::LocalMachine, kHttpdKey,
                                               "SpecialCgiPassword");
    EXPECT_EQ(stored, cgi::Base64Encode("admin:" + password_));
    std::string again;
    ASSERT_EQ(SeedRegistry(root_.path(), &again), 0);
    EXPECT_EQ(again, "");
    EXPECT_EQ(platform::RegReadText(platform::RegRoot::LocalMachine, kHttpdKey, "SpecialCgiPassword"),
              stored);
}

TEST_F(Access, AuthorizationFileProtectsItsFolderAndTheFoldersBelow) {
    std::ofstream(root_ / "htdocs/private/.qmauth")
        << "AuthType: Basic\nRealm: Staff \"only\"\nAuthUserFile: staff\n";
    Start();
    auto r = Client().Get("/private/a.html");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 401);
    EXPECT_EQ(r->get_header_value("WWW-Authenticate"), "Basic realm=\"Staff only\"");
    EXPECT_EQ(Status("/private/sub/b.html"), 401);
    EXPECT_EQ(Status("/private/a.html", "alice", "wrong"), 401);
    EXPECT_EQ(Status("/private/a.html", "nobody", "wonder"), 401);
    auto ok = Client("ALICE", "wonder").Get("/private/sub/b.html");
    ASSERT_TRUE(ok);
    EXPECT_EQ(ok->status, 200);
    EXPECT_EQ(ok->body, "secret b");
    EXPECT_EQ(Status("/index.html"), 200);
    // The access files themselves are never served, not even to a user.
    EXPECT_NE(Status("/private/.qmauth", "alice", "wonder"), 200);
    EXPECT_NE(Status("/.qmpasswd/staff", "alice", "wonder"), 200);
    // A password file that is gone shuts the folder.
    std::filesystem::remove(root_ / "htdocs/.qmpasswd/staff");
    EXPECT_EQ(Status("/private/a.html", "alice", "wonder"), 401);
}

TEST_F(Access, TemplatePagesAreClosedLikeTheirFolder) {
    std::ofstream(root_ / "html/.qmauth") << "AuthType: Basic\nRealm: Pages\nAuthUserFile: staff\n";
    // Qmcgi runs from the CGI folder, where programs must lie (links resolved).
    for (const char* f : {"Qmcgi", "libqmplatform.so"}) {
        std::filesystem::copy_file(testing::BuildBinFolder() + "/" + f, root_ / ("bin/" + std::string(f)));
    }
    Start();
    EXPECT_EQ(Status("/qm?LANGUAGE=en&TEMPLATE=index.htm"), 401);
    EXPECT_EQ(Status("/qm?LANGUAGE=..&TEMPLATE=index.htm"), 401);
    EXPECT_EQ(Status("/cgi-bin/Qmcgi.exe?LANGUAGE=en&TEMPLATE=index.htm"), 401);
    EXPECT_NE(Status("/qm?LANGUAGE=en&TEMPLATE=index.htm", "alice", "wonder"), 401);
    EXPECT_EQ(Status("/index.html"), 200);  // the document root is not below html/
}

TEST_F(Access, IpFileShutsOutOtherAddresses) {
    std::ofstream(root_ / "htdocs/private/.qmip") << "127.0.0.1\n10.0.*.*\n";
    Start();
    EXPECT_EQ(StatusFrom("127.0.0.1", port_, "/private/a.html"), 200);
    EXPECT_EQ(StatusFrom("127.0.0.2", port_, "/private/a.html"), 403);
    EXPECT_EQ(StatusFrom("127.0.0.2", port_, "/index.html"), 200);
    std::ofstream(root_ / "htdocs/private/.qmip") << "127.0.0.*\n";
    EXPECT_EQ(StatusFrom("127.0.0.2", port_, "/private/sub/b.html"), 200);
}

TEST_F(Access, ContinuingReadsTheSettingsAgain) {
    std::filesystem::create_directories(root_ / "extra");
    std::ofstream(root_ / "extra/e.txt") << "extra";
    Start();
    EXPECT_EQ(Status("/extra/e.txt"), 404);
    platform::RegSetString(platform::RegRoot::LocalMachine, kHttpdKey, "PathAlias",
                           ";/extra/;" + (root_ / "extra") + ";");
    EXPECT_EQ(Status("/extra/e.txt"), 404);  // not before the restart
    ASSERT_EQ(platform::SignalServicePause(kServiceName), 0);
    ASSERT_TRUE(testing::Eventually([] { return platform::QueryServiceState(kServiceName) == 2; },
                                    std::chrono::seconds(20)));
    ASSERT_EQ(platform::SignalServicePause(kServiceName), 0);
    ASSERT_TRUE(testing::Eventually([] { return platform::QueryServiceState(kServiceName) == 1; },
                                    std::chrono::seconds(20)));
    EXPECT_TRUE(testing::Eventually([&] { return Status("/extra/e.txt") == 200; },
                                    std::chrono::seconds(20)));
}

TEST(AccessPaths, FolderAndTemplatePaths) {
    EXPECT_EQ(FolderAliasPath("/private/a.html"), "/private");
    EXPECT_EQ(FolderAliasPath("/index.html"), "");
    EXPECT_EQ(FolderAliasPath("/private/"), "/private");
    EXPECT_EQ(TemplateAliasPath("en"), "/qm/en");
    EXPECT_EQ(TemplateAliasPath(""), "/qm");
    EXPECT_EQ(TemplateAliasPath(".."), "/qm");
    EXPECT_EQ(TemplateAliasPath("en/../x"), "/qm");
}

}  // namespace
}  // namespace qm::httpd
