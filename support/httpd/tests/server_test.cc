// qmhttpd as a real process in a temporary installation root, spoken to over loopback.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "qm/platform/named_objects.h"
#include "qm/platform/owners.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"
#include "server_process.h"
#include "settings.h"

namespace qm::httpd {

namespace {

using qm::testing::FreePort;
using qm::testing::ReadFile;

void Script(const std::string& path, const std::string& body) {
    std::ofstream(path) << "#!/bin/sh\n" << body;
    chmod(path.c_str(), 0755);
}

// Sends raw bytes and returns whatever comes back before the server closes or 2 s pass.
std::string Raw(int port, const std::string& bytes) {
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) return "<connect failed>";
    timeval tv{2, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    if (send(s, bytes.data(), bytes.size(), MSG_NOSIGNAL) < 0) {
        close(s);
        return "<send failed>";
    }
    std::string out;
    char buf[4096];
    ssize_t n;
    while ((n = recv(s, buf, sizeof buf, 0)) > 0) out.append(buf, static_cast<size_t>(n));
    close(s);
    return out;
}

class Server : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SeedRegistry(root_.path()), 0);
        platform::RegSetString(platform::RegRoot::LocalMachine, kHttpdKey, "Timeout", "2");
        port_ = FreePort();
        std::ofstream(root_ / "htdocs/index.html") << "<html>welcome</html>";
        Script(root_ / "bin/env.cgi",
               "printf 'Content-type: text/plain\\r\\nX-Test: yes\\r\\n\\r\\n'\n"
               "echo \"method=$REQUEST_METHOD query=$QUERY_STRING info=$PATH_INFO\"\n"
               "echo \"script=$SCRIPT_NAME software=$SERVER_SOFTWARE type=$CONTENT_TYPE\"\n"
               "echo \"length=$CONTENT_LENGTH root=$QM_ROOT agent=$HTTP_USER_AGENT\"\n"
               "cat\n");
    }
    void TearDown() override { StopServer(); }

    void StartServer() {
        pid_ = test::StartHttpd(root_.path(), port_);
        ASSERT_GT(pid_, 0) << "qmhttpd did not come up";
    }
    // The build's folder, with the page gateway Qmcgi, runs as /gw/ beside the test's cgi-bin.
    void AliasGatewayFolder() {
        platform::RegSetString(platform::RegRoot::LocalMachine, kHttpdKey, "ExecAlias",
                               ";/cgi-bin/;" + root_.path() + "/bin;/gw/;" + testing::BuildBinFolder() + ";");
    }
    int StopServer() {
        if (pid_ <= 0) return -1;
        kill(pid_, SIGCONT);  // a test that stopped it and failed half-way must not hang here
        kill(pid_, SIGTERM);
        int status = 0;
        waitpid(pid_, &status, 0);
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }
    httplib::Client Client() {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(10);
        c.set_url_encode(false);  // send the test's URLs byte for byte
        return c;
    }

    testing::TempRoot root_;
    int port_ = 0;
    pid_t pid_ = -1;
};

}  // namespace

TEST_F(Server, ServesFilesWithTypesAndRefusesEscapes) {
    std::ofstream(root_ / "secret.txt") << "top secret";
    std::filesystem::create_symlink(root_ / "secret.txt", root_ / "htdocs/out.txt");
    StartServer();
    auto c = Client();
    auto r = c.Get("/");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->body, "<html>welcome</html>");
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/html");
    EXPECT_EQ(r->get_header_value("Server"), "qmhttpd/1.0");
    auto again = c.Get("/index.html", {{"If-Modified-Since", r->get_header_value("Last-Modified")}});
    ASSERT_TRUE(again);
    EXPECT_EQ(again->status, 304);
    EXPECT_EQ(c.Get("/nothing.html")->status, 404);
    EXPECT_EQ(c.Get("/out.txt")->status, 403) << "symbolic link out of the root";
    for (const char* attack : {"GET /../secret.txt HTTP/1.1\r\nHost: x\r\n\r\n",
                               "GET /%2e%2e/secret.txt HTTP/1.1\r\nHost: x\r\n\r\n",
                               "GET /%2E%2E%2Fsecret.txt HTTP/1.1\r\nHost: x\r\n\r\n",
                               "GET /..%5csecret.txt HTTP/1.1\r\nHost: x\r\n\r\n"}) {
        std::string reply = Raw(port_, attack);
        EXPECT_EQ(reply.find("top secret"), std::string::npos) << attack;
        EXPECT_NE(reply.find("HTTP/1.1 4"), std::string::npos) << attack << reply;
    }
}

TEST_F(Server, RunsCgiProgramsWithTheirEnvironmentAndBody) {
    StartServer();
    auto c = Client();
    auto r = c.Post("/cgi-bin/env.cgi/more?x=1&y=2", "posted body", "application/x-www-form-urlencoded");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("X-Test"), "yes");
    EXPECT_EQ(r->get_header_value("Content-Type"), "text/plain");
    EXPECT_NE(r->body.find("method=POST query=x=1&y=2 info=/more"), std::string::npos) << r->body;
    EXPECT_NE(r->body.find("script=/cgi-bin/env.cgi software=qmhttpd/1.0 "
                           "type=application/x-www-form-urlencoded"),
              std::string::npos);
    EXPECT_NE(r->body.find("length=11 root=" + root_.path()), std::string::npos);
    EXPECT_NE(r->body.find("posted body"), std::string::npos);

    // A multipart body reaches the program byte for byte, with its own content type.
    std::string boundary = "XyZ";
    std::string body = "--XyZ\r\nContent-Disposition: form-data; name=\"postfile\"; "
                       "filename=\"a.gif\"\r\nContent-Type: image/gif\r\n\r\nGIF\0\r\n89"
                       "\r\n--XyZ--\r\n";
    body.insert(body.find("GIF") + 3, 1, '\0');
    r = c.Post("/cgi-bin/env.cgi", body, "multipart/form-data; boundary=XyZ");
    ASSERT_TRUE(r);
    EXPECT_NE(r->body.find("type=multipart/form-data; boundary=XyZ"), std::string::npos);
    EXPECT_NE(r->body.find(body), std::string::npos) << "the raw body, NUL bytes included";
}

TEST_F(Server, CgiStatusLocationNphAndTimeOut) {
    Script(root_ / "bin/missing.cgi", "printf 'Status: 404 Gone away\\n\\nnot here'\n");
    Script(root_ / "bin/moved.cgi", "printf 'Location: /index.html\\n\\n'\n");
    Script(root_ / "bin/nph-raw.cgi",
           "printf 'HTTP/1.0 207 Multi\\r\\nContent-type: text/plain\\r\\n\\r\\nraw'\n");
    // A sleep no other process on the machine runs, so the check below finds only ours.
    Script(root_ / "bin/slow.cgi", "sleep 30.4917\n");
    Script(root_ / "bin/garbage.cgi", "echo this is not a header\n");
    Script(root_ / "bin/flood.cgi",
           "printf 'Content-type: text/plain\\n\\n'\nhead -c 3000000 /dev/zero | tr '\\0' x\n");
    StartServer();
    auto c = Client();
    auto r = c.Get("/cgi-bin/missing.cgi");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
    EXPECT_EQ(r->body, "not here");
    r = c.Get("/cgi-bin/moved.cgi");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 302);
    EXPECT_EQ(r->get_header_value("Location"), "/index.html");
    r = c.Get("/cgi-bin/nph-raw.cgi");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 207);
    EXPECT_EQ(r->body, "raw");
    auto start = std::chrono::steady_clock::now();
    r = c.Get("/cgi-bin/slow.cgi");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 504);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(c.Get("/cgi-bin/garbage.cgi")->status, 502);
    r = c.Get("/cgi-bin/flood.cgi");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body.size(), 3000000u);
    // The killed program left no process behind.
    EXPECT_TRUE(testing::Eventually([] {
        return system("pgrep -f 'slee[p] 30.4917' >/dev/null") != 0;
    }));
}

TEST_F(Server, SurvivesMalformedAndOversizedRequests) {
    StartServer();
    auto count = [&](const char* what) {
        std::string dir = "/proc/" + std::to_string(pid_) + "/" + what;
        size_t n = 0;
        for ([[maybe_unused]] auto& e : std::filesystem::directory_iterator(dir)) ++n;
        return n;
    };
    const size_t fdsBefore = count("fd"), threadsBefore = count("task");
    EXPECT_NE(Raw(port_, "NONSENSE\r\n\r\n").find("400"), std::string::npos);
    EXPECT_NE(Raw(port_, "GET / HTTP/1.1\r\nX: " + std::string(20000, 'a') + "\r\n\r\n").find("HTTP/1.1 4"),
              std::string::npos);
    EXPECT_NE(Raw(port_, "GET /" + std::string(10000, 'a') + " HTTP/1.1\r\n\r\n").find("414"),
              std::string::npos);
    Raw(port_, "GET / HTTP/1.1\r\nHost: x\r\n");  // a client that stops half-way
    std::vector<std::thread> many;
    std::atomic<int> ok{0};
    for (int i = 0; i < 40; ++i) {  // more clients at once than worker threads
        many.emplace_back([&] {
            auto c = Client();
            if (auto r = c.Get("/"); r && r->status == 200) ++ok;
        });
    }
    for (auto& t : many) t.join();
    EXPECT_EQ(ok, 40);
    auto r = Client().Get("/");
    ASSERT_TRUE(r) << "still serving";
    EXPECT_EQ(r->status, 200);
    // Every connection has been closed by now (clients gone, keep-alive ended): nothing leaked.
    EXPECT_TRUE(testing::Eventually([&] { return count("fd") <= fdsBefore + 1; },
                                    std::chrono::seconds(12)))
        << count("fd") << " descriptors, " << fdsBefore << " before";
    EXPECT_EQ(count("task"), threadsBefore) << "worker threads are a fixed pool";
}

TEST_F(Server, ABurstOfConnectionsWaitsInTheQueueInsteadOfBeingDropped) {
    StartServer();
    // While the server accepts nothing, the kernel alone completes handshakes, as many as the
    // listening socket's queue holds; a connection beyond it is dropped and later fails.
    ASSERT_EQ(kill(pid_, SIGSTOP), 0);
    constexpr int kClients = 100;
    std::vector<platform::UniqueFd> socks;
    for (int i = 0; i < kClients; ++i) {
        const int s = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK, 0);
        ASSERT_GE(s, 0);
        socks.emplace_back(s);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(static_cast<uint16_t>(port_));
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    }
    // Handshakes on loopback take microseconds; ten seconds is for a loaded machine.
    std::vector<bool> up(socks.size(), false);
    int connected = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (connected < kClients && std::chrono::steady_clock::now() < deadline) {
        std::vector<pollfd> waiting;
        for (size_t i = 0; i < socks.size(); ++i)
            if (!up[i]) waiting.push_back({socks[i].get(), POLLOUT, 0});
        if (poll(waiting.data(), waiting.size(), 100) <= 0) continue;
        for (const pollfd& p : waiting) {
            if (!(p.revents & POLLOUT)) continue;
            int err = -1;
            socklen_t len = sizeof err;
            if (getsockopt(p.fd, SOL_SOCKET, SO_ERROR, &err, &len) != 0 || err != 0) continue;
            const auto same = [&p](const platform::UniqueFd& s) { return s.get() == p.fd; };
            up[static_cast<size_t>(std::find_if(socks.begin(), socks.end(), same) - socks.begin())] = true;
            ++connected;
        }
    }
    kill(pid_, SIGCONT);
    EXPECT_EQ(connected, kClients);
    // Once it runs again, every one of them is answered.
    int answered = 0;
    for (size_t i = 0; i < socks.size(); ++i) {
        const int s = socks[i].get();
        if (!up[i]) continue;
        const int flags = fcntl(s, F_GETFL);
        fcntl(s, F_SETFL, flags & ~O_NONBLOCK);
        timeval tv{30, 0};
        setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
        const std::string get = "GET / HTTP/1.0\r\n\r\n";
        char buf[64] = {};
        if (send(s, get.data(), get.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(get.size()) &&
            recv(s, buf, sizeof buf - 1, MSG_WAITALL) > 12 && std::string(buf).starts_with("HTTP/1.1 200"))
            ++answered;
    }
    EXPECT_EQ(answered, kClients);
}

TEST_F(Server, StopPauseAndContinueThroughNamedObjects) {
    StartServer();
    platform::NamedMutex probe;
    ASSERT_EQ(probe.Open("__MUTEX__QNQuinsward_Httpd"), 0) << "a running server holds it";
    EXPECT_EQ(probe.Wait(0), 0) << "not owned while running";
    probe.Release();

    platform::NamedEvent pause;
    ASSERT_EQ(pause.Open("__PAUSE__QNQuinsward_Httpd"), 0);
    pause.Set();
    ASSERT_TRUE(testing::Eventually([&] {
        int rc = probe.Wait(0);
        if (rc == 0) probe.Release();
        return rc == platform::kWaitTimeout;
    })) << "owned while paused";
    EXPECT_EQ(Client().Get("/")->status, 503);
    pause.Set();
    ASSERT_TRUE(testing::Eventually([&] { return Client().Get("/")->status == 200; }));

    // A second server for the same installation refuses to start.
    std::string exe = testing::BuildBinFolder() + "/qmhttpd";
    std::string cmd = exe + " --root " + root_.path() + " --port " + std::to_string(FreePort()) +
                      " 2>/dev/null";
    EXPECT_NE(system(cmd.c_str()), 0);

    platform::NamedEvent stop;
    ASSERT_EQ(stop.Open("__STOP__QNQuinsward_Httpd"), 0);
    stop.Set();
    int status = 0;
    ASSERT_TRUE(testing::Eventually([&] { return waitpid(pid_, &status, WNOHANG) == pid_; }));
    pid_ = -1;
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    probe.Close();
    EXPECT_EQ(probe.Open("__MUTEX__QNQuinsward_Httpd"), platform::kErrFileNotFound);
    std::string log = ReadFile(root_ / "bin/servicelog.txt");
    EXPECT_NE(log.find("started on 127.0.0.1:"), std::string::npos) << log;
    EXPECT_NE(log.find(" paused"), std::string::npos);
    EXPECT_NE(log.find(" continued"), std::string::npos);
    EXPECT_NE(log.find(" stopped"), std::string::npos);
}

// Peak resident memory of a process, in KiB.
long PeakKiB(pid_t pid) {
    std::string status = ReadFile("/proc/" + std::to_string(pid) + "/status");
    auto at = status.find("VmHWM:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

TEST_F(Server, LargeFilesAreStreamedAndHiddenFilesRefused) {
    constexpr size_t kSize = 192u << 20;  // sparse: no disk, but reading it whole would cost RAM
    {
        std::ofstream(root_ / "htdocs/big.bin");
        std::filesystem::resize_file(root_ / "htdocs/big.bin", kSize);
    }
    // Any hidden name (".qmauth" is taken: an authorization file there would close the root).
    std::ofstream(root_ / "htdocs/.hidden") << "admin:secret";
    StartServer();
    const long before = PeakKiB(pid_);
    ASSERT_GT(before, 0);
    auto c = Client();
    c.set_read_timeout(60);
    size_t received = 0;
    bool zeros = true;
    auto r = c.Get("/big.bin", [&](const char* data, size_t n) {
        for (size_t i = 0; i < n && zeros; ++i) zeros = data[i] == 0;
        received += n;
        return true;
    });
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 200);
    EXPECT_EQ(r->get_header_value("Content-Length"), std::to_string(kSize));
    EXPECT_EQ(received, kSize);
    EXPECT_TRUE(zeros);
    EXPECT_LT(PeakKiB(pid_) - before, 64L * 1024) << "the file was held in memory";
    auto head = c.Head("/big.bin");
    ASSERT_TRUE(head);
    EXPECT_EQ(head->status, 200);
    EXPECT_TRUE(head->body.empty());
    auto hidden = c.Get("/.hidden");
    ASSERT_TRUE(hidden);
    EXPECT_EQ(hidden->status, 403);
    EXPECT_EQ(hidden->body.find("secret"), std::string::npos);
}

TEST_F(Server, AFailedStartIsNeverAnnounced) {
    std::string exe = testing::BuildBinFolder() + "/qmhttpd";
    auto start = [&](int port) {
        // A server that wrongly starts is ended by timeout (status 124) instead of hanging.
        std::string cmd = "timeout 60 " + exe + " --root " + root_.path() + " --port " +
                          std::to_string(port) + " 2>" + root_.path() + "/log/err.txt";
        return system(cmd.c_str());
    };
    // The port is taken by another listener.
    int taken = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(taken, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(listen(taken, 1), 0);
    socklen_t len = sizeof a;
    getsockname(taken, reinterpret_cast<sockaddr*>(&a), &len);
    int rc = start(ntohs(a.sin_port));
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 1) << rc;
    close(taken);
    // The interpreter cannot be loaded: a server without its pages is no running server.
    std::ofstream(root_ / "bin/libqmintpr.so") << "not a library";
    rc = start(port_);
    EXPECT_TRUE(WIFEXITED(rc) && WEXITSTATUS(rc) == 1) << "qmhttpd served without its interpreter";
    EXPECT_NE(ReadFile(root_ / "log/err.txt").find("page interpreter"), std::string::npos);
    std::string log = ReadFile(root_ / "bin/servicelog.txt");
    EXPECT_EQ(log.find("started on"), std::string::npos) << log;
    EXPECT_NE(log.find("[Error]"), std::string::npos) << log;
    platform::NamedMutex probe;
    EXPECT_EQ(probe.Open("__MUTEX__QNQuinsward_Httpd"), platform::kErrFileNotFound);
}

TEST_F(Server, SeedingKeepsExistingValues) {
    platform::RegSetString(platform::RegRoot::LocalMachine, kHttpdKey, "Port", "9999");
    platform::RegSetNumber(platform::RegRoot::LocalMachine, kHttpdKey, "startup", 1);
    platform::RegDeleteValue(platform::RegRoot::LocalMachine, kHttpdKey, "tasktray");
    ASSERT_EQ(SeedRegistry(root_.path()), 0);
    platform::RegValue v;
    ASSERT_EQ(platform::RegGetValue(platform::RegRoot::LocalMachine, kHttpdKey, "startup", &v), 0);
    EXPECT_EQ(v.number, 1u);  // the administrator's choice stays
    ASSERT_EQ(platform::RegGetValue(platform::RegRoot::LocalMachine, kHttpdKey, "tasktray", &v), 0);
    EXPECT_EQ(v.type, platform::kRegDword);
    EXPECT_EQ(v.number, 1u);
    EXPECT_EQ(platform::RegReadText(platform::RegRoot::LocalMachine, kHttpdKey, "Port"), "9999");
    EXPECT_EQ(platform::RegReadText(platform::RegRoot::LocalMachine, kSetupKey, "InstallPath"),
              root_.path());
    EXPECT_EQ(platform::RegReadText(platform::RegRoot::LocalMachine, kHttpdKey, "SpecialCgiScript"),
              "nph-QMHTTPD.exe");
}

}  // namespace qm::httpd

namespace qm::httpd {

// One template, reached directly and through Qmcgi over the request channel: same HTML.
TEST_F(Server, TemplateGivesTheSameHtmlDirectlyAndThroughQmcgi) {
    std::ofstream(root_ / "html/en/both.htm")
        << "<p>[% OUTHTML($TEMPLATE) %] x=[% OUTHTML($X) %] m=[% OUTHTML($REQUEST_METHOD) %]</p>\n"
           "[% $I = 0 %][% WHILE ($I < 3) %]<i>[% OUTHTML($I) %]</i>[% $I = $I + 1 %]"
           "[% ENDWHILE %]\n";
    AliasGatewayFolder();
    StartServer();
    auto c = Client();
    auto direct = c.Get("/qm?LANGUAGE=en&TEMPLATE=both.htm&X=a+b%21");
    ASSERT_TRUE(direct);
    EXPECT_EQ(direct->status, 200);
    EXPECT_EQ(direct->body, "<p>both.htm x=a b! m=GET</p>\n<i>0</i><i>1</i><i>2</i>\n");
    auto viaCgi = c.Get("/gw/Qmcgi.exe?LANGUAGE=en&TEMPLATE=both.htm&X=a+b%21");
    ASSERT_TRUE(viaCgi);
    EXPECT_EQ(viaCgi->status, 200);
    EXPECT_EQ(viaCgi->body, direct->body + "\n\n") << "Qmcgi ends with two empty lines";

    auto other = c.Get("/gw/Qmcgi.exe?service=nosuch&LANGUAGE=en");
    ASSERT_TRUE(other);
    EXPECT_NE(other->body.find("the service \"nosuch\" is not available"), std::string::npos)
        << other->body;
    // A template name that tries to leave html/ is refused by the interpreter.
    auto escape = c.Get("/qm?LANGUAGE=en&TEMPLATE=..%2F..%2Fregistry");
    ASSERT_TRUE(escape);
    EXPECT_EQ(escape->body.find("OvrelNet"), std::string::npos);
}

}  // namespace qm::httpd

namespace qm::httpd {

namespace {

bool HasNoScriptPolicy(const httplib::Result& r) {
    return r && r->get_header_value("Content-Security-Policy").find("script-src 'none'") !=
                    std::string::npos &&
           r->get_header_value("X-Content-Type-Options") == "nosniff";
}

}  // namespace

// Pages through the real server: UTF-8 form values, markup in the request, and the headers
// every HTML answer carries.
TEST_F(Server, Utf8ValuesWorkAndRequestsNeverReflectMarkup) {
    std::ofstream(root_ / "html/en/index.htm") << "<html>index page [% OUTHEXHTML($N) %]</html>";
    AliasGatewayFolder();
    StartServer();
    auto c = Client();
    // A Japanese character before the names the page needs used to give "$LANGUAGE Not Found !".
    auto r = c.Get("/qm?N=%E3%81%86&LANGUAGE=en&TEMPLATE=index.htm");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "<html>index page E38186</html>");
    EXPECT_TRUE(HasNoScriptPolicy(r));
    r = c.Get("/gw/Qmcgi.exe?N=%E2%82%AC&LANGUAGE=en&TEMPLATE=index.htm");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "<html>index page E282AC</html>\n\n");
    EXPECT_TRUE(HasNoScriptPolicy(r)) << "Qmcgi pages too";

    // Markup in a template or language name is refused without being echoed.
    r = c.Get("/qm?LANGUAGE=en&TEMPLATE=%3Cimg%20src%3Dx%20onerror%3Dalert(1)%3E");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "$TEMPLATE Not Found !");
    r = c.Get("/gw/Qmcgi.exe?LANGUAGE=%3Cb%3E&TEMPLATE=index.htm");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "$LANGUAGE Not Found !\n\n");
    // The server's own page for an unknown service shows the name as text.
    r = c.Get("/gw/Qmcgi.exe?service=%3Cscript%3Ealert(1)%3C/script%3E&LANGUAGE=en");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body.find("<script>"), std::string::npos) << r->body;
    EXPECT_NE(r->body.find("the service \"&lt;script&gt;alert(1)&lt;/script&gt;\" is not available"),
              std::string::npos)
        << r->body;
    EXPECT_TRUE(HasNoScriptPolicy(r));

    // Error pages, static HTML and HEAD answers carry the policy; other types do not need it.
    r = c.Get("/nothing.html");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->status, 404);
    EXPECT_TRUE(HasNoScriptPolicy(r));
    EXPECT_TRUE(HasNoScriptPolicy(c.Get("/")));
    EXPECT_TRUE(HasNoScriptPolicy(c.Head("/qm?LANGUAGE=en&TEMPLATE=index.htm")));
    std::ofstream(root_ / "htdocs/plain.txt") << "text";
    r = c.Get("/plain.txt");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->get_header_value("Content-Security-Policy"), "");

    // Client text in servicelog.txt stays on its line: no one can write an "[Error]" line.
    r = c.Get("/gw/Qmcgi.exe?service=x%0A%5BError%5D%20forged%0D%0Aline&LANGUAGE=en");
    ASSERT_TRUE(r);
    std::string log = ReadFile(root_ / "bin/servicelog.txt");
    std::istringstream lines(log);
    int forged = 0, unavailable = 0;
    for (std::string line; std::getline(lines, line);) {
        forged += line.rfind("[Error] forged", 0) == 0 || line.rfind("line", 0) == 0;
        unavailable += line.find("unavailable service \"x\\n[Error] forged\\r\\nline\"") != std::string::npos;
    }
    EXPECT_EQ(forged, 0) << log;
    EXPECT_EQ(unavailable, 1) << log;
}

// Templates that used to crash the server (and everything it served) now fail to compile, and
// the server goes on serving.
TEST_F(Server, DeepTemplatesFailToCompileAndTheServerKeepsServing) {
    std::ofstream(root_ / "html/en/index.htm") << "<html>index</html>";
    std::string ifs;
    for (int i = 0; i < 60000; ++i) ifs += "[% IF (1) %]\n";
    std::ofstream(root_ / "html/en/ifs.htm") << ifs;
    // 15 doubling macros: 32,768 brackets inside each other.
    std::string bomb;
    for (int i = 15; i >= 1; --i) {
        const std::string n = std::to_string(i), m = std::to_string(i - 1);
        bomb += "[% #DEFINE O" + n + "O O" + m + "OO" + m + "O %][% #DEFINE C" + n + "C C" + m +
                "CC" + m + "C %]";
    }
    bomb += "[% #DEFINE O0O $X[ %][% #DEFINE C0C ] %]\n\n[% $A = O15O 1 C15C %]";
    std::ofstream(root_ / "html/en/bomb.htm") << bomb;
    AliasGatewayFolder();
    StartServer();
    auto c = Client();
    for (int round = 0; round < 2; ++round) {  // nothing half-built is left to trip the next one
        auto r = c.Get("/qm?LANGUAGE=en&TEMPLATE=ifs.htm");
        ASSERT_TRUE(r) << "the server is gone";
        EXPECT_EQ(r->body, "ifs.htm line 257: IF (1)  Nesting Too Deep !");
        r = c.Get("/gw/Qmcgi.exe?LANGUAGE=en&TEMPLATE=bomb.htm");
        ASSERT_TRUE(r) << "the server is gone";
        EXPECT_EQ(r->body.substr(0, 30), "bomb.htm line 3: $A = $X[$X[$X") << r->body;
        EXPECT_NE(r->body.find("Nesting Too Deep !"), std::string::npos);
    }
    EXPECT_FALSE(std::filesystem::exists(root_ / "cache/en/ifs.htm"));
    auto r = c.Get("/qm?LANGUAGE=en&TEMPLATE=index.htm");
    ASSERT_TRUE(r);
    EXPECT_EQ(r->body, "<html>index</html>");
    EXPECT_EQ(waitpid(pid_, nullptr, WNOHANG), 0) << "still running";
}

}  // namespace qm::httpd
