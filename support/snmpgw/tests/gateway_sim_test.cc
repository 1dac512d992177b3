// Gateway against real SNMP agents: the simulated printers and the recorded real printers,
// served by snmpsim on loopback, cross-checked with net-snmp's own tools.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <sstream>

#include "format.h"
#include "gateway_client.h"
#include "qm/snmp/ber.h"
#include "qmmibgw.h"
#include "qm/testing/testing.h"
#include "simulator.h"

using namespace qm::testsupport;
namespace snmp = qm::snmp;
namespace fs = std::filesystem;

namespace {

using Walk = std::vector<std::pair<std::string, std::string>>;  // (OID, normalised value)

std::string SharedPrinters() {
    const char* env = std::getenv("QM_SHARED_PRINTERS");
    return env ? env : QM_REAL_PRINTERS_DIR;
}

std::vector<std::string> OurPrinters() {
    std::vector<std::string> files;
    for (const auto& e : fs::directory_iterator(QM_PRINTERS_DIR)) {
        if (e.path().extension() == ".snmprec") files.push_back(e.path().string());
    }
    std::sort(files.begin(), files.end());
    return files;
}

// Value text both sides agree on: numbers in decimal, octet strings as contiguous upper-case
// hex, OIDs dotted, addresses dotted.
std::string Normalise(const Bytes& element) {
    snmp::BerElement e;
    if (snmp::ReadElement(element, &e) != snmp::BerStatus::kOk) return "?";
    int64_t s = 0;
    uint64_t u = 0;
    char buf[8];
    std::string out;
    switch (e.tag) {
        case snmp::tag::kInteger:
            snmp::DecodeInteger(e.content, &s);
            return std::to_string(s);
        case snmp::tag::kOctetString:
            for (uint8_t c : e.content) {
                std::snprintf(buf, sizeof buf, "%02X", c);
                out += buf;
            }
            return out;
        case snmp::tag::kOid: {
            snmp::Oid oid;
            snmp::DecodeOid(e.content, &oid);
            return snmp::OidToText(oid);
        }
        case snmp::tag::kIpAddress:
            return std::to_string(e.content[0]) + "." + std::to_string(e.content[1]) + "." +
                   std::to_string(e.content[2]) + "." + std::to_string(e.content[3]);
        default:
            snmp::DecodeUnsigned(e.content, &u);
            return std::to_string(u);
    }
}

// net-snmp's walk of the same subtree, in the same normal form.
Walk NetSnmpWalk(const std::string& tool, const std::string& version, const std::string& agent,
                 const std::string& oid) {
    std::string cmd = tool + " -v" + version + " -c tarlow -t 2 -r 1 -On -OQ -Oe -Ot -OU -Ox -m '' " +
                      agent + " " + oid + " 2>/dev/null";
    std::istringstream in(RunCommand(cmd));
    Walk walk;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line[0] == '.') {
            size_t eq = line.find(" = ");
            if (eq == std::string::npos) continue;
            walk.emplace_back(line.substr(1, eq - 1), line.substr(eq + 3));
        } else if (line.rfind("End of MIB", 0) == 0) {
            continue;  // snmpwalk -v1 notes the end of the agent's MIB on a line of its own
        } else if (!walk.empty()) {
            walk.back().second += line;  // continuation of a long hex string
        }
    }
    Walk clean;
    for (auto& [o, v] : walk) {
        if (v.find("No more variables") != std::string::npos || v.find("No Such") != std::string::npos) continue;
        std::string n;
        for (char c : v) {
            if (c != '"' && c != ' ' && c != '\n') n += c;
        }
        if (!n.empty() && n[0] == '.') n.erase(0, 1);
        clean.emplace_back(o, n);
    }
    return clean;
}

Walk GatewayWalk(GatewayClient& gw, const std::string& oid, int number) {
    Bytes response;
    int rc = gw.Ask(5, {oid}, &response, number);
    EXPECT_EQ(rc, MIB_OK) << oid << " error " << MIBGetErrorNo(gw.h);
    std::vector<std::pair<std::string, Bytes>> bindings;
    EXPECT_EQ(gw.Bindings(response, &bindings), MIB_OK);
    Walk walk;
    for (const auto& [o, v] : bindings) walk.emplace_back(o, Normalise(v));
    return walk;
}


// Kind-5 walks of the agents serving `files` equal net-snmp's walks binding for binding, on
// SNMPv2c (get-bulk) and SNMPv1 (get-next).
void ExpectWalksMatchNetSnmp(const std::vector<std::string>& files, int first) {
    SimulatedPrinters sim(files, first);
    if (!sim.ok()) {
        if (!HaveProgram("snmpsimd")) GTEST_SKIP() << sim.why();
        FAIL() << sim.why();
    }
    const std::vector<std::string> subtrees = {
        "1.3.6.1.2.1.43.18",        // alerts
        "1.3.6.1.2.1.43.10.2",      // markers and counters
        "1.3.6.1.2.1.43.11.1.1.9",  // supply levels
        "1.3.6.1.2.1.43.11",        // supplies
        "1.3.6.1.2.1.25.2.3.1.3",   // storage descriptions
        "1.3.6.1.2.1.2.2",          // interfaces
        "1.3.6.1.4.1.40404",        // private objects
        "1.3.6.1"};                 // everything
    for (size_t k = 0; k < files.size(); ++k) {
        std::string agent = sim.address(k) + ":" + std::to_string(sim.port());
        SCOPED_TRACE(files[k]);
        GatewayClient v2;
        ASSERT_EQ(v2.Connect(sim.address(k).c_str(), sim.port(), 0, 2000, 1), MIB_OK);
        EXPECT_EQ(v2.channel[3], 1) << "snmpsim speaks SNMPv2c";
        GatewayClient v1;
        ASSERT_EQ(v1.Connect(sim.address(k).c_str(), sim.port(), 1, 2000, 1), MIB_OK);
        for (const auto& oid : subtrees) {
            SCOPED_TRACE(oid);
            Walk expected = NetSnmpWalk("snmpbulkwalk", "2c", agent, oid);
            Walk got = GatewayWalk(v2, oid, 37);
            EXPECT_EQ(got, expected);
            if (oid == "1.3.6.1") {
                EXPECT_GT(got.size(), 100u);
                EXPECT_EQ(GatewayWalk(v2, oid, 1), expected) << "with the default repetitions";
            } else {
                EXPECT_EQ(GatewayWalk(v1, oid, 1), NetSnmpWalk("snmpwalk", "1", agent, oid));
            }
        }
    }
}

}  // namespace

TEST(SimulatedPrinters, WalksMatchNetSnmp) {
    if (!HaveProgram("snmpbulkwalk")) GTEST_SKIP() << "net-snmp tools missing (Debian package snmp)";
    std::vector<std::string> files = OurPrinters();
    ASSERT_GE(files.size(), 5u);
    ExpectWalksMatchNetSnmp(files, 201);
}

TEST(RecordedPrinters, WalksMatchNetSnmp) {
    if (!HaveProgram("snmpbulkwalk")) GTEST_SKIP() << "net-snmp tools missing (Debian package snmp)";
    std::vector<std::string> files;
    for (const char* name : {"sharp.snmprec", "konica.snmprec"}) {
        std::string f = SharedPrinters() + "/" + name;
        if (!fs::exists(f)) GTEST_SKIP() << "no recording " << f;
        files.push_back(f);
    }
    ExpectWalksMatchNetSnmp(files, 206);
}

// Get, get-next, set and read-back, a silent community, and the command-line tool, on two
// simulated printers.
TEST(SimulatedPrinters, GetSetAndTool) {
    std::vector<std::string> all = OurPrinters();
    ASSERT_GE(all.size(), 5u);
    SimulatedPrinters sim({all[0], all[3]}, 211);  // the mono laser and the printer with alerts
    if (!sim.ok()) {
        if (!HaveProgram("snmpsimd")) GTEST_SKIP() << sim.why();
        FAIL() << sim.why();
    }
    std::string mono = sim.address(0);
    GatewayClient gw;
    ASSERT_EQ(gw.Connect(mono.c_str(), sim.port(), 0, 2000, 1), MIB_OK);

    // Get of several OIDs in one request, answers in request order.
    Bytes response;
    ASSERT_EQ(gw.Ask(0, {"1.3.6.1.4.1.40404.1.1.3.1.4.4.0", "1.3.6.1.2.1.43.10.2.1.2.1.1", "1.3.6.1.2.1.1.5.0"},
                     &response, 37),
              MIB_OK);
    std::vector<std::pair<std::string, Bytes>> b;
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    ASSERT_EQ(b.size(), 3u);
    EXPECT_EQ(qm::snmptool::FormatValue(b[0].second), "STRING: \"LX40-Reception\"");
    EXPECT_EQ(qm::snmptool::FormatValue(b[1].second), "INTEGER: 4");  // electrophotographic laser
    EXPECT_EQ(b[2].first, "1.3.6.1.2.1.1.5.0");

    // Get-next returns the following object with its own OID.
    ASSERT_EQ(gw.Ask(1, {"1.3.6.1.2.1.43.10.2.1.4.1"}, &response), MIB_OK);
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].first, "1.3.6.1.2.1.43.10.2.1.4.1.1");
    EXPECT_EQ(qm::snmptool::FormatValue(b[0].second), "Counter32: 152340");

    // Set of a trap destination through the write community, read back through the read one.
    const std::string dest = "1.3.6.1.4.1.40404.1.1.3.1.2.8.0";
    ASSERT_EQ(gw.Set(dest, MIB_BER_IPADDRESS, "192.168.7.9"), MIB_OK);
    ASSERT_EQ(gw.Receive(&response), MIB_OK) << "the agent accepts the set";
    ASSERT_EQ(gw.Ask(5, {dest}, &response), MIB_OK);  // a kind-5 read of a scalar, as the trap library does
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].second, (Bytes{0x40, 0x04, 192, 168, 7, 9}));
    ASSERT_EQ(gw.Set("1.3.6.1.4.1.40404.1.1.3.1.2.10.0", MIB_BER_INTEGER, "1"), MIB_OK);
    ASSERT_EQ(gw.Receive(&response), MIB_OK);

    // A read-only object refuses the set (snmpsim says so with an exception value) and keeps
    // its value.
    ASSERT_EQ(gw.Set("1.3.6.1.2.1.1.5.0", MIB_BER_OCTET_STRING, "renamed"), MIB_OK);
    ASSERT_EQ(gw.Receive(&response), MIB_OK);
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].second, (Bytes{0x81, 0x00}));
    ASSERT_EQ(gw.Ask(0, {"1.3.6.1.2.1.1.5.0"}, &response), MIB_OK);
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    EXPECT_EQ(qm::snmptool::FormatValue(b[0].second), "STRING: \"mono-laser\"");

    // An agent that does not know the community stays silent: -122 within the time-out.
    GatewayClient quiet;
    ASSERT_EQ(quiet.Connect(mono.c_str(), sim.port(), 2, 300, 0), MIB_OK);
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(quiet.Ask(0, {"1.3.6.1.2.1.1.1.0"}, &response, 1, "nobody-knows-me"), MIB_ERR_FAILED);
    EXPECT_EQ(MIBGetErrorNo(quiet.h), MIB_ERR_NO_ANSWER);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(1500));

    // The tool over the same gateway.
    std::string tool = qm::testing::BuildBinFolder() + "/qmsnmp";
    std::string alerts = sim.address(1) + ":" + std::to_string(sim.port());
    int status = 0;
    std::string out = RunCommand(tool + " walk " + alerts + " 1.3.6.1.2.1.43.18.1.1.2", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out,
              "1.3.6.1.2.1.43.18.1.1.2.1.3 = INTEGER: 3\n"
              "1.3.6.1.2.1.43.18.1.1.2.1.7 = INTEGER: 4\n"
              "1.3.6.1.2.1.43.18.1.1.2.1.9 = INTEGER: 3\n"
              "1.3.6.1.2.1.43.18.1.1.2.1.12 = INTEGER: 1\n");
    out = RunCommand(tool + " -q get " + alerts + " 1.3.6.1.2.1.2.2.1.6.1 1.3.6.1.2.1.25.2.3.1.3.2", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "Hex-STRING: 00 50 C2 A1 00 04\nSTRING: \"Hard Disk\"\n");
    out = RunCommand(tool + " set " + alerts + " 1.3.6.1.4.1.40404.1.1.3.1.2.9.0 i 0", &status);
    EXPECT_EQ(status, 0);
    EXPECT_EQ(out, "1.3.6.1.4.1.40404.1.1.3.1.2.9.0 = INTEGER: 0\n");
    out = RunCommand(tool + " -t 200 -r 0 -c wrong get " + alerts + " 1.3.6.1.2.1.1.1.0 2>&1", &status);
    EXPECT_EQ(status, 1);
    EXPECT_NE(out.find("no answer (-122)"), std::string::npos) << out;
    out = RunCommand(tool + " --help", &status);
    EXPECT_EQ(status, 0);
    EXPECT_NE(out.find("usage: qmsnmp"), std::string::npos);
    RunCommand(tool + " frobnicate " + alerts + " 2>/dev/null", &status);
    EXPECT_EQ(status, 2);
}

// Gets from an old printer whose agent speaks SNMPv1 only and sends at most 484 bytes.
TEST(QuirkPrinters, GetsFromAnOldSnmpV1PrinterWithSmallMessages) {
    SimulatedPrinters sim({std::string(QM_PRINTERS_DIR) + "/quirks/6-old-v1-laser.snmprec"}, 221);
    if (!sim.ok()) {
        if (!HaveProgram("snmpsimd")) GTEST_SKIP() << sim.why();
        FAIL() << sim.why();
    }
    GatewayClient gw;
    // The SNMPv2c question goes unanswered, so the probe settles on SNMPv1.
    ASSERT_EQ(gw.Connect(sim.address(0).c_str(), sim.port(), 0, 1000, 2), MIB_OK);
    EXPECT_EQ(gw.channel[3], 0) << "SNMPv1";

    // One missing object (sysLocation) no longer costs the others their values: it reads as
    // noSuchObject in its place, as SNMPv2c agents answer it.
    Bytes response;
    ASSERT_EQ(gw.Ask(0, {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.6.0", "1.3.6.1.2.1.25.3.2.1.3.1", "1.3.6.1.2.1.1.4.0"},
                     &response),
              MIB_OK)
        << MIBGetErrorNo(gw.h);
    std::vector<std::pair<std::string, Bytes>> b;
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    ASSERT_EQ(b.size(), 4u);
    EXPECT_EQ(b[0].first, "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(qm::snmptool::FormatValue(b[0].second), "STRING: \"Quinsward LX-10 Monochrome Laser\"");
    EXPECT_EQ(b[1].first, "1.3.6.1.2.1.1.6.0");
    EXPECT_EQ(b[1].second, (Bytes{0x80, 0x00}));
    EXPECT_EQ(b[2].first, "1.3.6.1.2.1.25.3.2.1.3.1");
    EXPECT_EQ(b[2].second.size(), 2u + 24u) << "the NUL-padded description comes as the agent sent it";
    EXPECT_EQ(b[3].second, (Bytes{0x80, 0x00}));
    // A get of the missing object alone answers the same way.
    ASSERT_EQ(gw.Ask(0, {"1.3.6.1.2.1.1.6.0"}, &response), MIB_OK);
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].second, (Bytes{0x80, 0x00}));

    // Twenty paper names do not fit one 484-byte answer: the agent says tooBig and the gateway
    // asks in parts, answering in the order asked.
    const char* names[] = {"Letter", "Legal", "A4",        "A3",    "A5",    "B4",    "B5",
                           "Executive", "Ledger", "Statement", "Folio", "Oficio", "Env10", "EnvDL",
                           "EnvC5", "EnvB5", "Monarch", "Postcard", "A6", "Custom"};
    std::vector<std::string> oids;
    for (int k = 20; k >= 1; --k) oids.push_back("1.3.6.1.4.1.40404.1.2.2.6.1.1.2.1." + std::to_string(k));
    ASSERT_EQ(gw.Ask(0, oids, &response), MIB_OK) << MIBGetErrorNo(gw.h);
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    ASSERT_EQ(b.size(), 20u);
    for (size_t i = 0; i < 20; ++i) {
        SCOPED_TRACE(i);
        EXPECT_EQ(b[i].first, oids[i]);
        ASSERT_EQ(b[i].second.size(), 12u);
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(b[i].second.data()) + 2), names[19 - i]);
    }
    // Get-next keeps SNMPv1's own answer at the end of the agent's MIB.
    EXPECT_EQ(gw.Ask(1, {"1.3.6.1.4.1.40404.9"}, &response), MIB_ERR_AGENT);
}

// The other quirks as the gateway reads them: Printer-MIB rows under device index 2, and an
// alert table past 64 KB read whole.
TEST(QuirkPrinters, DeviceIndexTwoAndABigAlertTable) {
    if (!HaveProgram("snmpbulkwalk")) GTEST_SKIP() << "net-snmp tools missing (Debian package snmp)";
    const std::string dir = std::string(QM_PRINTERS_DIR) + "/quirks/";
    SimulatedPrinters sim({dir + "7-mixed-colour-index2.snmprec", dir + "8-big-alert-table.snmprec"}, 223);
    if (!sim.ok()) {
        if (!HaveProgram("snmpsimd")) GTEST_SKIP() << sim.why();
        FAIL() << sim.why();
    }
    GatewayClient mixed;
    ASSERT_EQ(mixed.Connect(sim.address(0).c_str(), sim.port(), 0, 2000, 1), MIB_OK);
    Walk colorants = GatewayWalk(mixed, "1.3.6.1.2.1.43.10.2.1.6", 37);
    EXPECT_EQ(colorants, (Walk{{"1.3.6.1.2.1.43.10.2.1.6.2.1", "1"}, {"1.3.6.1.2.1.43.10.2.1.6.2.2", "4"}}));

    GatewayClient busy;
    ASSERT_EQ(busy.Connect(sim.address(1).c_str(), sim.port(), 0, 2000, 1), MIB_OK);
    std::string agent = sim.address(1) + ":" + std::to_string(sim.port());
    Bytes response;
    ASSERT_EQ(busy.Ask(5, {"1.3.6.1.2.1.43.18"}, &response, 37), MIB_OK);
    EXPECT_GT(response.size(), 65536u);
    EXPECT_EQ(GatewayWalk(busy, "1.3.6.1.2.1.43.18", 37), NetSnmpWalk("snmpbulkwalk", "2c", agent, "1.3.6.1.2.1.43.18"));
}
