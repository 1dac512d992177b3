// The monitor as a running program against the real notification database and simulated
// printers: what it records is read back through QNTFDB, and it is driven through qmonctl,
// traps from net-snmp's snmptrap and signals, as an administrator would.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <set>
#include <string>

#include "QNTFDB.h"
#include "qm/ipc/names.h"
#include "qm/ipc/objects.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"
#include "../../support/snmpgw/tests/simulator.h"

namespace {

using qm::testsupport::RunCommand;
using qm::testsupport::SimulatedPrinters;
using qm::testing::Eventually;
using std::chrono::seconds;

const char* kSetup = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";

struct Device {
    std::array<std::string, 7> text;
    std::array<const char*, 7> ptr{};
    explicit Device(const std::string& ip) {
        text = {"10", ip, "", "0050C2A10004", "1", "0", ""};
        for (int i = 0; i < 7; ++i) ptr[i] = text[i].c_str();
    }
    const char* const* get() const { return ptr.data(); }
};

// Alert indexes of the device's uncleared status records, read through the database.
std::set<int> RecordedAlerts(const Device& d) {
    std::set<int> out;
    int file = 0;
    if (DBOpenStatusDB(&file) != 0) return out;
    unsigned char rec[NTFDB_STATUS_RECORD_SIZE] = {};
    const size_t at[5] = {0, 12, 28, 52, 68};
    for (int i = 0; i < 5; ++i) std::memcpy(rec + at[i], d.text[i].data(), d.text[i].size());
    while (DBReadStatusDB(file, rec) == 0) {
        int32_t index;
        std::memcpy(&index, rec + 80, 4);
        out.insert(index);
    }
    DBCloseStatusDB();
    return out;
}

class MonitorService : public ::testing::Test {
protected:
    void SetUp() override {
        using qm::platform::RegRoot;
        trapPort_ = qm::testsupport::FreeUdpPort();
        ::setenv("QM_TRACE", "0x8880", 1);
        qm::platform::RegSetNumber(RegRoot::LocalMachine, qm::ipc::kMonitorKey, "TrapPort", trapPort_, true);
        qm::platform::RegSetNumber(RegRoot::LocalMachine, kSetup, "SnmpTimeout", 700, true);
        qm::platform::RegSetNumber(RegRoot::LocalMachine, kSetup, "SnmpRetries", 2, true);
        ASSERT_EQ(DBInitialize(root_.path().c_str()), 0);
    }
    void TearDown() override {
        if (HasFailure()) {
            // What the monitor traced is the quickest way to why.
            std::printf("%s\n", RunCommand("tail -40 " + root_.path() + "/log/qbtrace.log").c_str());
        }
        if (pid_ > 0) {
            ::kill(pid_, SIGKILL);
            ::waitpid(pid_, nullptr, 0);
        }
        DBRelease();
    }
    pid_t Start() {
        pid_t pid = ::fork();
        if (pid == 0) {
            std::string exe = qm::testing::BuildBinFolder() + "/Qmonmgr";
            ::execl(exe.c_str(), exe.c_str(), static_cast<char*>(nullptr));
            ::_exit(127);
        }
        return pid;
    }
    int Ctl(const std::string& command) {
        int status = 0;
        RunCommand(qm::testing::BuildBinFolder() + "/qmonctl " + command + " 2>&1", &status);
        return status;
    }
    // Exit status of the monitor, -1 when it did not end in time.
    int WaitExit(pid_t pid, seconds limit) {
        int status = 0;
        bool ended = Eventually([&] { return ::waitpid(pid, &status, WNOHANG) == pid; }, limit);
        if (!ended) return -1;
        if (pid == pid_) pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    qm::testing::TempRoot root_;
    int trapPort_ = 0;
    pid_t pid_ = -1;
};

TEST_F(MonitorService, RecordsAlertsFollowsTrapsAndObeysItsControls) {
    if (!qm::testsupport::HaveProgram("snmptrap")) GTEST_SKIP() << "snmptrap not installed";
    const std::string ip = "127.0.0.127";
    Device printer(ip);
    ASSERT_EQ(DBSetHandleDevice("DV1", printer.get()), 0);
    qm::ipc::MailslotReader nudges;
    ASSERT_EQ(nudges.Create("\\\\.\\MAILSLOT\\Qntfmgr"), 0);

    // The printer is not there yet: the first poll records it as not answering, once.
    qm::platform::RegSetNumber(qm::platform::RegRoot::LocalMachine, kSetup, "SnmpPort",
                               qm::testsupport::FreeUdpPort(), true);
    pid_ = Start();
    ASSERT_TRUE(Eventually([&] { return RecordedAlerts(printer).count(1024) == 1; }, seconds(60)));
    ASSERT_EQ(nudges.Receive(30000), 0);
    EXPECT_EQ(nudges.Text(), "11");

    // A second monitor for the same installation is refused.
    const pid_t second = Start();
    EXPECT_EQ(WaitExit(second, seconds(30)), 255);

    // The printer comes up; its trap makes the monitor poll it at once, long before the next
    // scheduled poll (60 s): the alerts appear, the no-response alert is cleared.
    SimulatedPrinters sim({std::string(QM_SOURCE_DIR) + "/support/snmpgw/printers/4-alerts-mfp.snmprec"}, 127);
    if (!sim.ok()) GTEST_SKIP() << sim.why();
    qm::platform::RegSetNumber(qm::platform::RegRoot::LocalMachine, kSetup, "SnmpPort", sim.port(), true);
    ASSERT_EQ(Ctl("reload"), 0);  // the gateway reads its port when a poll starts; reload is harmless
    const auto sent = std::chrono::steady_clock::now();
    int status = 0;
    RunCommand("snmptrap -v1 -c public --clientaddr=" + ip + " 127.0.0.1:" + std::to_string(trapPort_) +
                   " 1.3.6.1.4.1.40404 " + ip + " 6 1 '' 2>&1",
               &status);
    ASSERT_EQ(status, 0);
    ASSERT_TRUE(Eventually([&] { return RecordedAlerts(printer) == std::set<int>{3, 7, 9}; }, seconds(40)))
        << "alerts after the trap";
    const double latency =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - sent).count();
    std::printf("trap to recorded alerts: %.2f s\n", latency);
    EXPECT_LT(latency, 30.0);

    // Pause, continue, reload and stop through the control tool.
    EXPECT_EQ(Ctl("status"), 0);
    EXPECT_EQ(Ctl("pause"), 0);
    EXPECT_EQ(Ctl("continue"), 0);
    EXPECT_EQ(Ctl("reload"), 0);
    EXPECT_EQ(Ctl("stop"), 0);
    EXPECT_EQ(WaitExit(pid_, seconds(30)), 0);
    EXPECT_EQ(Ctl("status"), 1);
    EXPECT_EQ(Ctl("pause"), 1);  // nobody to tell
}

TEST_F(MonitorService, StopsOnSigtermAndSkipsMaintenanceWhileTheDatabaseIsInUse) {
    // Maintenance every pass (interval 0): it must wait while another program uses the database.
    qm::platform::RegSetString(qm::platform::RegRoot::LocalMachine, qm::ipc::kMonitorKey,
                               "CompactInterval", "0", true);
    qm::ipc::NamedMutex inUse;
    ASSERT_EQ(inUse.Create(qm::ipc::kDbNotCompact), 0);
    pid_ = Start();
    ASSERT_TRUE(Eventually([&] { return Ctl("status") == 0; }, seconds(30)));
    // While we hold the marker, no compaction marker ever appears.
    qm::ipc::NamedMutex compact;
    for (int i = 0; i < 20; ++i) {
        ASSERT_NE(compact.Open(qm::ipc::kDbCompact), 0);
        ::usleep(50 * 1000);
    }
    inUse.Close();
    ::kill(pid_, SIGTERM);
    EXPECT_EQ(WaitExit(pid_, seconds(30)), 0);
}

}  // namespace
