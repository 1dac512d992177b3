// Independent requests run in parallel in a real qmhttpd with the real tag library: a printer
// that keeps its answer back delays only the page that asks it, and a burst of concurrent page
// requests is answered whole without leaving descriptors behind. The printers are scripted
// agents on loopback addresses of one port, as the gateway reaches every printer on one port.
#include <dirent.h>
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "fake_agent.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"
#include "server_process.h"
#include "settings.h"
#include "simulator.h"

namespace qm::httpd {
namespace {

using Clock = std::chrono::steady_clock;
using qm::testsupport::Datagram;
using qm::testsupport::FakeAgent;
using qm::testsupport::FakeMib;

constexpr const char* kSetup = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";
constexpr const char* kSysName = "1.3.6.1.2.1.1.5.0";

Datagram Text(const std::string& s) {
    Datagram d{0x04, static_cast<uint8_t>(s.size())};
    d.insert(d.end(), s.begin(), s.end());
    return d;
}

// A page that reads one printer's sysName and shows the tag's code and the value.
std::string NamePage(const std::string& label, const std::string& ip) {
    return "[% $R = QMTAG.TAGGetMIBData(\"1;" + ip + ";;;1\", \"" + kSysName + "\") %]" + label +
           " [% OUTHTML($ERROR_TAG_LEVEL) %] [% OUTHTML($R[0]) %]";
}

// Holds requests back until opened (or until its bound, so that a failing test still ends).
class Gate {
public:
    void Wait() {
        std::unique_lock lock(mu_);
        cv_.wait_for(lock, std::chrono::seconds(90), [&] { return open_; });
    }
    void Open() {
        {
            std::lock_guard lock(mu_);
            open_ = true;
        }
        cv_.notify_all();
    }

private:
    std::mutex mu_;
    std::condition_variable cv_;
    bool open_ = false;
};

int OpenDescriptors(pid_t pid) {
    int n = 0;
    DIR* d = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (!d) return -1;
    while (dirent* e = readdir(d))
        if (e->d_name[0] != '.') ++n;
    closedir(d);
    return n;
}

class ParallelServer : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(SeedRegistry(root_.path()), 0);
        port_ = testing::FreePort();
        snmpPort_ = static_cast<uint16_t>(qm::testsupport::FreeUdpPort());
        fastMib_.Set(kSysName, Text("fast printer"));
        slowMib_.Set(kSysName, Text("slow printer"));
        // The fast printer answers at once; the slow one only once the test opens its gate.
        fast_ = std::make_unique<FakeAgent>([this](const snmp::Message& m, std::span<const uint8_t>) {
            return fastMib_.Respond(m);
        }, "127.0.0.2", snmpPort_);
        slow_ = std::make_unique<FakeAgent>([this](const snmp::Message& m, std::span<const uint8_t>) {
            gate_.Wait();
            return slowMib_.Respond(m);
        }, "127.0.0.3", snmpPort_);
        using platform::RegRoot;
        platform::RegSetNumber(RegRoot::LocalMachine, kSetup, "SnmpPort", snmpPort_, true);
        // No version probe (the agents speak v2c); one try that waits long enough for the gate.
        platform::RegSetNumber(RegRoot::LocalMachine, kSetup, "SnmpVersion", 2, true);
        platform::RegSetNumber(RegRoot::LocalMachine, kSetup, "SnmpTimeout", 60000, true);
        platform::RegSetNumber(RegRoot::LocalMachine, kSetup, "SnmpRetries", 0, true);
        platform::RegSetString(RegRoot::LocalMachine, kHttpdKey, "Timeout", "120");
        Page("fast.htm", NamePage("fast", "127.0.0.2"));
        Page("slow.htm", NamePage("slow", "127.0.0.3"));
    }
    void TearDown() override {
        gate_.Open();
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
    }
    void Page(const std::string& name, const std::string& text) {
        std::ofstream(root_ / ("html/en/" + name), std::ios::binary) << text;
    }
    void StartServer() {
        pid_ = test::StartHttpd(root_.path(), port_);
        ASSERT_GT(pid_, 0) << "qmhttpd did not come up";
    }
    std::string Get(const std::string& page, int readTimeout = 120) {
        httplib::Client c("127.0.0.1", port_);
        c.set_read_timeout(readTimeout);
        c.set_connection_timeout(60);
        auto r = c.Get(("/qm?LANGUAGE=en&TEMPLATE=" + page).c_str());
        if (!r) return "<failed: " + httplib::to_string(r.error()) + ">";
        return r->status == 200 ? r->body : "<failed: status " + std::to_string(r->status) + ">";
    }
    // Runs `count` requests for `page` at once; returns how many got `expected`.
    int Burst(int count, const std::string& page, const std::string& expected) {
        std::vector<std::future<std::string>> answers;
        for (int i = 0; i < count; ++i) answers.push_back(std::async(std::launch::async, [&] { return Get(page); }));
        int good = 0;
        std::string odd;
        for (auto& a : answers) {
            std::string body = a.get();
            if (body == expected) ++good;
            else if (odd.empty()) odd = body;
        }
        if (!odd.empty()) std::printf("an unexpected answer: %s\n", odd.substr(0, 200).c_str());
        return good;
    }

    testing::TempRoot root_;
    int port_ = 0;
    uint16_t snmpPort_ = 0;
    pid_t pid_ = -1;
    Gate gate_;
    FakeMib fastMib_, slowMib_;
    std::unique_ptr<FakeAgent> fast_, slow_;
};

TEST_F(ParallelServer, SlowPrinterDelaysOnlyItsOwnPage) {
    StartServer();
    auto slow = std::async(std::launch::async, [&] { return Get("slow.htm"); });
    // The slow page is inside its tag call, waiting for the printer.
    ASSERT_TRUE(testing::Eventually([&] { return slow_->requests() > 0; }, std::chrono::seconds(60)))
        << "the slow page never asked its printer";
    // Another printer's page is answered while that wait goes on. The bound is generous: a
    // server that serialised tag calls would keep this page until the gate opens (never, here).
    const auto start = Clock::now();
    EXPECT_EQ(Get("fast.htm", 40), "fast 0 fast printer");
    const auto took = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start);
    std::printf("fast page while the slow printer waited: %lld ms\n", static_cast<long long>(took.count()));
    EXPECT_EQ(slow.wait_for(std::chrono::seconds(0)), std::future_status::timeout)
        << "the slow page ended before its printer answered";
    gate_.Open();
    EXPECT_EQ(slow.get(), "slow 0 slow printer");
    // Both processors' states are clean afterwards: the same pages again, in the other order.
    EXPECT_EQ(Get("slow.htm"), "slow 0 slow printer");
    EXPECT_EQ(Get("fast.htm"), "fast 0 fast printer");
}

TEST_F(ParallelServer, TwoHundredConcurrentPagesAreAllAnsweredWithoutDescriptorLeak) {
    gate_.Open();
    StartServer();
    // A first burst brings every worker thread to its steady state (its database context, the
    // gateway handles of as many calls as run at once), which is not a leak.
    const std::string fast = "fast 0 fast printer", slow = "slow 0 slow printer";
    ASSERT_EQ(Burst(40, "fast.htm", fast), 40);
    const int before = OpenDescriptors(pid_);
    ASSERT_GT(before, 0);
    // 200 at once, half of them to each printer.
    std::vector<std::future<int>> halves;
    halves.push_back(std::async(std::launch::async, [&] { return Burst(100, "fast.htm", fast); }));
    halves.push_back(std::async(std::launch::async, [&] { return Burst(100, "slow.htm", slow); }));
    EXPECT_EQ(halves[0].get(), 100);
    EXPECT_EQ(halves[1].get(), 100);
    // Still serving, and every connection and SNMP socket of the burst is closed again.
    EXPECT_EQ(Get("fast.htm"), fast);
    int after = -1;
    EXPECT_TRUE(testing::Eventually([&] {
        after = OpenDescriptors(pid_);
        return after >= 0 && after <= before;
    }, std::chrono::seconds(30))) << "descriptors before " << before << ", after " << after;
    std::printf("descriptors: %d before the burst, %d after\n", before, after);
    EXPECT_EQ(waitpid(pid_, nullptr, WNOHANG), 0) << "the server ended";
}

}  // namespace
}  // namespace qm::httpd
