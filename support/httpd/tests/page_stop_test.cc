// Pages that never end on their own, and discovery pages left half way, against a real qmhttpd
// with the real tag library and simulated printers: the server keeps answering, the abandoned
// work ends, and a stop request ends the server within its bound.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <future>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "qm/platform/registry.h"
#include "qm/testing/testing.h"
#include "server_process.h"
#include "settings.h"
#include "simulator.h"

namespace qm::httpd {
namespace {

using Clock = std::chrono::steady_clock;
using qm::testsupport::SimulatedPrinters;

constexpr const char* kSetup = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";

using qm::testing::FreePort;
using qm::testing::ReadFile;

// A client that sends one request and hangs up once the answer holds `until` (the browser tab
// closed while the page still runs). Returns false when `until` never came.
bool RequestThenHangUp(int port, const std::string& target, const std::string& until, std::string* got = nullptr,
                       std::chrono::seconds patience = std::chrono::seconds(60)) {
    std::string scratch;
    if (!got) got = &scratch;
    int s = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(s);
        return false;
    }
    std::string req = "GET " + target + " HTTP/1.1\r\nHost: x\r\n\r\n";
    send(s, req.data(), req.size(), MSG_NOSIGNAL);
    timeval tv{1, 0};
    setsockopt(s, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
    const auto end = Clock::now() + patience;
    bool seen = until.empty();
    while (!seen && Clock::now() < end) {
        char buf[4096];
        ssize_t n = recv(s, buf, sizeof buf, 0);
        if (n == 0) break;
        if (n > 0) got->append(buf, static_cast<size_t>(n));
        seen = got->find(until) != std::string::npos;
    }
    close(s);
    return seen;
}

std::vector<std::string> Keys(const std::string& body) {
    std::vector<std::string> keys;
    std::istringstream in(body);
    std::string line;
    while (std::getline(in, line))
        if (line.rfind("key ", 0) == 0) keys.push_back(line.substr(4));
    std::sort(keys.begin(), keys.end());
    return keys;
}

// A running qmhttpd in a throw-away root.
class PageServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SeedRegistry(root_.path()), 0);
        port_ = FreePort();
    }
    void TearDown() override {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void Set(const char* name, const std::string& value) {
        platform::RegSetString(platform::RegRoot::LocalMachine, kHttpdKey, name, value);
    }
    void Page(const std::string& name, const std::string& text) {
        std::ofstream(root_ / ("html/en/" + name), std::ios::binary) << text;
    }
    std::string Target(const std::string& page) { return "/qm?LANGUAGE=en&TEMPLATE=" + page; }

    void StartServer() {
        pid_ = test::StartHttpd(root_.path(), port_);
        ASSERT_GT(pid_, 0) << "qmhttpd did not come up";
    }
    // SIGTERM, then how long the server took to end (its exit status in `status`).
    Clock::duration StopServer(int* status) {
        const auto start = Clock::now();
        kill(pid_, SIGTERM);
        int st = 0;
        // The bound under test is 10 s; beyond 30 s the server is taken as hung.
        bool ended = testing::Eventually([&] { return waitpid(pid_, &st, WNOHANG) == pid_; },
                                         std::chrono::seconds(30));
        auto took = Clock::now() - start;
        if (!ended) {
            kill(pid_, SIGKILL);
            waitpid(pid_, &st, 0);
        }
        pid_ = -1;
        *status = ended && WIFEXITED(st) ? WEXITSTATUS(st) : -1;
        return took;
    }
    httplib::Client Client(int readTimeout = 60) {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(readTimeout);
        return c;
    }
    std::string Get(const std::string& target, int readTimeout = 60) {
        auto r = Client(readTimeout).Get(target.c_str());
        return r && r->status == 200 ? r->body : "<failed>";
    }

    testing::TempRoot root_;
    int port_ = 0;
    pid_t pid_ = -1;
};

// ---- Pages that never end ----------------------------------------------------------------

const char* kSpin = "[% WHILE (1) %][% ENDWHILE %]never";

TEST_F(PageServer, LoopThatNeverWritesEndsAtTimeout) {
    Set("Timeout", "2");
    Page("spin.htm", kSpin);
    StartServer();
    const auto start = Clock::now();
    std::string body = Get(Target("spin.htm"));
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    EXPECT_EQ(body.find("never"), std::string::npos);
    // The worker is free again and the server answers.
    EXPECT_NE(Get("/qm?LANGUAGE=en&TEMPLATE=none.htm"), "<failed>");
    EXPECT_TRUE(testing::Eventually([&] {
        std::string errors;
        for (const auto& e : std::filesystem::directory_iterator(root_ / "log"))
            if (e.path().filename().string().rfind("error", 0) == 0) errors += ReadFile(e.path());
        return errors.find("spin.htm: page ran past Timeout (2 s), stopped") != std::string::npos;
    }));
    int status = 0;
    EXPECT_LT(StopServer(&status), std::chrono::seconds(12));
    EXPECT_EQ(status, 0);
}

TEST_F(PageServer, LoopEndsWhenItsClientHangsUp) {
    // One worker and a long Timeout: the next request can only be answered once the loop that
    // holds the worker was cancelled for its client.
    Set("MaxChildThreads", "1");
    Set("Timeout", "300");
    Page("spin.htm", kSpin);
    Page("ok.htm", "fine");
    StartServer();
    ASSERT_TRUE(RequestThenHangUp(port_, Target("spin.htm"), "HTTP/1.1 200"));
    const auto start = Clock::now();
    EXPECT_EQ(Get(Target("ok.htm")), "fine");
    EXPECT_LT(Clock::now() - start, std::chrono::seconds(20));
    int status = 0;
    EXPECT_LT(StopServer(&status), std::chrono::seconds(12));
    EXPECT_EQ(status, 0);
}

TEST_F(PageServer, StopEndsWithinItsBoundWhateverRuns) {
    Set("Timeout", "300");
    Page("spin.htm", kSpin);
    const std::string started = root_ / "log/stuck.pid";
    std::ofstream(root_ / "bin/stuck.cgi") << "#!/bin/sh\necho $$ > '" << started << "'\nexec sleep 120\n";
    std::filesystem::permissions(root_ / "bin/stuck.cgi", std::filesystem::perms::owner_all);
    StartServer();
    // A page looping and a CGI program that will not answer within the bound, both with their
    // clients still waiting.
    auto page = std::async(std::launch::async, [&] { return Get(Target("spin.htm"), 100); });
    auto cgi = std::async(std::launch::async, [&] { return Get("/cgi-bin/stuck.cgi", 100); });
    ASSERT_TRUE(testing::Eventually([&] { return !ReadFile(started).empty(); }, std::chrono::seconds(30)))
        << "the CGI program did not start";
    int status = 0;
    auto took = StopServer(&status);
    EXPECT_LT(took, std::chrono::seconds(14)) << "the stop bound is 10 s";
    std::printf("stop with a stuck CGI program took %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    EXPECT_EQ(status, 0);
    page.wait();
    cgi.wait();
    const int stuck = std::atoi(ReadFile(started).c_str());
    if (stuck > 0) kill(stuck, SIGKILL);
    std::string log = ReadFile(root_ / "bin/servicelog.txt");
    EXPECT_NE(log.find("requests still running 10 s after the stop request; ending anyway"), std::string::npos) << log;
}

// ---- Discovery pages -----------------------------------------------------------------------

// Search parameter: 1 s answer time-out, 4 retries (agents are slow on a busy machine), 30 s
// budget. The silent address keeps each search running about five seconds.
const std::string kSearchStart =
    "[% $S = QMTAG.TAGStartDeviceDiscovery(\"1E040A\", \"\", \"1\", \"\", \"1\", \"1\", \"1\", \"\", \"\", \"\") %]"
    "start [% OUTHTML($ERROR_TAG_LEVEL) %]\n";
const std::string kSearchRest =
    "[% $K = QMTAG.TAGGetDiscoveryResult($S) %][% WHILE ($ERROR_TAG_LEVEL == 0) %]key [% OUTHTML($K) %]\n"
    "[% $K = QMTAG.TAGGetDiscoveryResult($S) %][% ENDWHILE %]end [% OUTHTML($ERROR_TAG_LEVEL) %]\n"
    "[% QMTAG.TAGEndDeviceDiscovery($S) %]";
// The registered printers, as the printer list reads them.
const char* kList =
    "[% $S = QMTAG.TAGStartDeviceDiscovery(\"1\", \"\", \"0\", \"\", \"1\", \"1\", \"1\", \"\", \"\", \"\") %]"
    "[% $K = QMTAG.TAGGetDiscoveryResult($S) %][% WHILE ($ERROR_TAG_LEVEL == 0) %]key [% OUTHTML($K) %]\n"
    "[% $K = QMTAG.TAGGetDiscoveryResult($S) %][% ENDWHILE %]end [% OUTHTML($ERROR_TAG_LEVEL) %]\n"
    "[% QMTAG.TAGEndDeviceDiscovery($S) %]";

class DiscoveryServer : public PageServer {
protected:
    void SetUp() override {
        PageServer::SetUp();
        const std::string dir = QM_PRINTERS_DIR;
        sim_ = std::make_unique<SimulatedPrinters>(
            std::vector<std::string>{dir + "/1-mono-laser.snmprec", dir + "/2-color-laser.snmprec",
                                     dir + "/4-alerts-mfp.snmprec"},
            93);
        if (!sim_->ok()) GTEST_SKIP() << sim_->why();
        using platform::RegRoot;
        platform::RegSetNumber(RegRoot::LocalMachine, kSetup, "SnmpPort", static_cast<uint32_t>(sim_->port()), true);
        platform::RegSetNumber(RegRoot::LocalMachine, kSetup, "SnmpTimeout", 1000, true);
        platform::RegSetNumber(RegRoot::LocalMachine, kSetup, "SnmpRetries", 3, true);
        // Only the listed loopback addresses, never the machine's networks.
        std::string cmd = "'" + testing::BuildBinFolder() + "/qmconf' --root '" + root_.path() +
                          "' set QMC_BroadIPLocal OFF QMC_BroadIPXLocal OFF";
        for (size_t k = 0; k < 3; ++k) cmd += " QMC_BroadIPAdr" + std::to_string(6 + k) + " " + sim_->address(k);
        cmd += " QMC_BroadIPAdr9 127.0.0.99 2>&1";
        int status = -1;
        std::string out = qm::testsupport::RunCommand(cmd, &status);
        ASSERT_EQ(status, 0) << out;
        for (size_t k = 0; k < 3; ++k) printers_.push_back(sim_->address(k));
        Page("search.htm", kSearchStart + kSearchRest);
        Page("list.htm", kList);
        StartServer();
    }
    // The IP addresses in `keys`, sorted.
    static std::vector<std::string> Addresses(const std::vector<std::string>& keys) {
        std::vector<std::string> ips;
        for (const auto& k : keys) {
            size_t a = k.find(';'), b = k.find(';', a + 1);
            ips.push_back(a == std::string::npos ? k : k.substr(a + 1, b - a - 1));
        }
        std::sort(ips.begin(), ips.end());
        return ips;
    }

    std::unique_ptr<SimulatedPrinters> sim_;
    std::vector<std::string> printers_;
};

TEST_F(DiscoveryServer, ClosedTabMidSearchLeavesTheSiteServing) {
    // The discovery tab is closed while the search still waits for the silent address. The
    // page's first line comes padded past the host's gathering size, so it is on the wire as
    // soon as the search started.
    Page("search-tab.htm", kSearchStart + std::string(9000, '.') + "\n" + kSearchRest);
    const std::string started(64, '.');
    std::string got;
    ASSERT_TRUE(RequestThenHangUp(port_, Target("search-tab.htm"), started, &got)) << got.substr(0, 400);
    // The printer list answers at once: it waits for no search, and the aborted search left
    // All Devices as it was (empty).
    auto start = Clock::now();
    std::string list = Get(Target("list.htm"));
    auto took = Clock::now() - start;
    EXPECT_EQ(list, "end -4\n");
    EXPECT_LT(took, std::chrono::seconds(3)) << "the printer list waited for the search";
    std::printf("printer list after the closed tab: %lld ms\n",
                static_cast<long long>(std::chrono::duration_cast<std::chrono::milliseconds>(took).count()));
    // A new search registers what it finds, and the list shows it.
    std::string found = Get(Target("search.htm"));
    EXPECT_NE(found.find("end -4"), std::string::npos) << found;
    EXPECT_EQ(Addresses(Keys(found)), printers_) << found;
    EXPECT_EQ(Addresses(Keys(Get(Target("list.htm")))), printers_);
    // Closing a tab during the next search keeps that full list whole.
    ASSERT_TRUE(RequestThenHangUp(port_, Target("search-tab.htm"), started));
    EXPECT_EQ(Addresses(Keys(Get(Target("list.htm")))), printers_);
    int status = 0;
    EXPECT_LT(StopServer(&status), std::chrono::seconds(12));
    EXPECT_EQ(status, 0);
}

TEST_F(DiscoveryServer, TwoSearchesAtOnceEachSeeEveryPrinter) {
    auto a = std::async(std::launch::async, [&] { return Get(Target("search.htm")); });
    auto b = std::async(std::launch::async, [&] { return Get(Target("search.htm")); });
    std::string first = a.get(), second = b.get();
    EXPECT_EQ(Addresses(Keys(first)), printers_) << first;
    EXPECT_EQ(Addresses(Keys(second)), printers_) << second;
    EXPECT_EQ(Addresses(Keys(Get(Target("list.htm")))), printers_);
}

}  // namespace
}  // namespace qm::httpd
