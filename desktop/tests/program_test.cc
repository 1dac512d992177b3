// The programs themselves without a display (Qt's offscreen platform): the runner and the
// applet's entry, and one tray monitor per installation that a second start refreshes and
// "-stop" closes.
#include <dlfcn.h>
#include <signal.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <fstream>
#include <sstream>

#include "qm/desktop/desktop.h"
#include "qm/panel/cpl.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"

namespace {

using namespace qm::desktop;
using qm::platform::RegRoot;
using qm::testing::Eventually;

std::string Bin(const std::string& name) { return qm::testing::BuildBinFolder() + "/" + name; }

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

size_t Count(const std::string& text, const std::string& what) {
    size_t n = 0;
    for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
    return n;
}

TEST(Applet, CPlAppletDescribesItsOneApplet) {
    qm::testing::TempRoot root;  // no InstallationPath: the applet must not open
    void* lib = dlopen(Bin("libQMPANEL.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(lib, nullptr) << dlerror();
    auto applet = reinterpret_cast<CPlAppletFn>(dlsym(lib, "CPlApplet"));
    ASSERT_NE(applet, nullptr);
    EXPECT_EQ(applet(nullptr, CPL_INIT, 0, 0), 1);
    EXPECT_EQ(applet(nullptr, CPL_GETCOUNT, 0, 0), 1);
    NEWCPLINFO info;
    std::memset(&info, 0x55, sizeof info);
    ASSERT_EQ(applet(nullptr, CPL_NEWINQUIRE, 0, reinterpret_cast<intptr_t>(&info)), 0);
    EXPECT_EQ(info.dwSize, sizeof(NEWCPLINFO));
    EXPECT_EQ(info.dwFlags, 0u);
    EXPECT_EQ(info.dwHelpContext, 0u);
    EXPECT_STREQ(info.hIcon, "PPANEL");
    EXPECT_STREQ(info.szName, "OvrelNet Http Server");
    EXPECT_STREQ(info.szInfo, "OvrelNet Http Server CPL");
    EXPECT_STREQ(info.szHelpFile, "");
    EXPECT_NE(applet(nullptr, CPL_NEWINQUIRE, 1, reinterpret_cast<intptr_t>(&info)), 0);
    // Only the record's own routine runs, and it opens nothing without the server's folder.
    EXPECT_EQ(applet(nullptr, CPL_DBLCLK, 0, 12345), 1);
    EXPECT_EQ(applet(nullptr, CPL_DBLCLK, 0, info.lData), 1);
    EXPECT_EQ(applet(nullptr, CPL_SELECT, 0, 0), 0);
    EXPECT_EQ(applet(nullptr, CPL_STOP, 0, info.lData), 0);
    EXPECT_EQ(applet(nullptr, CPL_EXIT, 0, 0), 0);
    // Nothing but the entry is exported.
    EXPECT_EQ(dlsym(lib, "_ZN2qm5panel10OpenAppletEv"), nullptr);
}

TEST(Applet, RunnerListsAndOpens) {
    qm::testing::TempRoot root;
    std::string out;
    EXPECT_EQ(RunCaptured({Bin("qmcplrun"), "--list"}, &out, 60000), 0);
    EXPECT_EQ(out, "OvrelNet Http Server\tOvrelNet Http Server CPL\n");
    EXPECT_EQ(RunCaptured({Bin("qmcplrun"), "--list", "libQMPANEL.so"}, &out, 60000), 0);
    EXPECT_EQ(RunCaptured({Bin("qmcplrun"), "--help"}, &out, 60000), 0);
    EXPECT_NE(out.find("usage: qmcplrun"), std::string::npos);
    EXPECT_EQ(RunCaptured({Bin("qmcplrun"), "NoSuchApplet"}, &out, 60000), 1);
    EXPECT_EQ(RunCaptured({Bin("qmcplrun"), "a", "b"}, &out, 60000), 2);
    // Without InstallationPath nothing opens.
    EXPECT_EQ(RunCaptured({Bin("qmcplrun")}, &out, 60000), 1);
}

class Monitor : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(qm::platform::RegSetString(RegRoot::LocalMachine, kHttpdKey, "InstallationPath",
                                             root_ / "bin", true),
                  0);
        ASSERT_EQ(qm::platform::RegSetNumber(RegRoot::LocalMachine, kHttpdKey, "tasktray", 1), 0);
        setenv("QT_QPA_PLATFORM", "offscreen", 1);
        setenv("QM_TRACE", "0x80", 1);
    }
    void TearDown() override {
        unsetenv("QM_TRACE");
        if (first_) first_->Kill();
    }
    void StartFirst() {
        first_ = std::make_unique<qm::testing::Child>([] {
            std::string p = Bin("QMMONITOR");
            execl(p.c_str(), p.c_str(), static_cast<char*>(nullptr));
            return 127;
        });
        ASSERT_TRUE(Eventually([] { return MonitorIdentity::Exists(); }, std::chrono::seconds(60)));
    }
    std::string Trace() const { return Slurp(root_ / "log/qbtrace.log"); }
    int Run(std::vector<std::string> args) {
        args.insert(args.begin(), Bin("QMMONITOR"));
        return RunCaptured(args, nullptr, 60000);
    }
    qm::testing::TempRoot root_;
    std::unique_ptr<qm::testing::Child> first_;
};

TEST_F(Monitor, HelpAndAMissingInstallation) {
    std::string out;
    EXPECT_EQ(RunCaptured({Bin("QMMONITOR"), "--help"}, &out, 60000), 0);
    EXPECT_NE(out.find("usage: QMMONITOR"), std::string::npos);
    qm::platform::RegDeleteValue(RegRoot::LocalMachine, kHttpdKey, "InstallationPath");
    EXPECT_EQ(Run({}), 1);
    EXPECT_FALSE(MonitorIdentity::Exists());
    EXPECT_EQ(Run({"-stop"}), 0) << "nothing to stop is no failure";
}

TEST_F(Monitor, ASecondStartRefreshesTheFirstAndStopClosesIt) {
    StartFirst();
    const std::string stopped = "icon SERV_DEACTIVE (Http Server is stopped.), shown";
    ASSERT_TRUE(Eventually([&] { return Count(Trace(), stopped) == 1; }, std::chrono::seconds(60)));
    EXPECT_EQ(Count(Trace(), "icon 95SERV"), 1u);

    EXPECT_EQ(Run({}), 0);
    // The first instance shows its start-up icon again, then the state.
    EXPECT_TRUE(Eventually([&] { return Count(Trace(), stopped) == 2; }, std::chrono::seconds(60)));
    EXPECT_EQ(Count(Trace(), "icon 95SERV"), 2u);
    EXPECT_EQ(first_->Wait(std::chrono::milliseconds(0)), -1) << "the first keeps running";
    EXPECT_TRUE(MonitorIdentity::Exists());

    EXPECT_EQ(Run({"-STOP"}), 0);
    EXPECT_EQ(first_->Wait(std::chrono::seconds(60)), 0);
    EXPECT_FALSE(MonitorIdentity::Exists());
}

TEST_F(Monitor, HiddenIconComesBackWhenTasktrayAndTheEventSaySo) {
    ASSERT_EQ(qm::platform::RegSetNumber(RegRoot::LocalMachine, kHttpdKey, "tasktray", 0), 0);
    StartFirst();
    ASSERT_TRUE(Eventually([&] { return Count(Trace(), "icon none") == 1; },
                           std::chrono::seconds(60)));
    ASSERT_EQ(qm::platform::RegSetNumber(RegRoot::LocalMachine, kHttpdKey, "tasktray", 1), 0);
    ASSERT_EQ(SignalRefresh(kMonitorOwner), 0);
    EXPECT_TRUE(Eventually([&] { return Count(Trace(), "icon SERV_DEACTIVE") == 1; },
                           std::chrono::seconds(60)));
    // SIGTERM closes it as Exit does.
    first_->Kill(SIGTERM);
    EXPECT_EQ(first_->Wait(std::chrono::seconds(60)), 0);
}

}  // namespace
