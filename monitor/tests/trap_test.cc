// Trap recognition: real traps from net-snmp's snmptrap are accepted, anything else refused,
// and no cut or corrupted datagram is read past its end.
#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "qm/snmp/ber.h"
#include "trap.h"
#include "../../support/snmpgw/tests/simulator.h"

namespace {

using namespace qm::monitor;
namespace snmp = qm::snmp;

std::vector<uint8_t> Trap(int version, uint8_t pduTag) {
    snmp::BerWriter w;
    size_t msg = w.Open(snmp::tag::kSequence);
    w.AddInteger(version);
    w.AddText("public");
    size_t pdu = w.Open(pduTag);
    w.AddOidText("1.3.6.1.4.1.40404");
    w.AddOctets(std::vector<uint8_t>{127, 0, 0, 5}, snmp::tag::kIpAddress);
    w.AddInteger(6);
    w.AddInteger(1);
    w.AddUnsigned(1234, snmp::tag::kTimeTicks);
    size_t vbl = w.Open(snmp::tag::kSequence);
    w.Close(vbl);
    w.Close(pdu);
    w.Close(msg);
    return w.Take();
}

TEST(Trap, RecognisesVersionOneTrapsOnly) {
    auto good = Trap(0, 0xA4);
    EXPECT_TRUE(IsV1Trap(good));
    EXPECT_FALSE(IsV1Trap(Trap(1, 0xA4)));  // a version 2c message
    EXPECT_FALSE(IsV1Trap(Trap(0, 0xA7)));  // a v2 trap PDU
    EXPECT_FALSE(IsV1Trap({}));
    for (size_t n = 0; n < good.size(); ++n) {
        EXPECT_FALSE(IsV1Trap(std::span<const uint8_t>(good.data(), n))) << n;
    }
    // Random damage: refused or accepted, never read outside (the sanitizer build checks).
    std::mt19937 rng(7);
    for (int i = 0; i < 20000; ++i) {
        auto bad = good;
        bad[rng() % bad.size()] = static_cast<uint8_t>(rng());
        std::vector<uint8_t> exact(bad.begin(), bad.begin() + 1 + rng() % bad.size());
        IsV1Trap(exact);
    }
}

TEST(Trap, SnmptrapDatagramArrivesAndIsRecognised) {
    if (!qm::testsupport::HaveProgram("snmptrap")) GTEST_SKIP() << "snmptrap not installed";
    TrapSocket sock;
    std::string error;
    int port = qm::testsupport::FreeUdpPort();
    ASSERT_EQ(sock.Open(port, &error), 0) << error;
    int status = 0;
    qm::testsupport::RunCommand("snmptrap -v1 -c public 127.0.0.1:" + std::to_string(port) +
                                    " 1.3.6.1.4.1.40404 127.0.0.5 6 1 '' 2>&1",
                                &status);
    ASSERT_EQ(status, 0);
    uint8_t buf[1023];
    size_t size = 0;
    std::string sender;
    ASSERT_EQ(sock.Receive(buf, &size, &sender), 0);
    EXPECT_EQ(sender, "127.0.0.1");
    EXPECT_TRUE(IsV1Trap(std::span<const uint8_t>(buf, size)));

    qm::testsupport::RunCommand("snmptrap -v2c -c public 127.0.0.1:" + std::to_string(port) +
                                " '' 1.3.6.1.4.1.40404.1 2>&1");
    ASSERT_EQ(sock.Receive(buf, &size, &sender), 0);
    EXPECT_FALSE(IsV1Trap(std::span<const uint8_t>(buf, size)));

    // Shutdown ends a blocked receive for good.
    std::thread stopper([&] { sock.Shutdown(); });
    EXPECT_EQ(sock.Receive(buf, &size, &sender), -1);
    stopper.join();
}

}  // namespace
