// The applet's logic: every state of the main dialog, every validation and every write of the
// detail dialog, against a real registry in a temporary root and scripted server states.
#include "qm/panel/panel.h"

#include <gtest/gtest.h>

#include <atomic>
#include <fstream>
#include <sstream>

#include "fakes.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"

namespace {

using namespace qm::desktop;
using namespace qm::desktop::testing;
using qm::panel::DetailLogic;
using qm::panel::DetailValues;
using qm::panel::MainLogic;
using qm::panel::MainView;
using qm::platform::RegRoot;

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class PanelTest : public ::testing::Test {
protected:
    void SetUp() override {
        Set("ServerSoftware", "qmhttpd/1.0");
        Set("Port", "8080");
        Set("MaxChildThreads", "16");
        Set("Timeout", "60");
        Set("Hostname", "localhost");
        Set("SpecialCgiScript", "nph-QMHTTPD.exe");
        SetNum("startup", 0);
        SetNum("tasktray", 1);
    }
    static void Set(const char* name, const std::string& v) {
        ASSERT_EQ(qm::platform::RegSetString(RegRoot::LocalMachine, kHttpdKey, name, v, true), 0);
    }
    static void SetNum(const char* name, uint32_t v) {
        ASSERT_EQ(qm::platform::RegSetNumber(RegRoot::LocalMachine, kHttpdKey, name, v, true), 0);
    }
    static qm::platform::RegValue Get(const char* name) {
        qm::platform::RegValue v;
        EXPECT_EQ(qm::platform::RegGetValue(RegRoot::LocalMachine, kHttpdKey, name, &v), 0) << name;
        return v;
    }
    DetailLogic Detail() { return DetailLogic(ops_, messages_, launcher_, boot_); }

    qm::testing::TempRoot root_;
    FakeOps ops_;
    RecordingMessages messages_;
    FakeLauncher launcher_;
    FakeBoot boot_;
};

TEST_F(PanelTest, MainDialogFollowsEveryState) {
    MainLogic logic(ops_, messages_);
    struct Case {
        int state;
        bool start, stop, pause, cont;
        int text;
        const char* icon;
    } cases[] = {
        {kStateRunning, false, true, true, false, 1, "SERV_ACTIVE"},
        {kStateStopped, true, false, false, false, 2, "SERV_DEACTIVE"},
        {kStatePaused, false, true, false, true, 4, "SERV_PAUSE"},
    };
    MainView view;
    for (const Case& c : cases) {
        ops_.state = c.state;
        EXPECT_EQ(logic.Refresh(&view), c.state);
        EXPECT_EQ(view.startEnabled, c.start) << c.state;
        EXPECT_EQ(view.stopEnabled, c.stop) << c.state;
        EXPECT_EQ(view.pauseEnabled, c.pause) << c.state;
        EXPECT_EQ(view.continueEnabled, c.cont) << c.state;
        EXPECT_EQ(view.textId, c.text);
        EXPECT_EQ(view.icon, c.icon);
        EXPECT_EQ(view.software, "qmhttpd/1.0");
    }
    EXPECT_STREQ(qm::panel::Text(4), "Http Server is paused.");
    EXPECT_TRUE(messages_.boxes.empty());

    // An unknown state says so and leaves the controls as the last state set them.
    ops_.state = kStateUnknown;
    MainView before = view;
    logic.Refresh(&view);
    ASSERT_EQ(messages_.boxes.size(), 1u);
    EXPECT_EQ(messages_.boxes[0].first, "Http Control Panel Error");
    EXPECT_EQ(messages_.boxes[0].second, "Failed to get Http Server status.");
    EXPECT_EQ(view.textId, before.textId);
    EXPECT_EQ(view.continueEnabled, before.continueEnabled);
    EXPECT_EQ(view.icon, before.icon);
}

TEST_F(PanelTest, MainDialogReportsTheSoftwareValueItCannotRead) {
    MainLogic logic(ops_, messages_);
    MainView view;
    qm::platform::RegDeleteValue(RegRoot::LocalMachine, kHttpdKey, "ServerSoftware");
    logic.Refresh(&view);
    EXPECT_EQ(view.software, "OvrelNetQuinsward Http Server");
    ASSERT_EQ(messages_.texts(), std::vector<std::string>{"Failed to read Http Server registry."});
    EXPECT_EQ(messages_.boxes[0].first, "OvrelNetQuinsward Control Panel Error");

    qm::platform::RegDeleteKey(RegRoot::LocalMachine, kHttpdKey);
    logic.Refresh(&view);
    EXPECT_EQ(messages_.texts().back(), "Failed to open Http Server registry.");
}

TEST_F(PanelTest, FailedOperationsShowTheirTextAndTheServersLastError) {
    MainLogic logic(ops_, messages_);
    ops_.result = -1;
    ops_.lastError = "2026/12/08 10:00:00 [Error] cannot bind port 8080";
    const char* expected[] = {"Failed to start Http Server.", "Failed to stop Http Server.",
                              "Failed to pause Http Server.", "Failed to continue Http Server."};
    for (int i = 0; i < 4; ++i) {
        messages_.boxes.clear();
        EXPECT_EQ(logic.Command(static_cast<Operation>(i)), -1);
        ASSERT_EQ(messages_.boxes.size(), 2u);
        EXPECT_EQ(messages_.boxes[0].second, expected[i]);
        EXPECT_EQ(messages_.boxes[1].second, ops_.lastError);
        for (const auto& b : messages_.boxes) {
            EXPECT_EQ(b.first, "OvrelNetQuinsward Control Panel Error");
        }
        EXPECT_FALSE(ops_.calls.back().second) << "operations from the dialog wait";
    }
    // A state that did not arrive in time is a failure too; no log line, no second box.
    ops_.result = 1;
    ops_.lastError.clear();
    messages_.boxes.clear();
    logic.Command(Operation::Start);
    EXPECT_EQ(messages_.texts(), std::vector<std::string>{"Failed to start Http Server."});
}

TEST_F(PanelTest, AnOperationRefreshesTheAppletAndTheTrayMonitor) {
    std::atomic<int> panel{0}, monitor{0};
    RefreshLoop panelLoop, monitorLoop;
    ASSERT_EQ(panelLoop.Start(kPanelOwner, [&] { ++panel; }), 0);
    ASSERT_EQ(monitorLoop.Start(kMonitorOwner, [&] { ++monitor; }), 0);
    ASSERT_TRUE(qm::testing::Eventually([&] { return panel == 1 && monitor == 1; }));
    MainLogic logic(ops_, messages_);
    logic.Command(Operation::Start);
    EXPECT_TRUE(qm::testing::Eventually([&] { return panel == 2 && monitor == 2; }));
    EXPECT_EQ(ops_.state, kStateRunning);
}

TEST_F(PanelTest, DetailLoadsTheRegistryAndTheMonitorsPresence) {
    launcher_.monitorRunning = true;
    DetailLogic d = Detail();
    DetailValues v = d.Load();
    EXPECT_EQ(v, (DetailValues{"8080", "16", "60", false, true}));
    EXPECT_TRUE(d.trayBoxEnabled());
    EXPECT_TRUE(messages_.boxes.empty());

    // No monitor running: the tray box shows unchecked whatever tasktray says.
    launcher_.monitorRunning = false;
    EXPECT_FALSE(Detail().Load().tasktray);

    // Missing values each say so.
    qm::platform::RegDeleteValue(RegRoot::LocalMachine, kHttpdKey, "Timeout");
    qm::platform::RegDeleteValue(RegRoot::LocalMachine, kHttpdKey, "startup");
    Detail().Load();
    EXPECT_EQ(messages_.texts(), std::vector<std::string>(2, "Failed to read Http Server registry."));

    ops_.platform = 4;
    DetailLogic nt3 = Detail();
    nt3.Load();
    EXPECT_FALSE(nt3.trayBoxEnabled());
}

TEST_F(PanelTest, StartUpFollowsTheUnitWhereSystemdManagesTheServer) {
    SetNum("startup", 1);
    EXPECT_TRUE(Detail().Load().startup);  // not managed: the value alone

    boot_.managed = true;
    boot_.enabled = false;
    EXPECT_FALSE(Detail().Load().startup);
    boot_.enabled = true;
    SetNum("startup", 0);
    DetailLogic d = Detail();
    DetailValues v = d.Load();
    EXPECT_TRUE(v.startup);

    v.startup = false;
    EXPECT_TRUE(d.Ok(v));
    EXPECT_EQ(boot_.sets, std::vector<bool>{false});
    EXPECT_EQ(Get("startup").number, 0u);

    boot_.queryResult = 22;
    Detail().Load();
    EXPECT_EQ(messages_.texts().back(), "Failed to open Http Server Service.");

    // A unit that cannot be changed keeps the dialog open.
    boot_.queryResult = 0;
    boot_.setResult = 23;
    DetailLogic d2 = Detail();
    DetailValues v2 = d2.Load();
    v2.startup = !v2.startup;
    EXPECT_FALSE(d2.Ok(v2));
    EXPECT_EQ(messages_.texts().back(), "Failed to modify Http Server Service information.");
}

TEST_F(PanelTest, ValidationRefusesOutOfRangeFields) {
    DetailValues ok{"8080", "16", "60", false, false};
    EXPECT_EQ(DetailLogic::Validate(ok), 0);
    struct Case {
        DetailValues v;
        int text;
    } cases[] = {
        {{"0", "16", "60"}, 25},      {{"65536", "16", "60"}, 25}, {{"123456", "16", "60"}, 25},
        {{"", "16", "60"}, 25},       {{"80a", "16", "60"}, 25},   {{"-80", "16", "60"}, 25},
        {{"8080", "0", "60"}, 26},    {{"8080", "10001", "60"}, 26},
        {{"8080", "99999999999999999999", "60"}, 26},
        {{"8080", "16", "0"}, 27},    {{"8080", "16", "601"}, 27}, {{"8080", "16", " 60"}, 27},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(DetailLogic::Validate(c.v), c.text) << c.v.port << "/" << c.v.threads << "/"
                                                       << c.v.timeout;
    }
    // The edges are allowed.
    EXPECT_EQ(DetailLogic::Validate({"1", "1", "1"}), 0);
    EXPECT_EQ(DetailLogic::Validate({"65535", "10000", "600"}), 0);
    EXPECT_EQ(DetailLogic::Validate({"00080", "16", "60"}), 0);
}

TEST_F(PanelTest, RefusedPortKeepsTheDialogOpenAndWritesNothing) {
    DetailLogic d = Detail();
    DetailValues v = d.Load();
    const std::string before = ReadFile(root_ / "registry");
    for (const char* port : {"0", "65536", "123456"}) {
        messages_.boxes.clear();
        v.port = port;
        EXPECT_FALSE(d.Ok(v));
        EXPECT_EQ(messages_.texts(), std::vector<std::string>{"Port Number parameter is invalid."});
    }
    v.port = "8080";
    v.timeout = "601";
    EXPECT_FALSE(d.Ok(v));
    EXPECT_EQ(messages_.texts().back(), "Timeout parameter is invalid.");
    EXPECT_EQ(ReadFile(root_ / "registry"), before);
    EXPECT_TRUE(ops_.calls.empty());
}

TEST_F(PanelTest, OkWithoutChangesWritesNothingButStillStartsTheMonitor) {
    SetNum("tasktray", 1);
    launcher_.monitorRunning = true;  // shown checked
    ops_.state = kStateRunning;
    DetailLogic d = Detail();
    DetailValues v = d.Load();
    ASSERT_TRUE(v.tasktray);
    launcher_.monitorRunning = false;  // the monitor ended meanwhile
    const std::string before = ReadFile(root_ / "registry");
    EXPECT_TRUE(d.Ok(v));
    EXPECT_EQ(ReadFile(root_ / "registry"), before);
    EXPECT_TRUE(ops_.calls.empty()) << "no restart";
    EXPECT_EQ(launcher_.monitorStarts, 1);
    EXPECT_TRUE(messages_.boxes.empty());

    // With the monitor running it is not started again; unchecked it is never started.
    launcher_.monitorRunning = true;
    EXPECT_TRUE(d.Ok(v));
    EXPECT_EQ(launcher_.monitorStarts, 1);
    launcher_.monitorRunning = false;
    DetailLogic off = Detail();
    DetailValues unchecked = off.Load();
    ASSERT_FALSE(unchecked.tasktray);
    EXPECT_TRUE(off.Ok(unchecked));
    EXPECT_EQ(launcher_.monitorStarts, 1);
}

TEST_F(PanelTest, OkWritesEveryValueAndRestartsARunningServer) {
    ops_.state = kStateRunning;
    DetailLogic d = Detail();
    DetailValues v = d.Load();
    v.port = "8081";
    v.threads = "32";
    v.timeout = "600";
    v.startup = true;
    v.tasktray = false;
    EXPECT_TRUE(d.Ok(v));
    EXPECT_TRUE(messages_.boxes.empty());
    EXPECT_EQ(Get("Port").text, "8081");
    EXPECT_EQ(Get("Port").type, qm::platform::kRegSz);
    EXPECT_EQ(Get("MaxChildThreads").text, "32");
    EXPECT_EQ(Get("Timeout").text, "600");
    EXPECT_EQ(Get("startup").type, qm::platform::kRegDword);
    EXPECT_EQ(Get("startup").number, 1u);
    EXPECT_EQ(Get("tasktray").number, 0u);
    // The pause is seen through before the continue goes out, which need not wait.
    ASSERT_EQ(ops_.calls.size(), 2u);
    EXPECT_EQ(ops_.calls[0], std::make_pair(Operation::Pause, false));
    EXPECT_EQ(ops_.calls[1], std::make_pair(Operation::Continue, true));
    EXPECT_EQ(ops_.state, kStateRunning);
    EXPECT_EQ(launcher_.monitorStarts, 0);
}

TEST_F(PanelTest, OkRestartsOnlyForServerValuesAndReportsWhatFails) {
    // Only a check box changed: no restart.
    ops_.state = kStateRunning;
    DetailLogic d = Detail();
    DetailValues v = d.Load();
    v.startup = true;
    EXPECT_TRUE(d.Ok(v));
    EXPECT_TRUE(ops_.calls.empty());

    // A stopped server is left alone; an unknown state is reported.
    ops_.state = kStateStopped;
    DetailLogic d2 = Detail();
    DetailValues v2 = d2.Load();
    v2.port = "9090";
    EXPECT_TRUE(d2.Ok(v2));
    EXPECT_TRUE(ops_.calls.empty());
    ops_.state = kStateUnknown;
    DetailLogic d3 = Detail();
    DetailValues v3 = d3.Load();
    v3.port = "9091";
    EXPECT_TRUE(d3.Ok(v3));
    EXPECT_EQ(messages_.texts(), std::vector<std::string>{"Failed to get Http Server status."});

    // A pause that fails.
    messages_.boxes.clear();
    ops_.state = kStateRunning;
    ops_.result = 1;
    DetailLogic d4 = Detail();
    DetailValues v4 = d4.Load();
    v4.timeout = "30";
    EXPECT_TRUE(d4.Ok(v4));
    EXPECT_EQ(messages_.texts(), std::vector<std::string>{"Failed to pause Http Server."});

    // A monitor that cannot be started keeps the dialog open.
    messages_.boxes.clear();
    ops_.result = 0;
    launcher_.result = 2;
    DetailLogic d5 = Detail();
    DetailValues v5 = d5.Load();
    v5.tasktray = true;
    EXPECT_FALSE(d5.Ok(v5));
    EXPECT_EQ(messages_.texts(),
              std::vector<std::string>{"Failed to open Http Server Management page."});
}

TEST_F(PanelTest, EveryWriteThatFailsIsReported) {
    DetailLogic d = Detail();
    DetailValues v = d.Load();
    v.port = "8081";
    qm::platform::RegDeleteKey(RegRoot::LocalMachine, kHttpdKey);
    d.Ok(v);
    EXPECT_EQ(messages_.texts(), std::vector<std::string>(5, "Failed to write Http Server registry."));
}

TEST_F(PanelTest, MoreSettingOpensTheManagementPage) {
    DetailLogic d = Detail();
    d.Load();
    d.MoreSetting();
    EXPECT_EQ(launcher_.urls,
              std::vector<std::string>{"http://localhost:8080/cgi-bin/nph-QMHTTPD.exe"});
    Set("SpecialCgiScript", "/admin/x.exe");
    d.MoreSetting();
    EXPECT_EQ(launcher_.urls.back(), "http://localhost:8080/admin/x.exe");

    launcher_.result = 2;
    d.MoreSetting();
    EXPECT_EQ(messages_.boxes.back(),
              std::make_pair(std::string("OvrelNetQuinsward Control Panel Error"),
                             std::string("Failed to open Http Server Management page.")));

    qm::platform::RegDeleteValue(RegRoot::LocalMachine, kHttpdKey, "Hostname");
    size_t opened = launcher_.urls.size();
    d.MoreSetting();
    EXPECT_EQ(launcher_.urls.size(), opened);
    EXPECT_EQ(messages_.boxes.back(),
              std::make_pair(std::string("Haldor Control Panel Error"),
                             std::string("Failed to read Http Server registry.")));

    ops_.state = kStateRunning;
    EXPECT_TRUE(d.MoreSettingEnabled());
    ops_.state = kStatePaused;
    EXPECT_FALSE(d.MoreSettingEnabled());
}

}  // namespace
