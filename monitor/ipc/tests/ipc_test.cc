// The services' wrappers: control channel across processes, mailslot addressing, the control
// block's bounds and the settings conventions.
#include <gtest/gtest.h>

#include <fstream>
#include <string>
#include <thread>

#include "qm/ipc/control.h"
#include "qm/ipc/names.h"
#include "qm/ipc/objects.h"
#include "qm/ipc/security.h"
#include "qm/ipc/settings.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"

namespace {

using namespace qm::ipc;
using qm::testing::TempRoot;

TEST(ControlMap, CursorWalksTextsAndNeverLeavesTheBlock) {
    TempRoot root;
    ControlMap writer, reader;
    ASSERT_EQ(writer.Create("TestMap"), 0);
    ASSERT_EQ(writer.Put("1"), 0);
    ASSERT_EQ(writer.Put("QN01"), 0);
    // "1\0QN01\0" uses 7 of 10 bytes: a 3-character text would need 4 more.
    EXPECT_EQ(writer.Put("abc"), 87);
    EXPECT_EQ(writer.Put("ab"), 0);

    ASSERT_EQ(reader.Open("TestMap"), 0);
    EXPECT_EQ(reader.Next(), "1");
    EXPECT_EQ(reader.Next(), "QN01");
    EXPECT_EQ(reader.Next(), "ab");
    EXPECT_EQ(reader.Next(), "");
    reader.Rewind();
    EXPECT_EQ(reader.Next(), "1");

    // A block another program filled without a terminator is read up to its end, no further.
    writer.Rewind();
    ASSERT_EQ(writer.Put("123456789"), 0);
    ControlMap raw;
    ASSERT_EQ(raw.Open("TestMap"), 0);
    qm::platform::SharedBlock block;
    ASSERT_EQ(block.Open("TestMap"), 0);
    block.Data()[9] = 'x';
    EXPECT_EQ(raw.Next(), "123456789x");
    EXPECT_EQ(raw.Next(), "");
    EXPECT_EQ(writer.Put("1234567890"), 87);
    EXPECT_EQ(ControlMap().Open("NoSuchMap"), 2);
}

TEST(ControlChannel, CommandsCrossProcessesAndAreAcknowledged) {
    TempRoot root;
    MailslotReader seen;
    ASSERT_EQ(seen.Create("\\\\.\\MAILSLOT\\SeenCommands"), 0);
    // The service runs in another process; it reports every command it handled into a slot.
    qm::testing::Holder service([](const qm::testing::Holder::Hold& hold) {
        auto* server = new ControlServer;  // lives until the child is killed
        if (server->Create(kMonitorControlMap, kMonitorControlEvent) != 0) return 1;
        std::thread([server] {
            std::string cmd;
            while (server->Wait(&cmd) == 0) {
                PostMessage("SeenCommands", cmd);
                server->Acknowledge();
            }
        }).detach();
        hold();
        return 0;
    });
    ASSERT_TRUE(service.ready());
    for (const char* cmd : {kCmdPause, kCmdContinue, kCmdReload}) {
        ASSERT_EQ(SendControlCommand(kMonitorControlMap, kMonitorControlEvent, cmd, 30000), 0);
        ASSERT_EQ(seen.Receive(30000), 0);
        EXPECT_EQ(seen.Text(), cmd);
    }
    service.Kill();
    service.Wait();
    // With the service gone the block is gone too.
    EXPECT_EQ(SendControlCommand(kMonitorControlMap, kMonitorControlEvent, kCmdStop, 1000),
              kControlNoService);
}

TEST(ControlChannel, UnacknowledgedCommandTimesOutForTools) {
    TempRoot root;
    ControlServer server;
    ASSERT_EQ(server.Create("DeafMap", "DeafEvent"), 0);
    EXPECT_EQ(SendControlCommand("DeafMap", "DeafEvent", "1", 200), kControlFailed);
    std::string cmd;
    EXPECT_EQ(server.Wait(&cmd, 5000), 0);
    EXPECT_EQ(cmd, "1");
    EXPECT_EQ(SendControlCommand("DeafMap", "DeafEvent", "toolongcommand", 200), kControlFailed);
}

TEST(Mailslot, WritersAddressTheSlotThroughTheComputerName) {
    TempRoot root;
    EXPECT_NE(PostMessage(kNotifierSlot, kMsgNewAlert), 0);  // nobody reads: dropped
    MailslotReader r;
    ASSERT_EQ(r.Create("\\\\.\\MAILSLOT\\Qntfmgr"), 0);
    EXPECT_EQ(LocalSlotName("Qntfmgr").rfind("\\\\", 0), 0u);
    ASSERT_EQ(PostMessage(kNotifierSlot, kMsgNewAlert), 0);
    ASSERT_EQ(PostMessage(kNotifierSlot, kMsgNotifierEnd), 0);
    ASSERT_EQ(r.Receive(10000), 0);
    EXPECT_EQ(r.Text(), "11");
    ASSERT_EQ(r.Receive(10000), 0);
    EXPECT_EQ(r.Text(), "end");  // the buffer is cleared between messages

    std::string full(kMailslotBuffer, '7');
    ASSERT_EQ(PostMessage(kNotifierSlot, full), 0);
    ASSERT_EQ(r.Receive(10000), 0);
    EXPECT_EQ(r.Text(), full);
    ASSERT_EQ(PostMessage(kNotifierSlot, full + "7"), 0);
    EXPECT_EQ(r.Receive(10000), 122);
    EXPECT_EQ(r.Receive(50), 258);
    MailslotReader second;
    EXPECT_EQ(second.Create("\\\\.\\MAILSLOT\\qntfmgr"), 183);
}

TEST(Settings, RegistryAndProfileReadTheServicesWay) {
    TempRoot root;
    using qm::platform::RegRoot;
    ASSERT_EQ(qm::platform::RegSetNumber(RegRoot::LocalMachine, kNotifierKey, "UdpPort", 7100, true), 0);
    ASSERT_EQ(qm::platform::RegSetString(RegRoot::LocalMachine, kNotifierKey, "UdpRetryCount", "0"), 0);
    ASSERT_EQ(qm::platform::RegSetString(RegRoot::LocalMachine, kMonitorKey, "CompactInterval", "15x", true), 0);

    RegistryValue v;
    ASSERT_EQ(v.Read(kNotifierKey, "UDPPORT"), 0);
    EXPECT_EQ(v.text(), "7100");
    EXPECT_EQ(v.type(), qm::platform::kRegDword);
    EXPECT_EQ(v.Read(kNotifierKey, "Missing"), 1);
    EXPECT_EQ(RegistryNumber(kNotifierKey, "UdpPort", 7000, true), 7100);
    EXPECT_EQ(RegistryNumber(kNotifierKey, "UdpRetryCount", 4, true), 4);
    EXPECT_EQ(RegistryNumber(kNotifierKey, "UdpRetryCount", 4, false), 0);
    EXPECT_EQ(RegistryNumber(kNotifierKey, "UdpCheckInterval", 90, true), 90);
    EXPECT_EQ(RegistryNumber(kMonitorKey, "CompactInterval", 1440), 15);

    ASSERT_EQ(v.Write(kMonitorKey, "Extra", "abc"), 0);
    ASSERT_EQ(v.Read(kMonitorKey, "Extra"), 0);
    EXPECT_EQ(v.size(), 4u);
    EXPECT_EQ(v.DeleteValue(kMonitorKey, "Extra"), 0);
    EXPECT_EQ(v.Read(kMonitorKey, "Extra"), 1);
    EXPECT_EQ(v.Write("SOFTWARE\\NoSuchKey", "X", "1"), 1);

    std::ofstream(root / "bin/ntccnf.ini") << "[QWM_DBConf]\nDBPath=ntf2\nRetry=abc\nCount=12\n";
    const std::string ini = root / "bin/ntccnf.ini";
    EXPECT_EQ(ProfileText("QWM_DBConf", "DBPath", "ntf", ini), "ntf2");
    EXPECT_EQ(ProfileText("QWM_DBConf", "Missing", "ntf", ini), "ntf");
    EXPECT_EQ(ProfileNumber("QWM_DBConf", "Retry", "3", ini), 0);
    EXPECT_EQ(ProfileNumber("QWM_DBConf", "Count", "3", ini), 12);
    EXPECT_EQ(ProfileNumber("QWM_DBConf", "Gone", "3", ini), 3);
    EXPECT_EQ(DecimalValue("99999999999999999999999"), LONG_MAX);
    EXPECT_EQ(DecimalValue("  -42z"), -42);
    EXPECT_EQ(PlatformClass(), 2);
    EXPECT_FALSE(UsesOpenSecurity());
}

}  // namespace
