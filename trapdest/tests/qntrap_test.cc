// The slot rules on simulated printers (snmpsim, writable slots), and on scripted agents the
// cases a simulator cannot show: empty values, silence, foreign values, and a computer name
// that does not resolve.
#include <gtest/gtest.h>
#include <sched.h>
#include <unistd.h>

#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "fake_agent.h"
#include "local_address.h"
#include "qm/testing/testing.h"
#include "qntrap.h"
#include "trap_printer.h"

namespace qm::trapdest::test {
namespace {

using testsupport::Datagram;
using testsupport::FakeAgent;
using testsupport::FakeMib;

constexpr const char* kSelf = "192.0.2.77";
constexpr const char* kOther = "10.20.30.40";
constexpr const char* kOther2 = "10.20.30.41";
constexpr const char* kNone = "0.0.0.0";
constexpr int kPrinterLast = 91;  // the simulated printer answers on 127.0.0.91

bool HaveNetSnmp() { return testsupport::HaveProgram("snmpget"); }

// ---- Simulated printers -----------------------------------------------------------------

class QntrapSimulated : public ::testing::Test {
protected:
    // Starts a printer whose slots hold `initial`; false (with the test skipped) when snmpsim
    // or net-snmp is missing.
    bool Start(const Slots& initial, const std::string& self = kSelf) {
        if (!HaveNetSnmp()) {
            why_ = "net-snmp's snmpget is not installed";
            return false;
        }
        printer_ = std::make_unique<TrapPrinter>(initial, kPrinterLast);
        if (!printer_->ok()) {
            why_ = printer_->why();
            return false;
        }
        ConfigureRoot(printer_->port(), self);
        return true;
    }
    Slots Now() const {
        Slots s;
        EXPECT_TRUE(printer_->Read(&s)) << "the printer does not answer snmpget";
        return s;
    }
    const char* Ip() {
        ip_ = printer_->address();
        return ip_.c_str();
    }

    qm::testing::TempRoot root_;
    std::unique_ptr<TrapPrinter> printer_;
    std::string why_;
    std::string ip_;
};

#define START_OR_SKIP(...)                              \
    do {                                                \
        if (!Start(__VA_ARGS__)) GTEST_SKIP() << why_;  \
    } while (0)

TEST_F(QntrapSimulated, EmptyPrinterGetsSlot1OnceAndSlot2StaysFree) {
    START_OR_SKIP(Slots{kNone, kNone, 0, 0});
    EXPECT_EQ(QnConfigSetTrapIP(Ip()), 0);
    EXPECT_EQ(Now(), (Slots{kSelf, kNone, 1, 0}));
    // Registered already: a second call must not take slot 2 as well.
    EXPECT_EQ(QnConfigSetTrapIP(Ip()), 0);
    EXPECT_EQ(Now(), (Slots{kSelf, kNone, 1, 0}));
}

TEST_F(QntrapSimulated, AnotherComputerInSlot1LeavesSlot2ToUs) {
    START_OR_SKIP(Slots{kOther, kNone, 1, 0});
    EXPECT_EQ(QnConfigSetTrapIP(Ip()), 0);
    EXPECT_EQ(Now(), (Slots{kOther, kSelf, 1, 1}));
}

TEST_F(QntrapSimulated, BothSlotsHeldByOthersChangeNothing) {
    START_OR_SKIP(Slots{kOther, kOther2, 1, 0});
    EXPECT_EQ(QnConfigSetTrapIP(Ip()), 0);
    EXPECT_EQ(Now(), (Slots{kOther, kOther2, 1, 0}));
    EXPECT_EQ(QnConfigReSetTrapIP(Ip()), 0);
    EXPECT_EQ(Now(), (Slots{kOther, kOther2, 1, 0}));
}

TEST_F(QntrapSimulated, ThisComputerOnlyInSlot2AlsoTakesAnEmptySlot1) {
    START_OR_SKIP(Slots{kNone, kSelf, 0, 1});
    EXPECT_EQ(QnConfigSetTrapIP(Ip()), 0);
    EXPECT_EQ(Now(), (Slots{kSelf, kSelf, 1, 1}));
}

TEST_F(QntrapSimulated, ResetClearsBothSlotsAndAClearedSlotCountsAsFree) {
    START_OR_SKIP(Slots{kSelf, kSelf, 1, 1});
    EXPECT_EQ(QnConfigReSetTrapIP(Ip()), 0);
    EXPECT_EQ(Now(), (Slots{kNone, kNone, 0, 0}));
    // Removal leaves 0.0.0.0 behind; registering again must see that slot as free.
    EXPECT_EQ(QnConfigSetTrapIP(Ip()), 0);
    EXPECT_EQ(Now(), (Slots{kSelf, kNone, 1, 0}));
}

TEST_F(QntrapSimulated, ResetLeavesOtherComputersSlotsAlone) {
    START_OR_SKIP(Slots{kOther, kSelf, 1, 1});
    EXPECT_EQ(QnConfigReSetTrapIP(Ip()), 0);
    EXPECT_EQ(Now(), (Slots{kOther, kNone, 1, 0}));
    EXPECT_EQ(QnConfigSetTrapIP(Ip()), 0);
    EXPECT_EQ(Now(), (Slots{kOther, kSelf, 1, 1}));
}

// Without the setting the computer name's first address is registered. In a UTS namespace of
// its own the child is called "localhost", which every resolver maps to 127.0.0.1: the
// registration works, and the trace says that printers cannot reach that address.
TEST_F(QntrapSimulated, ComputerNameAddressIsRegisteredAndLoopbackIsTraced) {
    START_OR_SKIP(Slots{kNone, kNone, 0, 0}, "");
    qm::testing::Child child([&] {
        if (unshare(CLONE_NEWUTS) != 0 || sethostname("localhost", 9) != 0) return 77;
        return QnConfigSetTrapIP(Ip()) == 0 ? 0 : 1;
    });
    int rc = child.Wait(std::chrono::seconds(60));
    if (rc == 77) GTEST_SKIP() << "no UTS namespace for the test (needs CAP_SYS_ADMIN)";
    ASSERT_EQ(rc, 0);
    EXPECT_EQ(Now(), (Slots{"127.0.0.1", kNone, 1, 0}));
    std::ifstream trace(root_ / "log/qbtrace.log");
    std::stringstream text;
    text << trace.rdbuf();
    EXPECT_NE(text.str().find("LOCALHOST resolves to the loopback address 127.0.0.1 only"), std::string::npos)
        << text.str();
}

// ---- Scripted agents --------------------------------------------------------------------

struct SetSeen {
    std::string community;
    std::string oid;
    Datagram value;
};

// A printer on 127.0.0.1 answering from a FakeMib; sets are recorded and kept. With
// `answered` >= 0 it falls silent after that many requests - except to the test's own flush,
// which comes with the community "flush".
class ScriptedPrinter {
public:
    explicit ScriptedPrinter(int answered = -1)
        : agent_([this, answered](const snmp::Message& m, std::span<const uint8_t>) {
              std::lock_guard lock(mu_);
              if (m.community == "flush") return mib_.Respond(m);
              ++seen_;
              std::vector<std::pair<snmp::Oid, Datagram>> echo;
              if (m.type == snmp::pdu::kSet) {
                  for (const auto& b : m.bindings) {
                      Datagram v(b.value.whole.begin(), b.value.whole.end());
                      sets_.push_back({std::string(m.community), snmp::OidToText(b.oid), v});
                      mib_.objects[b.oid] = v;
                      echo.push_back({b.oid, v});
                  }
              }
              if (answered >= 0 && seen_ > answered) return std::vector<Datagram>{};
              if (m.type != snmp::pdu::kSet) return mib_.Respond(m);
              return std::vector<Datagram>{testsupport::Answer(m, echo)};
          }) {}

    void Put(const char* oid, Datagram value) {
        std::lock_guard lock(mu_);
        mib_.Set(oid, std::move(value));
    }
    // Waits until every datagram sent before has been handled: the agent answers in order,
    // so once this get is answered nothing older is pending. Counts as one request.
    bool Flush() {
        std::string cmd = "snmpget -v2c -c flush -t 2 -r 5 127.0.0.1:" + std::to_string(agent_.port()) +
                          " 1.3.6.1.2.1.1.2.0 >/dev/null 2>&1";
        int status = 0;
        testsupport::RunCommand(cmd, &status);
        return status == 0;
    }
    std::vector<SetSeen> Sets() {
        std::lock_guard lock(mu_);
        return sets_;
    }
    // Requests other than the flushes.
    int Requests() {
        std::lock_guard lock(mu_);
        return seen_;
    }
    int port() const { return agent_.port(); }

private:
    std::mutex mu_;
    FakeMib mib_;
    std::vector<SetSeen> sets_;
    int seen_ = 0;
    FakeAgent agent_;
};

Datagram IpValue(std::vector<uint8_t> bytes) {
    snmp::BerWriter w;
    w.AddOctets(bytes, snmp::tag::kIpAddress);
    return w.Take();
}
Datagram IntValue(uint8_t v) { return {snmp::tag::kInteger, 1, v}; }
const Datagram kSysObjectId{snmp::tag::kOid, 3, 0x2B, 6, 1};

class QntrapScripted : public ::testing::Test {
protected:
    void SetUp() override {
        if (!HaveNetSnmp()) GTEST_SKIP() << "net-snmp's snmpget is not installed";
    }
    // A printer that has the slot objects; `slot1` is the value element of slot 1.
    void Fill(ScriptedPrinter& p, Datagram slot1) {
        p.Put("1.3.6.1.2.1.1.2.0", kSysObjectId);
        p.Put(kSlot1, std::move(slot1));
        p.Put(kSlot2, IpValue({10, 20, 30, 40}));
        p.Put(kEnable1, IntValue(0));
        p.Put(kEnable2, IntValue(1));
    }
    qm::testing::TempRoot root_;
};

TEST_F(QntrapScripted, SlotWithoutContentIsEmptyAndGetsAddressThenSwitch) {
    ScriptedPrinter printer;
    Fill(printer, IpValue({}));
    ConfigureRoot(printer.port(), kSelf);
    EXPECT_EQ(QnConfigSetTrapIP("127.0.0.1"), 0);
    ASSERT_TRUE(printer.Flush());
    auto sets = printer.Sets();
    ASSERT_EQ(sets.size(), 2u);
    EXPECT_EQ(sets[0].community, "wixam");
    EXPECT_EQ(sets[0].oid, kSlot1);
    EXPECT_EQ(sets[0].value, IpValue({192, 0, 2, 77}));
    EXPECT_EQ(sets[1].community, "wixam");
    EXPECT_EQ(sets[1].oid, kEnable1);
    EXPECT_EQ(sets[1].value, IntValue(1));
}

// Values that are no address - too short, of another type, or the agent's "no such object" -
// are not taken for an empty slot: nothing is written over them.
TEST_F(QntrapScripted, ForeignValuesAreNeverOverwritten) {
    const std::vector<std::pair<const char*, Datagram>> cases = {
        {"two-byte address", IpValue({10, 1})},
        {"integer", IntValue(0)},
        {"counter", Datagram{snmp::tag::kCounter32, 1, 0}},
    };
    for (const auto& [what, value] : cases) {
        ScriptedPrinter printer;
        Fill(printer, value);
        ConfigureRoot(printer.port(), kSelf);
        EXPECT_EQ(QnConfigSetTrapIP("127.0.0.1"), 0) << what;
        ASSERT_TRUE(printer.Flush());
        EXPECT_TRUE(printer.Sets().empty()) << what;
    }
    ScriptedPrinter bare;  // answers the probe, has no slot objects at all
    bare.Put("1.3.6.1.2.1.1.2.0", kSysObjectId);
    ConfigureRoot(bare.port(), kSelf);
    EXPECT_EQ(QnConfigSetTrapIP("127.0.0.1"), 0);
    EXPECT_EQ(QnConfigReSetTrapIP("127.0.0.1"), 0);
    ASSERT_TRUE(bare.Flush());
    EXPECT_TRUE(bare.Sets().empty());
}

// A printer that goes quiet after telling its SNMP version: the reads time out, nothing is
// written, and the result is that of closing the channel.
TEST_F(QntrapScripted, SilentPrinterKeepsItsSlotsAndIsNoFailure) {
    ScriptedPrinter printer(/*answered=*/1);
    Fill(printer, IpValue({0, 0, 0, 0}));
    ConfigureRoot(printer.port(), kSelf);
    EXPECT_EQ(QnConfigSetTrapIP("127.0.0.1"), 0);
    EXPECT_EQ(QnConfigReSetTrapIP("127.0.0.1"), QNTRAP_ERR_CHANNEL);  // not even the probe now
    ASSERT_TRUE(printer.Flush());
    EXPECT_TRUE(printer.Sets().empty());

    // With the version fixed by the installation no probe is needed: silence from the first
    // datagram on is still no failure.
    ScriptedPrinter mute(/*answered=*/0);
    mute.Put("1.3.6.1.2.1.1.2.0", kSysObjectId);
    ConfigureRoot(mute.port(), kSelf, /*version=*/2);
    EXPECT_EQ(QnConfigSetTrapIP("127.0.0.1"), 0);
    EXPECT_EQ(QnConfigReSetTrapIP("127.0.0.1"), 0);
    ASSERT_TRUE(mute.Flush());
    EXPECT_GT(mute.Requests(), 0);
    EXPECT_TRUE(mute.Sets().empty());
}

// Without an address to register nothing at all is sent.
TEST_F(QntrapScripted, NoLocalAddressGivesMinus6BeforeAnySnmpTraffic) {
    ScriptedPrinter printer;
    Fill(printer, IpValue({0, 0, 0, 0}));

    ConfigureRoot(printer.port(), "printer.example");  // a setting that is no address
    EXPECT_EQ(QnConfigSetTrapIP("127.0.0.1"), QNTRAP_ERR_LOCAL_ADDRESS);
    EXPECT_EQ(QnConfigReSetTrapIP("127.0.0.1"), QNTRAP_ERR_LOCAL_ADDRESS);

    ConfigureRoot(printer.port(), "");
    qm::testing::Child child([] {
        const char name[] = "qntrap-nowhere-invalid";
        if (unshare(CLONE_NEWUTS) != 0 || sethostname(name, sizeof name - 1) != 0) return 77;
        int a = QnConfigSetTrapIP("127.0.0.1");
        int b = QnConfigReSetTrapIP("127.0.0.1");
        return a == QNTRAP_ERR_LOCAL_ADDRESS && b == QNTRAP_ERR_LOCAL_ADDRESS ? 0 : 1;
    });
    int rc = child.Wait(std::chrono::seconds(60));
    ASSERT_TRUE(printer.Flush());
    EXPECT_EQ(printer.Requests(), 0);
    if (rc == 77) GTEST_SKIP() << "no UTS namespace for the test (needs CAP_SYS_ADMIN)";
    EXPECT_EQ(rc, 0);
}

TEST(QntrapLocalAddress, SettingWinsAndIsChecked) {
    qm::testing::TempRoot root;
    ConfigureRoot(161, "192.0.2.5");
    LocalAddress a = DiscoverLocalAddress();
    EXPECT_EQ(a.address, "192.0.2.5");
    EXPECT_FALSE(a.loopback);
    for (const char* bad : {"192.0.2", "192.0.2.256", "0.0.0.0", " 192.0.2.5", "192.0.2.5.1"}) {
        ConfigureRoot(161, bad);
        EXPECT_EQ(DiscoverLocalAddress().address, "") << bad;
    }
}

TEST(QntrapExports, MissingPrinterAddressIsAChannelFailure) {
    qm::testing::TempRoot root;
    ConfigureRoot(161, kSelf);
    EXPECT_EQ(QnConfigSetTrapIP(nullptr), QNTRAP_ERR_CHANNEL);
    EXPECT_EQ(QnConfigReSetTrapIP(""), QNTRAP_ERR_CHANNEL);
    EXPECT_EQ(QnConfigSetTrapIP("not an address"), QNTRAP_ERR_CHANNEL);
}

}  // namespace
}  // namespace qm::trapdest::test
