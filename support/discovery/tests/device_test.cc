// Recognising printers from their answers: the follow-up steps driven against in-memory MIBs
// with real SNMPv1/v2c answer rules, and against answers no agent should give.
#include <gtest/gtest.h>

#include "QBAPI.h"
#include "device.h"
#include "mib_agent.h"

namespace qm::discovery {
namespace {

using testsupport::Ip;
using testsupport::Mib;

struct Played {
    Step end;
    int requests;
};

// Plays the device's questions against `mib` until it is done or dropped.
Played Drive(Device& device, const Mib& mib, snmp::SnmpVersion version) {
    int requests = 0;
    while (device.step() != Step::kDone && device.step() != Step::kDropped && requests < 100) {
        Ask ask = device.NextAsk();
        snmp::Request r;
        r.version = version;
        r.community = "tarlow";
        r.type = ask.pduType;
        r.requestId = 1000 + requests;
        for (const auto& oid : ask.oids) r.bindings.push_back({oid, {snmp::tag::kNull, 0}});
        std::vector<uint8_t> wire = snmp::EncodeRequest(r);
        snmp::Message request;
        EXPECT_EQ(snmp::DecodeMessage(wire, &request), snmp::BerStatus::kOk);
        std::vector<uint8_t> answerBytes = testsupport::Respond(mib, request);
        snmp::Message answer;
        EXPECT_EQ(snmp::DecodeMessage(answerBytes, &answer), snmp::BerStatus::kOk);
        device.Absorb(answer);
        ++requests;
    }
    return {device.step(), requests};
}

class Versions : public ::testing::TestWithParam<snmp::SnmpVersion> {};

TEST_P(Versions, PrinterMibPrinterWithPrivateArc) {
    Device d(Ip("127.0.0.11"));
    Played run = Drive(d, testsupport::PrinterMib(1, "0050C2A10001", true), GetParam());
    ASSERT_EQ(run.end, Step::kDone);
    EXPECT_EQ(d.DeviceType(), QB_DEVTYPE_PRINTER_PRIVATE);
    EXPECT_EQ(d.ResultText(), "127.0.0.11;;0050C2A10001;1");
}

TEST_P(Versions, PrinterMibWithoutPrivateArcAtTheEndOfTheMib) {
    // Nothing follows the probe's last column: v1 answers noSuchName for the whole request.
    Device d(Ip("10.0.0.5"));
    Played run = Drive(d, testsupport::PrinterMib(26, "00AABBCCDDEE", false), GetParam());
    ASSERT_EQ(run.end, Step::kDone);
    EXPECT_EQ(d.DeviceType(), QB_DEVTYPE_PRINTER_MIB);
    EXPECT_EQ(d.ResultText(), "10.0.0.5;;00AABBCCDDEE;1A");
}

TEST_P(Versions, HostResourcesPrinterFoundPastOtherDevices) {
    Mib mib;
    testsupport::SetOid(mib, "1.3.6.1.2.1.25.3.2.1.2.1", "1.3.6.1.2.1.25.3.1.3");  // processor
    testsupport::SetOid(mib, "1.3.6.1.2.1.25.3.2.1.2.2", "1.3.6.1.2.1.25.3.1.4");  // network
    testsupport::SetOid(mib, "1.3.6.1.2.1.25.3.2.1.2.7", "1.3.6.1.2.1.25.3.1.5");  // printer
    testsupport::SetOctets(mib, "1.3.6.1.2.1.2.2.1.6.1", {0x00, 0x11, 0x22, 0x33, 0x44, 0x55});
    Device d(Ip("10.0.0.6"));
    ASSERT_EQ(Drive(d, mib, GetParam()).end, Step::kDone);
    EXPECT_EQ(d.DeviceType(), QB_DEVTYPE_HOST_PRINTER);
    EXPECT_EQ(d.DeviceIndex(), 7u);
    EXPECT_EQ(d.Mac(), "001122334455");
}

TEST_P(Versions, AgentsThatAreNotPrintersAreDropped) {
    Mib host;
    testsupport::SetText(host, "1.3.6.1.2.1.1.1.0", "a router");
    testsupport::SetOid(host, "1.3.6.1.2.1.25.3.2.1.2.1", "1.3.6.1.2.1.25.3.1.3");
    testsupport::SetOid(host, "1.3.6.1.2.1.25.3.2.1.2.2", "1.3.6.1.2.1.25.3.1.4");
    testsupport::SetInteger(host, "1.3.6.1.2.1.25.3.2.1.3.1", 1);  // next column after the type
    testsupport::SetText(host, "1.3.6.1.4.1.40404.1.0", "private, but no printer");
    Device d(Ip("10.0.0.7"));
    EXPECT_EQ(Drive(d, host, GetParam()).end, Step::kDropped);

    Mib empty;
    testsupport::SetText(empty, "1.3.6.1.2.1.1.1.0", "nothing else");
    Device e(Ip("10.0.0.8"));
    EXPECT_EQ(Drive(e, empty, GetParam()).end, Step::kDropped);
}

TEST_P(Versions, MacComesFromTheInterfaceThatCarriesTheAddress) {
    // As recorded from real printers: ipAddrTable names the interface of each address; the
    // first interface is not necessarily that one.
    Mib mib = testsupport::PrinterMib(1, "0000000000AA", false);
    testsupport::SetOctets(mib, "1.3.6.1.2.1.2.2.1.6.1", {0x02, 0, 0, 0, 0, 0x01});
    testsupport::SetOctets(mib, "1.3.6.1.2.1.2.2.1.6.2", {0x24, 0x31, 0x84, 0xC8, 0x46, 0x6A});
    testsupport::SetInteger(mib, "1.3.6.1.2.1.4.20.1.2.127.0.0.1", 1);
    testsupport::SetInteger(mib, "1.3.6.1.2.1.4.20.1.2.192.168.144.202", 2);
    Device d(Ip("192.168.144.202"));
    ASSERT_EQ(Drive(d, mib, GetParam()).end, Step::kDone);
    EXPECT_EQ(d.Mac(), "243184C8466A");
}

TEST_P(Versions, EmptyFirstInterfaceIsWalkedPast) {
    Mib mib = testsupport::PrinterMib(1, "", false);  // interface 1 without an address
    testsupport::SetOctets(mib, "1.3.6.1.2.1.2.2.1.6.2", {0, 0, 0, 0, 0, 0});
    testsupport::SetOctets(mib, "1.3.6.1.2.1.2.2.1.6.3", {0x00, 0x20, 0x6B, 0x67, 0xEF, 0x7C});
    Device d(Ip("172.16.1.253"));
    ASSERT_EQ(Drive(d, mib, GetParam()).end, Step::kDone);
    EXPECT_EQ(d.Mac(), "00206B67EF7C");
}

INSTANTIATE_TEST_SUITE_P(Snmp, Versions, ::testing::Values(snmp::SnmpVersion::kV1, snmp::SnmpVersion::kV2c),
                         [](const auto& info) { return info.param == snmp::SnmpVersion::kV1 ? "v1" : "v2c"; });

TEST(Device, PrinterThatFallsSilentIsReportedWithWhatIsKnown) {
    Mib mib = testsupport::PrinterMib(2, "0050C2A10009", true);
    Device d(Ip("127.0.0.20"));
    snmp::Request r;
    r.community = "tarlow";
    r.type = snmp::pdu::kGetNext;
    for (const auto& oid : d.NextAsk().oids) r.bindings.push_back({oid, {snmp::tag::kNull, 0}});
    std::vector<uint8_t> wire = snmp::EncodeRequest(r);
    snmp::Message request, answer;
    ASSERT_EQ(snmp::DecodeMessage(wire, &request), snmp::BerStatus::kOk);
    std::vector<uint8_t> bytes = testsupport::Respond(mib, request);
    ASSERT_EQ(snmp::DecodeMessage(bytes, &answer), snmp::BerStatus::kOk);
    d.Absorb(answer);
    ASSERT_EQ(d.step(), Step::kIfIndex);
    d.GiveUp();
    ASSERT_EQ(d.step(), Step::kDone);
    EXPECT_EQ(d.ResultText(), "127.0.0.20;;0050C2A10009;2");

    Device silent(Ip("127.0.0.21"));
    silent.GiveUp();
    EXPECT_EQ(silent.step(), Step::kDropped);
}

TEST(Device, AnswersThatDoNotFitTheQuestionDropTheDevice) {
    Mib mib = testsupport::PrinterMib(1, "0050C2A10001", true);
    snmp::Message answer;
    answer.version = snmp::SnmpVersion::kV1;
    answer.type = snmp::pdu::kResponse;

    Device fewer(Ip("10.0.0.1"));
    answer.bindings.resize(2);  // the probe asked four columns
    fewer.Absorb(answer);
    EXPECT_EQ(fewer.step(), Step::kDropped);

    Device genErr(Ip("10.0.0.2"));
    answer.bindings.resize(4);
    answer.errorStatus = snmp::errstat::kGenErr;
    genErr.Absorb(answer);
    EXPECT_EQ(genErr.step(), Step::kDropped);

    Device badIndex(Ip("10.0.0.3"));
    answer.errorStatus = snmp::errstat::kNoSuchName;
    answer.errorIndex = 9;
    badIndex.Absorb(answer);
    EXPECT_EQ(badIndex.step(), Step::kDropped);

    // noSuchName for every column in turn leaves nothing to ask.
    Device none(Ip("10.0.0.4"));
    answer.errorIndex = 1;
    for (int k = 0; k < 4 && none.step() == Step::kProbe; ++k) none.Absorb(answer);
    EXPECT_EQ(none.step(), Step::kDropped);
}

TEST(Device, ResultFitsTheReportedSize) {
    Mib mib = testsupport::PrinterMib(0xFFFFFFFFu, "FFFFFFFFFFFE", true);
    Device d(Ip("255.255.255.254"));
    ASSERT_EQ(Drive(d, mib, snmp::SnmpVersion::kV2c).end, Step::kDone);
    EXPECT_EQ(d.ResultText(), "255.255.255.254;;FFFFFFFFFFFE;FFFFFFFF");
    EXPECT_LT(d.ResultText().size(), 64u);
}

}  // namespace
}  // namespace qm::discovery
