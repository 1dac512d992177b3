// The shared pieces across processes: refresh events, the monitor's single identity, and the
// real launchers and systemd calls against stand-in programs on PATH.
#include "qm/desktop/desktop.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "qm/testing/testing.h"

namespace {

using namespace qm::desktop;
using qm::testing::Eventually;

TEST(RefreshEvents, ALoopRefreshesOnceAtStartAndOnEverySignalFromAnyProcess) {
    qm::testing::TempRoot root;
    EXPECT_EQ(SignalRefresh(kPanelOwner), 2) << "nobody listens yet";
    std::atomic<int> count{0};
    {
        RefreshLoop loop;
        ASSERT_EQ(loop.Start(kPanelOwner, [&] { ++count; }), 0);
        ASSERT_TRUE(Eventually([&] { return count == 1; }));
        qm::testing::Child other([] { return SignalRefresh(kPanelOwner); });
        EXPECT_EQ(other.Wait(), 0);
        ASSERT_TRUE(Eventually([&] { return count == 2; }));
        loop.Signal();
        ASSERT_TRUE(Eventually([&] { return count == 3; }));
        EXPECT_EQ(SignalRefresh(kMonitorOwner), 2) << "the other program's event is apart";
        // Stop ends a thread that waits without a time limit.
        auto t0 = std::chrono::steady_clock::now();
        loop.Stop();
        EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(5));
        EXPECT_FALSE(loop.running());
    }
    EXPECT_EQ(SignalRefresh(kPanelOwner), 2) << "the event goes with its loop";
}

TEST(MonitorIdentity, OneInstanceReceivesWhatOthersSend) {
    qm::testing::TempRoot root;
    EXPECT_FALSE(MonitorIdentity::Exists());
    EXPECT_EQ(MonitorIdentity::Send(kMsgRefresh), 2);

    std::mutex mu;
    std::vector<int> got;
    MonitorIdentity first;
    ASSERT_EQ(first.Claim([&](int m) {
        std::lock_guard lock(mu);
        got.push_back(m);
    }),
              0);
    EXPECT_TRUE(MonitorIdentity::Exists());
    // A second process cannot claim it and reaches the first instead.
    qm::testing::Child second([] {
        MonitorIdentity mine;
        if (mine.Claim([](int) {}) != 183) return 1;
        return MonitorIdentity::Send(kMsgRefresh) == 0 && MonitorIdentity::Send(kMsgClose) == 0
                   ? 0
                   : 2;
    });
    EXPECT_EQ(second.Wait(), 0);
    EXPECT_TRUE(Eventually([&] {
        std::lock_guard lock(mu);
        return got == std::vector<int>{kMsgRefresh, kMsgClose};
    }));
    first.Release();
    EXPECT_FALSE(MonitorIdentity::Exists());
}

// A folder of stand-in programs put first on PATH for one test.
class FakePrograms {
public:
    explicit FakePrograms(const std::string& dir) : dir_(dir) {
        std::filesystem::create_directories(dir_);
        old_ = std::getenv("PATH") ? std::getenv("PATH") : "";
        setenv("PATH", (dir_ + ":" + old_).c_str(), 1);
    }
    ~FakePrograms() { setenv("PATH", old_.c_str(), 1); }
    void Add(const std::string& name, const std::string& body) {
        std::string p = dir_ + "/" + name;
        std::ofstream(p) << "#!/bin/sh\n" << body << "\n";
        chmod(p.c_str(), 0755);
    }

private:
    std::string dir_, old_;
};

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

TEST(Programs, RunCapturedGivesOutputAndStatusAndEndsAHangingProgram) {
    std::string out;
    EXPECT_EQ(RunCaptured({"sh", "-c", "echo hello; exit 3"}, &out, 10000), 3);
    EXPECT_EQ(out, "hello\n");
    EXPECT_EQ(RunCaptured({"/nonexistent/program"}, &out, 10000), -1);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(RunCaptured({"sleep", "30"}, &out, 300), -1);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::seconds(10));
}

TEST(Programs, BootServiceAsksSystemdAboutTheServersUnit) {
    qm::testing::TempRoot root;
    FakePrograms fake(root / "fakebin");
    const std::string log = root / "systemctl.log";
    // A systemd that knows the unit and keeps its enablement in a file.
    fake.Add("systemctl", "echo \"$*\" >> " + log +
                              "\ncase \"$1\" in\n"
                              "show) echo loaded ;;\n"
                              "is-enabled) cat " + root.path() + "/state 2>/dev/null || echo disabled; exit 1 ;;\n"
                              "enable) echo enabled > " + root.path() + "/state ;;\n"
                              "disable) echo disabled > " + root.path() + "/state ;;\n"
                              "esac");
    BootService boot;
    EXPECT_TRUE(boot.Managed());
    bool enabled = true;
    EXPECT_EQ(boot.Enabled(&enabled), 0);
    EXPECT_FALSE(enabled);
    EXPECT_EQ(boot.SetEnabled(true), 0);
    EXPECT_EQ(boot.Enabled(&enabled), 0);
    EXPECT_TRUE(enabled);
    EXPECT_EQ(Slurp(log),
              "show --property=LoadState --value qmhttpd.service\n"
              "is-enabled qmhttpd.service\nenable qmhttpd.service\nis-enabled qmhttpd.service\n");

    // Without the unit (or without systemd) the start-up setting is the registry's alone.
    fake.Add("systemctl", "echo not-found; exit 0");
    EXPECT_FALSE(boot.Managed());
    fake.Add("systemctl", "echo 'Failed to connect to bus' >&2; exit 1");
    EXPECT_FALSE(boot.Managed());
    EXPECT_EQ(boot.SetEnabled(false), 23);
    EXPECT_EQ(boot.Enabled(&enabled), 22);
}

TEST(Programs, TheBrowserIsTheDesktopsDefault) {
    qm::testing::TempRoot root;
    FakePrograms fake(root / "fakebin");
    const std::string out = root / "url";
    fake.Add("xdg-open", "echo \"$@\" > " + out + ".tmp && mv " + out + ".tmp " + out);
    Launcher launcher;
    ASSERT_EQ(launcher.OpenBrowser("http://localhost:8080/cgi-bin/nph-QMHTTPD.exe"), 0);
    EXPECT_TRUE(Eventually([&] { return std::filesystem::exists(out); }));
    EXPECT_EQ(Slurp(out), "http://localhost:8080/cgi-bin/nph-QMHTTPD.exe\n");
}

}  // namespace
