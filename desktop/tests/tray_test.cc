// The tray monitor's logic: icon and menu for every state, menu placement, commands and the
// command line, against a real registry in a temporary root and scripted server states.
#include "tray.h"

#include <gtest/gtest.h>

#include <atomic>

#include "fakes.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"

namespace {

using namespace qm::desktop;
using namespace qm::desktop::testing;
using namespace qm::tray;
using qm::platform::RegRoot;

class TrayTest : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(qm::platform::RegSetNumber(RegRoot::LocalMachine, kHttpdKey, "tasktray", 1, true),
                  0);
    }
    qm::testing::TempRoot root_;
    FakeOps ops_;
    RecordingMessages messages_;
    FakeLauncher launcher_;
    TrayLogic logic_{ops_, messages_, launcher_};
};

TEST_F(TrayTest, IconFollowsEveryState) {
    struct Case {
        int state;
        const char* icon;
        const char* tip;
    } cases[] = {
        {kStateRunning, "SERV_ACTIVE", "Http Server is running."},
        {kStateStopped, "SERV_DEACTIVE", "Http Server is stopped."},
        {kStatePaused, "SERV_PAUSE", "Http Server is paused."},
        {kStateUnknown, "SERV_UNKNOWN", "Http Server is not registerd."},
    };
    for (const Case& c : cases) {
        ops_.state = c.state;
        TrayView v = logic_.Update();
        EXPECT_TRUE(v.visible);
        EXPECT_EQ(v.icon, c.icon);
        EXPECT_EQ(v.tip, c.tip);
        EXPECT_EQ(v.state, c.state);
    }
    EXPECT_EQ(messages_.boxes,
              (std::vector<std::pair<std::string, std::string>>{
                  {"OvrelNetQuinsward Monitor Error", "Failed to get Http Server status."}}));
    // Before the first update the icon is the start-up one.
    EXPECT_EQ(TrayView{}.icon, "95SERV");
    EXPECT_EQ(TrayView{}.tip, "OvrelNetQuinsward Monitor");
}

TEST_F(TrayTest, TasktrayZeroHidesTheIconAndAnUnreadableValueShowsIt) {
    qm::platform::RegSetNumber(RegRoot::LocalMachine, kHttpdKey, "tasktray", 0);
    EXPECT_FALSE(logic_.Update().visible);
    EXPECT_TRUE(messages_.boxes.empty());

    qm::platform::RegDeleteValue(RegRoot::LocalMachine, kHttpdKey, "tasktray");
    EXPECT_TRUE(logic_.Update().visible);
    EXPECT_EQ(messages_.texts(), std::vector<std::string>{"Failed to read Httpd registry."});
    qm::platform::RegDeleteKey(RegRoot::LocalMachine, kHttpdKey);
    EXPECT_TRUE(logic_.Update().visible);
    EXPECT_EQ(messages_.texts().back(), "Failed to open Httpd registry.");
}

TEST_F(TrayTest, MenuOffersWhatTheStateAllows) {
    auto ids = [&](int state) {
        std::vector<int> out;
        for (const auto& item : logic_.Menu(state)) {
            out.push_back(item.id);
            EXPECT_EQ(item.isDefault, item.id == kCmdProperty);
        }
        return out;
    };
    EXPECT_EQ(ids(kStateStopped), (std::vector<int>{1010, 108, 0, 1030, 1020}));
    EXPECT_EQ(ids(kStateRunning), (std::vector<int>{1010, 108, 0, 1040, 1050, 1020}));
    EXPECT_EQ(ids(kStatePaused), (std::vector<int>{1010, 108, 0, 1040, 1060, 1020}));
    EXPECT_TRUE(messages_.boxes.empty());
    EXPECT_EQ(ids(kStateUnknown), (std::vector<int>{1010, 108, 0, 1020}));
    EXPECT_EQ(messages_.texts(), std::vector<std::string>{"Failed to get Http Server status."});

    std::vector<std::string> texts;
    for (const auto& item : logic_.Menu(kStatePaused)) texts.push_back(item.text);
    EXPECT_EQ(texts, (std::vector<std::string>{"Exit OvrelNet HTTP Server Monitor",
                                               "Hide OvrelNet HTTP Server Monitor", "",
                                               "Stop Http Server", "Continue Http Server",
                                               "Http Server Property"}));
}

TEST(TrayPlacement, MenuGoesBesideTheNotificationArea) {
    // Taskbar at the bottom right: above the area, right-aligned.
    MenuPlacement p = PlaceMenu(900, 740, 930, 768, 1024, 768);
    EXPECT_TRUE(p.rightAligned);
    EXPECT_TRUE(p.bottomAligned);
    EXPECT_EQ(p.x, 930);
    EXPECT_EQ(p.y, 740);
    // Top left: below it, left-aligned.
    p = PlaceMenu(10, 0, 40, 24, 1024, 768);
    EXPECT_FALSE(p.rightAligned);
    EXPECT_FALSE(p.bottomAligned);
    EXPECT_EQ(p.x, 10);
    EXPECT_EQ(p.y, 24);
}

TEST(TrayInvocation, StopIsRecognisedWithoutRegardToCase) {
    EXPECT_EQ(ParseInvocation({}), Invocation::Run);
    EXPECT_EQ(ParseInvocation({"-stop"}), Invocation::Stop);
    EXPECT_EQ(ParseInvocation({"-STOP"}), Invocation::Stop);
    EXPECT_EQ(ParseInvocation({"stop"}), Invocation::Run);
    EXPECT_EQ(ParseInvocation({"-stopped"}), Invocation::Run);
}

TEST_F(TrayTest, CommandsRunAndReportFailures) {
    EXPECT_EQ(logic_.Command(kCmdExit), TrayLogic::After::Close);

    ops_.state = kStateStopped;
    EXPECT_EQ(logic_.Command(kCmdStart), TrayLogic::After::Update);
    EXPECT_EQ(ops_.state, kStateRunning);
    EXPECT_EQ(logic_.Command(kCmdPause), TrayLogic::After::Update);
    EXPECT_EQ(logic_.Command(kCmdContinue), TrayLogic::After::Update);
    EXPECT_EQ(logic_.Command(kCmdStop), TrayLogic::After::Update);
    std::vector<Operation> ran;
    for (const auto& c : ops_.calls) {
        ran.push_back(c.first);
        EXPECT_FALSE(c.second);
    }
    EXPECT_EQ(ran, (std::vector<Operation>{Operation::Start, Operation::Pause, Operation::Continue,
                                           Operation::Stop}));
    EXPECT_TRUE(messages_.boxes.empty());

    ops_.result = -1;
    ops_.lastError = "[Error] port in use";
    const char* expected[] = {"Failed to start Http Server.", "Failed to stop Http Server.",
                              "Failed to pause Http Server.", "Failed to continue Http Server."};
    int ids[] = {kCmdStart, kCmdStop, kCmdPause, kCmdContinue};
    for (int i = 0; i < 4; ++i) {
        messages_.boxes.clear();
        EXPECT_EQ(logic_.Command(ids[i]), TrayLogic::After::Update);
        EXPECT_EQ(messages_.texts(), (std::vector<std::string>{expected[i], "[Error] port in use"}));
    }

    messages_.boxes.clear();
    EXPECT_EQ(logic_.Command(kCmdProperty), TrayLogic::After::Nothing);
    EXPECT_EQ(launcher_.appletOpens, 1);
    launcher_.result = 2;
    logic_.Command(kCmdProperty);
    EXPECT_EQ(messages_.texts(),
              std::vector<std::string>{"Failed to start Http Serve?\xE2\x80\x99 Contorl Panel."});
}

TEST_F(TrayTest, HideWritesTasktrayAndRefreshesBothPrograms) {
    std::atomic<int> panel{0}, monitor{0};
    RefreshLoop panelLoop, monitorLoop;
    ASSERT_EQ(panelLoop.Start(kPanelOwner, [&] { ++panel; }), 0);
    ASSERT_EQ(monitorLoop.Start(kMonitorOwner, [&] { ++monitor; }), 0);
    ASSERT_TRUE(qm::testing::Eventually([&] { return panel == 1 && monitor == 1; }));

    EXPECT_EQ(logic_.Command(kCmdHide), TrayLogic::After::Nothing);
    qm::platform::RegValue v;
    ASSERT_EQ(qm::platform::RegGetValue(RegRoot::LocalMachine, kHttpdKey, "tasktray", &v), 0);
    EXPECT_EQ(v.type, qm::platform::kRegDword);
    EXPECT_EQ(v.number, 0u);
    EXPECT_TRUE(qm::testing::Eventually([&] { return panel == 2 && monitor == 2; }));
    EXPECT_FALSE(logic_.Update().visible);

    qm::platform::RegDeleteKey(RegRoot::LocalMachine, kHttpdKey);
    logic_.Command(kCmdHide);
    EXPECT_EQ(messages_.texts(), std::vector<std::string>{"Failed to open Httpd registry."});
}

}  // namespace
