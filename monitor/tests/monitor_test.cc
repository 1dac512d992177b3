// Printer polls against simulated printers (snmpsim on loopback), with the notification
// database replaced by a recorder: what the poll hands to the database and which nudges it
// sends, byte for byte. The whole service against the real database is in service_test.cc.
#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include "printer_poll.h"
#include "qm/platform/clock.h"
#include "qm/platform/registry.h"
#include "qm/testing/testing.h"
#include "../../support/snmpgw/tests/simulator.h"

namespace {

using namespace qm::monitor;
using qm::testsupport::SimulatedPrinters;

// What the poll wrote, by function.
struct Recorder {
    std::mutex m;
    std::vector<std::pair<std::string, std::string>> calls;  // function, text
    std::set<std::string> knownAlerts;                       // DBSetSendData: -301 once each
    std::vector<std::array<int32_t, 5>> status;              // index, group, group index, code, kind
    size_t walk = 0;
    int onOff = kDbNoRecord;

    void Add(const char* fn, const char* text) {
        std::lock_guard l(m);
        calls.emplace_back(fn, text ? text : "");
    }
    std::vector<std::string> Texts(const std::string& fn) {
        std::lock_guard l(m);
        std::vector<std::string> out;
        for (auto& [f, t] : calls) if (f == fn) out.push_back(t);
        return out;
    }
};
Recorder* g_rec = nullptr;

std::string Field(const std::string& text, int n) {
    size_t start = 0;
    for (int i = 0; i < n; ++i) start = text.find('\n', start) + 1;
    return text.substr(start, text.find('\n', start) - start);
}

int SetSend(DeviceKey, const char* text, int) {
    g_rec->Add("send", text);
    std::string t(text);
    // The alert's identity: index, group, group index, code.
    std::string id = Field(t, 2) + "/" + Field(t, 5) + "/" + Field(t, 6) + "/" + Field(t, 8);
    return g_rec->knownAlerts.insert(id).second ? kDbAlertNew : -300;
}
int SetLog(DeviceKey, const char* text, int) { return g_rec->Add("log", text), 0; }
int SetCons(DeviceKey, const char* text, int) { return g_rec->Add("cons", text), 0; }
int SetCount(DeviceKey, const char* text, int) { return g_rec->Add("count", text), 0; }
int SetOnOff(DeviceKey, const char* text, int) { return g_rec->Add("onoff", text), 0; }
int ReadOnOff(DeviceKey) { return g_rec->onOff; }
int DeleteOnOff(DeviceKey) { return 0; }
int OpenStatus(int* f) { g_rec->walk = 0; *f = 7; return 0; }
int ReadStatus(int, void* rec) {
    if (g_rec->walk >= g_rec->status.size()) return kDbEndOfWalk;
    auto& s = g_rec->status[g_rec->walk++];
    auto* p = static_cast<unsigned char*>(rec);
    std::memcpy(p + 76, &s[4], 4);
    std::memcpy(p + 80, &s[0], 4);
    std::memcpy(p + 84, &s[1], 4);
    std::memcpy(p + 88, &s[2], 4);
    std::memcpy(p + 92, &s[3], 4);
    return 0;
}
int UpdateSend(int, int kind, void* rec) {
    int32_t index;
    std::memcpy(&index, static_cast<unsigned char*>(rec) + 80, 4);
    g_rec->Add("cleared", (std::to_string(index) + "/" + std::to_string(kind)).c_str());
    return 0;
}
int CloseStatus() { return 0; }

class PrinterPoll : public ::testing::Test {
protected:
    void SetUp() override {
        g_rec = &rec_;
        api_.DBSetSendData = SetSend;
        api_.DBSetLogData = SetLog;
        api_.DBSetConsData = SetCons;
        api_.DBSetPrtCntData = SetCount;
        api_.DBSetOnOff = SetOnOff;
        api_.DBReadOnOff = ReadOnOff;
        api_.DBDeleteOnOff = DeleteOnOff;
        api_.DBOpenStatusDB = OpenStatus;
        api_.DBReadStatusDB = ReadStatus;
        api_.DBUpdateSendDB = UpdateSend;
        api_.DBCloseStatusDB = CloseStatus;
        host_.db = &api_;
        host_.notify = [this](const char* m) { nudges_.push_back(m); };
    }
    void UseAgents(const SimulatedPrinters& p, int timeoutMs = 3000) {
        using qm::platform::RegRoot;
        const char* setup = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";
        qm::platform::RegSetNumber(RegRoot::LocalMachine, setup, "SnmpPort", p.port(), true);
        qm::platform::RegSetNumber(RegRoot::LocalMachine, setup, "SnmpTimeout", timeoutMs, true);
        qm::platform::RegSetNumber(RegRoot::LocalMachine, setup, "SnmpRetries", 2, true);
    }
    PollContext Context(const std::string& ip, bool log, bool supplies, bool counters, bool notify) {
        PollContext c;
        c.keys = {"1", ip, "", "0050C2A10004", ""};
        c.due = {log, supplies, counters, notify};
        c.alertTime = c.suppliesTime = c.countersTime = time_;
        return c;
    }
    std::string Date() const { return qm::platform::DateText(time_) + "\n" + qm::platform::TimeText(time_); }

    qm::testing::TempRoot root_;
    Recorder rec_;
    NtfDbApi api_;
    PollHost host_;
    std::vector<std::string> nudges_;
    const int64_t time_ = 1765200000;
};

std::string Printers(const std::string& file) {
    return std::string(QM_SOURCE_DIR) + "/support/snmpgw/printers/" + file;
}

TEST_F(PrinterPoll, AlertsSuppliesAndCountersOfASimulatedPrinter) {
    SimulatedPrinters sim({Printers("4-alerts-mfp.snmprec")}, 121);
    if (!sim.ok()) GTEST_SKIP() << sim.why();
    UseAgents(sim);
    ASSERT_EQ(PollPrinter(host_, Context(sim.address(0), true, true, true, false)), 0);

    const std::string t = std::to_string(time_);
    // Rows 3, 7 and 9; row 12 has severity 1 (other) and is neither recorded nor remembered.
    EXPECT_EQ(rec_.Texts("send"),
              (std::vector<std::string>{
                  t + "\n1\n3\n3\n4\n8\n2\n201\n808\nTray 2 empty\n8811001",
                  t + "\n1\n7\n4\n4\n11\n4\n0\n1104\nBlack toner low\n8811230",
                  t + "\n1\n9\n3\n5\n11\n1\n0\n1101\nCyan toner empty\n8812100"}));
    EXPECT_EQ(rec_.Texts("log"),
              (std::vector<std::string>{Date() + "\n3\n3\n4\n8\n2\n201\n808\nTray 2 empty\n8811001",
                                        Date() + "\n7\n4\n4\n11\n4\n0\n1104\nBlack toner low\n8811230",
                                        Date() + "\n9\n3\n5\n11\n1\n0\n1101\nCyan toner empty\n8812100"}));
    EXPECT_EQ(rec_.Texts("cons"),
              (std::vector<std::string>{Date() + "\n21\n1\n100\n0", Date() + "\n21\n2\n100\n55",
                                        Date() + "\n21\n3\n100\n33", Date() + "\n21\n4\n100\n7",
                                        Date() + "\n4\n5\n100\n-3", Date() + "\n15\n6\n200000\n-2"}));
    EXPECT_EQ(rec_.Texts("count"), (std::vector<std::string>{Date() + "\n7\n2203311"}));
    EXPECT_EQ(nudges_, (std::vector<std::string>{"11", "11", "11"}));

    // The same alerts again: nothing new, nothing logged, no nudge.
    rec_.calls.clear();
    nudges_.clear();
    ASSERT_EQ(PollPrinter(host_, Context(sim.address(0), true, false, false, true)), 0);
    EXPECT_EQ(rec_.Texts("send").size(), 6u);  // alert log and notification each read the table
    EXPECT_TRUE(rec_.Texts("log").empty());
    EXPECT_TRUE(nudges_.empty());
}

TEST_F(PrinterPoll, VanishedAlertsAreClearedAndLogged) {
    SimulatedPrinters sim({Printers("4-alerts-mfp.snmprec")}, 122);
    if (!sim.ok()) GTEST_SKIP() << sim.why();
    UseAgents(sim);
    // Recorded before: row 7 (still on the printer), row 5 (gone) and row 12 (severity 1).
    rec_.status = {{7, 11, 4, 1104, 1}, {5, 8, 1, 808, 1}, {12, 5, 1, 7, 1}};
    ASSERT_EQ(PollPrinter(host_, Context(sim.address(0), true, false, false, false)), 0);
    EXPECT_EQ(rec_.Texts("cleared"), (std::vector<std::string>{"5/2", "12/2"}));
    auto logs = rec_.Texts("log");
    ASSERT_FALSE(logs.empty());
    EXPECT_EQ(logs.back(), Date() + "\n0\n0\n0\n0\n0\n0\n0\n \n0");
    EXPECT_EQ(nudges_.back(), "12");

    // A record flag of 1 keeps the cleared line out of the log; the nudge still goes.
    rec_.calls.clear();
    nudges_.clear();
    rec_.status = {{5, 8, 1, 808, 1}};
    auto ctx = Context(sim.address(0), true, false, false, false);
    ctx.recordFlag = 1;
    ASSERT_EQ(PollPrinter(host_, ctx), 0);
    EXPECT_TRUE(rec_.Texts("log").empty());
    EXPECT_EQ(nudges_, (std::vector<std::string>{"12"}));
}

TEST_F(PrinterPoll, SilentPrinterGivesOneNoResponseAlertPerOutage) {
    SimulatedPrinters sim({Printers("1-mono-laser.snmprec")}, 123);
    if (!sim.ok()) GTEST_SKIP() << sim.why();
    UseAgents(sim, 200);
    rec_.status = {{4, 11, 1, 1104, 1}, {1024, 3, 0, -1, 1}};
    const std::string silent = "127.0.0.124";  // nobody answers there
    ASSERT_EQ(PollPrinter(host_, Context(silent, true, false, false, false)), 0);
    const std::string t = std::to_string(time_);
    EXPECT_EQ(rec_.Texts("send"), (std::vector<std::string>{t + "\n1\n1024\n3\n3\n0\n0\n0\n-1\n \n0"}));
    EXPECT_EQ(rec_.Texts("onoff"), (std::vector<std::string>{t + "\n5\n0\n0\n0\n0\n0\n0\n0\n \n0"}));
    EXPECT_EQ(rec_.Texts("log"), (std::vector<std::string>{Date() + "\n1024\n3\n3\n0\n0\n0\n-1\n \n0"}));
    EXPECT_EQ(rec_.Texts("cleared"), (std::vector<std::string>{"4/2"}));
    EXPECT_EQ(nudges_, (std::vector<std::string>{"11"}));

    rec_.calls.clear();
    nudges_.clear();
    ASSERT_EQ(PollPrinter(host_, Context(silent, true, false, false, true)), 0);
    EXPECT_EQ(rec_.Texts("send").size(), 1u);  // known: nothing else is written
    EXPECT_TRUE(rec_.Texts("onoff").empty());
    EXPECT_TRUE(nudges_.empty());
}

TEST_F(PrinterPoll, RecordedPrinterWithoutTypeColumnStillReportsSupplies) {
    const std::string konica = std::string(QM_SOURCE_DIR) + "/../shared/printers/konica.snmprec";
    if (!std::filesystem::exists(konica)) GTEST_SKIP() << "no recording at " << konica;
    SimulatedPrinters sim({konica}, 125);
    if (!sim.ok()) GTEST_SKIP() << sim.why();
    UseAgents(sim);
    ASSERT_EQ(PollPrinter(host_, Context(sim.address(0), false, true, true, false)), 0);
    auto cons = rec_.Texts("cons");
    ASSERT_EQ(cons.size(), 17u);
    EXPECT_EQ(cons[0], Date() + "\n1\n1\n100\n29");  // type "other" where the column is missing
    EXPECT_TRUE(rec_.Texts("count").empty());       // no marker table on this model
}

TEST(RecordTexts, StayWithinTheirLimit) {
    AlertRow a;
    a.description = std::string(2000, 'x');
    EXPECT_EQ(AlertRecordText(1, a).size(), 511u);
    EXPECT_EQ(Field(AlertRecordText(1, a), 10), "0");  // the printer time survives the cut
    a.description.clear();
    EXPECT_EQ(Field(AlertRecordText(1, a), 9), " ");
}

}  // namespace
