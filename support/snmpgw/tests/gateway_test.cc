// Gateway tests against a scripted agent: channel records, buffer sizing, time-outs, answer
// matching, walks and value encoding.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <future>
#include <mutex>

#include "fake_agent.h"
#include "gateway_client.h"
#include "qm/platform/registry.h"
#include "qm/snmp/message.h"
#include "qm/testing/testing.h"
#include "qmmibgw.h"

using namespace qm::testsupport;
namespace snmp = qm::snmp;
using Clock = std::chrono::steady_clock;

namespace {

Datagram Text(const char* s) {
    snmp::BerWriter w;
    w.AddText(s);
    return w.Take();
}
Datagram Int(int64_t v) {
    snmp::BerWriter w;
    w.AddInteger(v);
    return w.Take();
}

// A small printer: a scalar, a two-row table of two columns, and one object after it.
FakeMib PrinterMib() {
    FakeMib mib;
    mib.Set("1.3.6.1.2.1.1.1.0", Text("fake printer"));
    mib.Set("1.3.6.1.2.1.1.2.0", Datagram{0x06, 0x03, 0x2B, 0x06, 0x01});
    mib.Set("1.3.6.1.2.1.43.18.1.1.2.1.1", Int(3));
    mib.Set("1.3.6.1.2.1.43.18.1.1.2.1.2", Int(4));
    mib.Set("1.3.6.1.2.1.43.18.1.1.3.1.1", Int(5));
    mib.Set("1.3.6.1.2.1.43.18.1.1.3.1.2", Int(6));
    mib.Set("1.3.6.1.2.1.43.19.0", Int(99));
    return mib;
}

std::vector<std::string> Oids(const std::vector<std::pair<std::string, Bytes>>& bindings) {
    std::vector<std::string> out;
    for (const auto& b : bindings) out.push_back(b.first);
    return out;
}

}  // namespace

TEST(GatewayChannel, RecordFitsOnlyItsDevice) {
    FakeMib mib = PrinterMib();
    FakeAgent agent([&](const snmp::Message& m, auto) { return mib.Respond(m); });
    GatewayClient gw;
    ASSERT_EQ(gw.Connect("127.0.0.1", agent.port(), 0), MIB_OK);  // probed: v2c answers
    EXPECT_EQ(gw.channel[0], 0x51);
    EXPECT_EQ(gw.channel[3], 1);  // SNMPv2c
    EXPECT_EQ(MIBClose(gw.h), MIB_OK);

    EXPECT_EQ(MIBOpen(gw.h, "127.0.0.2", "", gw.channel), MIB_ERR_STALE_CHANNEL);
    unsigned char damaged[MIB_CHANNEL_SIZE];
    std::memcpy(damaged, gw.channel, sizeof damaged);
    damaged[7] ^= 1;
    EXPECT_EQ(MIBOpen(gw.h, "127.0.0.1", "", damaged), MIB_ERR_STALE_CHANNEL);
    unsigned char zero[MIB_CHANNEL_SIZE] = {};
    EXPECT_EQ(MIBOpen(gw.h, "127.0.0.1", "", zero), MIB_ERR_STALE_CHANNEL);
    // The agent port of the installation changed since the record was made.
    MIBSetOption(gw.h, MIB_OPT_PORT, agent.port() == 65535 ? 1 : agent.port() + 1);
    EXPECT_EQ(MIBOpen(gw.h, "127.0.0.1", "", gw.channel), MIB_ERR_STALE_CHANNEL);
    MIBSetOption(gw.h, MIB_OPT_PORT, agent.port());
    EXPECT_EQ(MIBOpen(gw.h, "127.0.0.1", "", gw.channel), MIB_OK);

    // IPX cannot be reached on this platform; refused, not crashed.
    unsigned char rec[MIB_CHANNEL_SIZE];
    EXPECT_EQ(MIBGetChannelInfo(gw.h, "", "00000001:0050C2A10001", rec), MIB_ERR_IPX);
    EXPECT_EQ(MIBGetChannelInfo(gw.h, nullptr, "00000001:0050C2A10001", rec), MIB_ERR_IPX);
    EXPECT_EQ(MIBOpen(gw.h, "", "00000001:0050C2A10001", gw.channel), MIB_ERR_IPX);
    EXPECT_EQ(MIBGetChannelInfo(gw.h, "printer.example", "", rec), MIB_ERR_PARAM);
    EXPECT_EQ(MIBGetChannelInfo(gw.h, "127.0.0.1", "", nullptr), MIB_ERR_PARAM);
    EXPECT_EQ(MIBGetChannelInfo(9999, "127.0.0.1", "", rec), MIB_ERR_HANDLE);
}

TEST(GatewayChannel, ProbeFallsBackToVersion1) {
    FakeMib mib = PrinterMib();
    FakeAgent agent([&](const snmp::Message& m, auto) {
        return m.version == snmp::SnmpVersion::kV1 ? mib.Respond(m) : std::vector<Datagram>{};
    });
    GatewayClient gw;
    ASSERT_EQ(gw.Connect("127.0.0.1", agent.port(), 0, 200, 0), MIB_OK);
    EXPECT_EQ(gw.channel[3], 0);
    // A kind-5 walk on v1 runs on get-next and ends on noSuchName at the end of the MIB.
    Bytes response;
    ASSERT_EQ(gw.Ask(5, {"1.3.6.1.2.1.43"}, &response), MIB_OK);
    std::vector<std::pair<std::string, Bytes>> b;
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    EXPECT_EQ(Oids(b), (std::vector<std::string>{"1.3.6.1.2.1.43.18.1.1.2.1.1", "1.3.6.1.2.1.43.18.1.1.2.1.2",
                                                 "1.3.6.1.2.1.43.18.1.1.3.1.1", "1.3.6.1.2.1.43.18.1.1.3.1.2",
                                                 "1.3.6.1.2.1.43.19.0"}));
}

TEST(GatewayNoAnswer, SilentDeviceGives122WithinTheTimeOut) {
    FakeAgent agent([](const snmp::Message&, auto) { return std::vector<Datagram>{}; });
    GatewayClient gw;
    // Probing a silent device fails the same way.
    auto t0 = Clock::now();
    EXPECT_EQ(gw.Connect("127.0.0.1", agent.port(), 0, 150, 1), MIB_ERR_FAILED);
    EXPECT_EQ(MIBGetErrorNo(gw.h), MIB_ERR_NO_ANSWER);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(2000));

    ASSERT_EQ(gw.Connect("127.0.0.1", agent.port(), 2, 150, 1), MIB_OK);  // no traffic with a fixed version
    Bytes response;
    t0 = Clock::now();
    EXPECT_EQ(gw.Ask(0, {"1.3.6.1.2.1.1.1.0"}, &response), MIB_ERR_FAILED);
    auto took = Clock::now() - t0;
    EXPECT_EQ(MIBGetErrorNo(gw.h), MIB_ERR_NO_ANSWER);
    EXPECT_GE(took, std::chrono::milliseconds(280));  // two tries of 150 ms
    EXPECT_LT(took, std::chrono::milliseconds(1500));
    EXPECT_EQ(agent.requests(), 4 + 2);  // probe v2c+v1 with one retry each, then the request twice
    // A walk of a silent device fails alike.
    EXPECT_EQ(gw.Ask(5, {"1.3.6.1.2.1.43.18"}, &response), MIB_ERR_FAILED);
    EXPECT_EQ(MIBGetErrorNo(gw.h), MIB_ERR_NO_ANSWER);
}

TEST(GatewayNoAnswer, ClosedPortIsReportedAtOnce) {
    int port = 0;
    { FakeAgent gone([](const snmp::Message&, auto) { return std::vector<Datagram>{}; }); port = gone.port(); }
    GatewayClient gw;
    ASSERT_EQ(gw.Connect("127.0.0.1", port, 2, 2000, 3), MIB_OK);
    Bytes response;
    auto t0 = Clock::now();
    EXPECT_EQ(gw.Ask(0, {"1.3.6.1.2.1.1.1.0"}, &response), MIB_ERR_FAILED);
    EXPECT_EQ(MIBGetErrorNo(gw.h), MIB_ERR_NO_ANSWER);
    EXPECT_LT(Clock::now() - t0, std::chrono::milliseconds(1000));
}

TEST(GatewayAnswers, LateForeignAndGarbageDatagramsAreIgnored) {
    FakeMib mib = PrinterMib();
    FakeAgent agent([&](const snmp::Message& m, auto) {
        std::vector<Datagram> out;
        out.push_back(Answer(m, {{m.bindings[0].oid, Text("stale")}}, 0, 0, m.requestId - 1));  // late answer
        snmp::Message other = m;
        other.community = "public";
        out.push_back(Answer(other, {{m.bindings[0].oid, Text("foreign")}}));
        out.push_back(Datagram{0x30, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x02});  // garbage
        for (auto& d : mib.Respond(m)) out.push_back(std::move(d));
        return out;
    });
    GatewayClient gw;
    ASSERT_EQ(gw.Connect("127.0.0.1", agent.port(), 2), MIB_OK);
    Bytes response;
    ASSERT_EQ(gw.Ask(0, {"1.3.6.1.2.1.1.1.0"}, &response), MIB_OK);
    std::vector<std::pair<std::string, Bytes>> b;
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].second, Text("fake printer"));
}

TEST(GatewayAnswers, MalformedAnswersAreErrorsNotCrashes) {
    // Only garbage comes back: after the time-out the failure says "malformed", not "silent".
    FakeAgent garbage([](const snmp::Message&, auto) { return std::vector<Datagram>{{0x30, 0x03, 0x02, 0x01}}; });
    GatewayClient gw;
    ASSERT_EQ(gw.Connect("127.0.0.1", garbage.port(), 2, 150, 0), MIB_OK);
    Bytes response;
    EXPECT_EQ(gw.Ask(0, {"1.3.6.1.2.1.1.1.0"}, &response), MIB_ERR_FAILED);
    EXPECT_EQ(MIBGetErrorNo(gw.h), MIB_ERR_MALFORMED);

    // Our request id, but a binding list that does not decode.
    FakeAgent broken([](const snmp::Message& m, auto) {
        Datagram d = Answer(m, {{m.bindings[0].oid, Datagram{0x04, 0x01, 'x'}}});
        d[d.size() - 3] = 0x7F;  // the value's length now runs past the datagram
        return std::vector<Datagram>{d};
    });
    GatewayClient gw2;
    ASSERT_EQ(gw2.Connect("127.0.0.1", broken.port(), 2, 150, 0), MIB_OK);
    EXPECT_EQ(gw2.Ask(0, {"1.3.6.1.2.1.1.1.0"}, &response), MIB_ERR_FAILED);
    EXPECT_EQ(MIBGetErrorNo(gw2.h), MIB_ERR_MALFORMED);

    // Binding readers check what the caller hands them.
    Bytes junk{0x30, 0x10, 0x02, 0x01};
    int len = 64;
    unsigned char buf[64];
    EXPECT_EQ(MIBGetBERDataFromSNMPPacket(gw.h, 0, static_cast<int>(junk.size()), junk.data(), &len, buf),
              MIB_ERR_MALFORMED);
    EXPECT_EQ(MIBGetchObjectIDFromSNMPPacket(gw.h, 0, static_cast<int>(junk.size()), junk.data(), &len,
                                             reinterpret_cast<char*>(buf)),
              MIB_ERR_MALFORMED);
    EXPECT_EQ(MIBGetBERDataFromSNMPPacket(gw.h, -1, static_cast<int>(junk.size()), junk.data(), &len, buf),
              MIB_ERR_PARAM);
}

TEST(GatewayAnswers, AgentErrorStatusIsReported) {
    FakeAgent agent([](const snmp::Message& m, auto) {
        return std::vector<Datagram>{Answer(m, {{m.bindings[0].oid, Datagram{0x05, 0x00}}}, snmp::errstat::kGenErr, 1)};
    });
    GatewayClient gw;
    ASSERT_EQ(gw.Connect("127.0.0.1", agent.port(), 1), MIB_OK);
    Bytes response;
    EXPECT_EQ(gw.Ask(0, {"1.3.6.1.2.1.1.9.0"}, &response), MIB_ERR_AGENT);
    int status = 0, index = 0;
    MIBGetAgentError(gw.h, &status, &index);
    EXPECT_EQ(status, snmp::errstat::kGenErr);
    EXPECT_EQ(index, 1);
}

// An agent that names an object it cannot give (noSuchName) or cannot fit the answer (tooBig)
// at every request: the gateway gives up with the agent's error after a bounded number of
// requests instead of asking for ever.
TEST(GatewayAnswers, GetRetriesEndOnAnAgentThatAlwaysRefuses) {
    FakeAgent v1([](const snmp::Message& m, auto) {
        return std::vector<Datagram>{Answer(m, {}, snmp::errstat::kNoSuchName, 7)};
    });
    GatewayClient gw;
    ASSERT_EQ(gw.Connect("127.0.0.1", v1.port(), 1), MIB_OK);
    Bytes response;
    EXPECT_EQ(gw.Ask(0, {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.5.0"}, &response), MIB_ERR_AGENT);
    EXPECT_EQ(v1.requests(), 1) << "an error index outside the request cannot be fixed";

    FakeAgent tooBig([](const snmp::Message& m, auto) {
        return std::vector<Datagram>{Answer(m, {}, snmp::errstat::kTooBig, 0)};
    });
    GatewayClient gw2;
    ASSERT_EQ(gw2.Connect("127.0.0.1", tooBig.port(), 2), MIB_OK);
    std::vector<std::string> oids;
    for (int i = 1; i <= 8; ++i) oids.push_back("1.3.6.1.2.1.1." + std::to_string(i) + ".0");
    EXPECT_EQ(gw2.Ask(0, oids, &response), MIB_ERR_AGENT);
    int status = 0, index = 0;
    MIBGetAgentError(gw2.h, &status, &index);
    EXPECT_EQ(status, snmp::errstat::kTooBig);
    // 8 objects, then 4, 2 and 1: the first single object still does not fit, and that ends it.
    EXPECT_EQ(tooBig.requests(), 4);
}

TEST(GatewaySizing, EveryBufferFollowsTheTwoCallRule) {
    FakeMib mib = PrinterMib();
    FakeAgent agent([&](const snmp::Message& m, auto) { return mib.Respond(m); });
    GatewayClient gw;
    ASSERT_EQ(gw.Connect("127.0.0.1", agent.port(), 2), MIB_OK);

    const char* oids[] = {"1.3.6.1.2.1.1.1.0", "1.3.6.1.2.1.1.2.0"};
    int len = 0;
    ASSERT_EQ(MIBCreateGetRequestSNMPPacket(gw.h, 0, 37, "tarlow", 2, oids, &len, nullptr), MIB_ERR_BUFFER);
    int needed = len;
    Bytes small(static_cast<size_t>(needed - 1));
    len = needed - 1;
    ASSERT_EQ(MIBCreateGetRequestSNMPPacket(gw.h, 0, 37, "tarlow", 2, oids, &len, small.data()), MIB_ERR_BUFFER);
    EXPECT_EQ(len, needed);
    Bytes packet(static_cast<size_t>(needed));
    ASSERT_EQ(MIBCreateGetRequestSNMPPacket(gw.h, 0, 37, "tarlow", 2, oids, &len, packet.data()), MIB_OK);
    EXPECT_EQ(len, needed);
    ASSERT_EQ(MIBSend(gw.h, len, packet.data()), MIB_OK);

    // The answer is kept across the sizing call and handed out once.
    int rlen = 4;
    unsigned char tiny[4];
    ASSERT_EQ(MIBReceive(gw.h, &rlen, tiny), MIB_ERR_BUFFER);
    Bytes response(static_cast<size_t>(rlen));
    ASSERT_EQ(MIBReceive(gw.h, &rlen, response.data()), MIB_OK);
    EXPECT_EQ(rlen, static_cast<int>(response.size()));
    EXPECT_EQ(MIBReceive(gw.h, &rlen, response.data()), MIB_ERR_NOT_OPEN);  // nothing pending

    // OID text: the size counts the terminating zero.
    int olen = 0;
    ASSERT_EQ(MIBGetchObjectIDFromSNMPPacket(gw.h, 1, rlen, response.data(), &olen, nullptr), MIB_ERR_BUFFER);
    EXPECT_EQ(olen, static_cast<int>(std::strlen("1.3.6.1.2.1.1.2.0") + 1));
    std::string text(static_cast<size_t>(olen), 'x');
    ASSERT_EQ(MIBGetchObjectIDFromSNMPPacket(gw.h, 1, rlen, response.data(), &olen, text.data()), MIB_OK);
    EXPECT_STREQ(text.c_str(), "1.3.6.1.2.1.1.2.0");
    int vlen = 0;
    ASSERT_EQ(MIBGetBERDataFromSNMPPacket(gw.h, 0, rlen, response.data(), &vlen, nullptr), MIB_ERR_BUFFER);
    EXPECT_EQ(vlen, 14);
    EXPECT_EQ(MIBGetBERDataFromSNMPPacket(gw.h, 2, rlen, response.data(), &vlen, nullptr), MIB_ERR_NO_BINDING);
    EXPECT_EQ(MIBGetchObjectIDFromSNMPPacket(gw.h, 2, rlen, response.data(), &olen, nullptr), MIB_ERR_NO_BINDING);

    // Reads follow the caller's bytes, whether the buffer is the one MIBReceive filled, a copy,
    // or the same buffer changed since.
    Bytes copy = response;
    Bytes value(64);
    vlen = 64;
    ASSERT_EQ(MIBGetBERDataFromSNMPPacket(gw.h, 0, rlen, copy.data(), &vlen, value.data()), MIB_OK);
    EXPECT_EQ(value[2], 'f');
    const std::string text0 = "fake printer";
    auto at = std::search(response.begin(), response.end(), text0.begin(), text0.end());
    ASSERT_NE(at, response.end());
    *at = 'F';
    vlen = 64;
    ASSERT_EQ(MIBGetBERDataFromSNMPPacket(gw.h, 0, rlen, response.data(), &vlen, value.data()), MIB_OK);
    EXPECT_EQ(value[2], 'F');
    EXPECT_EQ(MIBGetBERDataFromSNMPPacket(gw.h, 0, rlen - 1, response.data(), &vlen, value.data()), MIB_ERR_MALFORMED);
}

TEST(GatewayRequests, RefusesBadArguments) {
    GatewayClient gw;
    const char* good[] = {"1.3.6.1.2.1.1.1.0"};
    const char* bad[] = {"1.3.6.x"};
    const char* nulls[] = {nullptr};
    int len = 0;
    // Not open yet.
    EXPECT_EQ(MIBCreateGetRequestSNMPPacket(gw.h, 0, 1, "tarlow", 1, good, &len, nullptr), MIB_ERR_NOT_OPEN);
    FakeAgent agent([](const snmp::Message&, auto) { return std::vector<Datagram>{}; });
    ASSERT_EQ(gw.Connect("127.0.0.1", agent.port(), 2), MIB_OK);
    EXPECT_EQ(MIBCreateGetRequestSNMPPacket(gw.h, 2, 1, "tarlow", 1, good, &len, nullptr), MIB_ERR_PARAM);
    EXPECT_EQ(MIBCreateGetRequestSNMPPacket(gw.h, 0, 1, "tarlow", 1, bad, &len, nullptr), MIB_ERR_PARAM);
    EXPECT_EQ(MIBCreateGetRequestSNMPPacket(gw.h, 0, 1, "tarlow", 1, nulls, &len, nullptr), MIB_ERR_PARAM);
    EXPECT_EQ(MIBCreateGetRequestSNMPPacket(gw.h, 0, 1, nullptr, 1, good, &len, nullptr), MIB_ERR_PARAM);
    EXPECT_EQ(MIBCreateGetRequestSNMPPacket(gw.h, 0, 1, "tarlow", 0, good, &len, nullptr), MIB_ERR_PARAM);
    EXPECT_EQ(MIBCreateGetRequestSNMPPacket(gw.h, 0, 1, "tarlow", 1, good, nullptr, nullptr), MIB_ERR_PARAM);
    const char* two[] = {"1.3.6.1", "1.3.6.2"};
    EXPECT_EQ(MIBCreateGetRequestSNMPPacket(gw.h, 5, 1, "tarlow", 2, two, &len, nullptr), MIB_ERR_PARAM);
    EXPECT_EQ(MIBGetErrorNo(gw.h), MIB_ERR_PARAM);
    EXPECT_EQ(MIBSend(gw.h, 3, reinterpret_cast<const unsigned char*>("abc")), MIB_ERR_PARAM);
    EXPECT_EQ(MIBRelease(12345678), MIB_ERR_HANDLE);
    EXPECT_EQ(MIBGetErrorNo(12345678), MIB_ERR_HANDLE);
}

TEST(GatewayRequests, OptionsTakeTheEndsOfTheirRangesAndNothingBeyond) {
    GatewayClient gw;
    const struct {
        int option, low, high;
    } ranges[] = {{MIB_OPT_PORT, 1, 65535},        {MIB_OPT_TIMEOUT_MS, 1, 600000},
                  {MIB_OPT_RETRIES, 0, 100},       {MIB_OPT_VERSION, 0, 2},
                  {MIB_OPT_MAX_REPETITIONS, 1, 255}};
    for (const auto& r : ranges) {
        SCOPED_TRACE(r.option);
        EXPECT_EQ(MIBSetOption(gw.h, r.option, r.low - 1), MIB_ERR_PARAM);
        EXPECT_EQ(MIBSetOption(gw.h, r.option, r.high + 1), MIB_ERR_PARAM);
        EXPECT_EQ(MIBSetOption(gw.h, r.option, r.low), MIB_OK);
        EXPECT_EQ(MIBSetOption(gw.h, r.option, r.high), MIB_OK);
    }
    EXPECT_EQ(MIBSetOption(gw.h, 9999, 1), MIB_ERR_PARAM);
    EXPECT_EQ(MIBSetOption(12345678, MIB_OPT_PORT, 161), MIB_ERR_HANDLE);
}

TEST(GatewayWalk, StaysInsideTheSubtreeAndReadsScalars) {
    FakeMib mib = PrinterMib();
    FakeAgent agent([&](const snmp::Message& m, auto) { return mib.Respond(m); });
    GatewayClient gw;
    ASSERT_EQ(gw.Connect("127.0.0.1", agent.port(), 2), MIB_OK);
    Bytes response;
    std::vector<std::pair<std::string, Bytes>> b;
    // max-repetitions 2 forces several get-bulk rounds; the last one runs past the subtree.
    ASSERT_EQ(gw.Ask(5, {"1.3.6.1.2.1.43.18"}, &response, 2), MIB_OK);
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    EXPECT_EQ(Oids(b), (std::vector<std::string>{"1.3.6.1.2.1.43.18.1.1.2.1.1", "1.3.6.1.2.1.43.18.1.1.2.1.2",
                                                 "1.3.6.1.2.1.43.18.1.1.3.1.1", "1.3.6.1.2.1.43.18.1.1.3.1.2"}));
    EXPECT_EQ(b[3].second, Int(6));
    int requestsBefore = agent.requests();

    // A column of the table: only its rows, column by column order kept.
    ASSERT_EQ(gw.Ask(5, {"1.3.6.1.2.1.43.18.1.1.3"}, &response, 37), MIB_OK);
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    EXPECT_EQ(b.size(), 2u);
    EXPECT_EQ(agent.requests(), requestsBefore + 1);  // one get-bulk of 37 covered it

    // A scalar: nothing lies below it, so the object itself is the one binding.
    ASSERT_EQ(gw.Ask(5, {"1.3.6.1.2.1.1.1.0"}, &response), MIB_OK);
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    ASSERT_EQ(b.size(), 1u);
    EXPECT_EQ(b[0].first, "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(b[0].second, Text("fake printer"));

    // Nothing at all: an empty response, and -104 at binding 0.
    ASSERT_EQ(gw.Ask(5, {"1.3.6.1.2.1.99"}, &response), MIB_OK);
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    EXPECT_TRUE(b.empty());
}

TEST(GatewayWalk, TooBigAnswersLeadToFewerRepetitions) {
    FakeMib mib = PrinterMib();
    std::atomic<int> biggest{0};
    FakeAgent agent([&](const snmp::Message& m, auto) {
        if (m.type == snmp::pdu::kGetBulk && m.errorIndex > 3) {
            return std::vector<Datagram>{Answer(m, {}, snmp::errstat::kTooBig, 0)};
        }
        biggest = std::max(biggest.load(), m.errorIndex);
        return mib.Respond(m);
    });
    GatewayClient gw;
    ASSERT_EQ(gw.Connect("127.0.0.1", agent.port(), 2), MIB_OK);
    Bytes response;
    ASSERT_EQ(gw.Ask(5, {"1.3.6.1.2.1.43.18"}, &response, 37), MIB_OK);
    std::vector<std::pair<std::string, Bytes>> b;
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    EXPECT_EQ(b.size(), 4u);
    EXPECT_EQ(biggest.load(), 2);  // 37 -> 18 -> 9 -> 4 -> 2
}

TEST(GatewayWalk, AgentThatDoesNotMoveForwardEndsTheWalk) {
    // Answers every request with the same OID: a naive walk would never end.
    FakeAgent agent([](const snmp::Message& m, auto) {
        snmp::Oid same;
        snmp::ParseOidText("1.3.6.1.2.1.43.5.1.0", &same);
        return std::vector<Datagram>{Answer(m, {{same, Int(1)}})};
    });
    GatewayClient gw;
    ASSERT_EQ(gw.Connect("127.0.0.1", agent.port(), 2), MIB_OK);
    Bytes response;
    ASSERT_EQ(gw.Ask(5, {"1.3.6.1.2.1.43"}, &response), MIB_OK);
    std::vector<std::pair<std::string, Bytes>> b;
    ASSERT_EQ(gw.Bindings(response, &b), MIB_OK);
    EXPECT_EQ(b.size(), 1u);
    EXPECT_LE(agent.requests(), 3);
}

TEST(GatewaySettings, RegistryValuesApplyAndBoundTheWalk) {
    qm::testing::TempRoot root;
    FakeMib mib;
    for (int i = 1; i <= 5000; ++i) {
        mib.Set(("1.3.6.1.2.1.99.1." + std::to_string(i)).c_str(), Text("0123456789"));
    }
    FakeAgent agent([&](const snmp::Message& m, auto) { return mib.Respond(m); });
    using qm::platform::RegRoot;
    const char* key = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";
    ASSERT_EQ(qm::platform::RegSetNumber(RegRoot::LocalMachine, key, "SnmpPort", agent.port(), true), 0);
    ASSERT_EQ(qm::platform::RegSetNumber(RegRoot::LocalMachine, key, "SnmpVersion", 2), 0);
    ASSERT_EQ(qm::platform::RegSetNumber(RegRoot::LocalMachine, key, "SnmpMaxResponse", 65536), 0);
    ASSERT_EQ(qm::platform::RegSetNumber(RegRoot::LocalMachine, key, "SnmpMaxRepetitions", 50), 0);

    int h = MIBInitialize();
    ASSERT_GT(h, 0);
    unsigned char channel[MIB_CHANNEL_SIZE];
    ASSERT_EQ(MIBGetChannelInfo(h, "127.0.0.1", "", channel), MIB_OK);
    EXPECT_EQ((channel[8] << 8) | channel[9], agent.port());
    EXPECT_EQ(agent.requests(), 0);  // SnmpVersion 2: no probe
    ASSERT_EQ(MIBOpen(h, "127.0.0.1", "", channel), MIB_OK);
    const char* oid[] = {"1.3.6.1.2.1.99"};
    int len = 0;
    ASSERT_EQ(MIBCreateGetRequestSNMPPacket(h, 5, 1, "tarlow", 1, oid, &len, nullptr), MIB_ERR_BUFFER);
    Bytes packet(static_cast<size_t>(len));
    ASSERT_EQ(MIBCreateGetRequestSNMPPacket(h, 5, 1, "tarlow", 1, oid, &len, packet.data()), MIB_OK);
    snmp::Message sent;
    ASSERT_EQ(snmp::DecodeMessage(packet, &sent), snmp::BerStatus::kOk);
    EXPECT_EQ(sent.type, snmp::pdu::kGetBulk);
    EXPECT_EQ(sent.errorIndex, 50);  // "1" means the installation's max-repetitions
    ASSERT_EQ(MIBSend(h, len, packet.data()), MIB_OK);
    int rlen = 0;
    EXPECT_EQ(MIBReceive(h, &rlen, nullptr), MIB_ERR_TOO_LARGE);  // 5000 rows exceed 64 KiB
    MIBClose(h);
    MIBRelease(h);
}

TEST(GatewayEncode, ValuesFromText) {
    GatewayClient gw;
    auto enc = [&](int type, const char* text, Bytes* out) {
        int len = 0;
        int rc = MIBBEREncode(gw.h, type, text, &len, nullptr);
        if (rc != MIB_ERR_BUFFER) return rc;
        out->resize(static_cast<size_t>(len));
        return MIBBEREncode(gw.h, type, text, &len, out->data());
    };
    Bytes b;
    ASSERT_EQ(enc(MIB_BER_INTEGER, "-122", &b), MIB_OK);
    EXPECT_EQ(b, (Bytes{0x02, 0x01, 0x86}));
    ASSERT_EQ(enc(MIB_BER_INTEGER, "1", &b), MIB_OK);
    EXPECT_EQ(b, (Bytes{0x02, 0x01, 0x01}));
    ASSERT_EQ(enc(MIB_BER_OCTET_STRING, "512KB", &b), MIB_OK);
    EXPECT_EQ(b, (Bytes{0x04, 0x05, '5', '1', '2', 'K', 'B'}));
    ASSERT_EQ(enc(MIB_BER_OCTET_STRING, "", &b), MIB_OK);
    EXPECT_EQ(b, (Bytes{0x04, 0x00}));
    ASSERT_EQ(enc(MIB_BER_IPADDRESS, "192.168.1.20", &b), MIB_OK);
    EXPECT_EQ(b, (Bytes{0x40, 0x04, 192, 168, 1, 20}));
    ASSERT_EQ(enc(MIB_BER_TIMETICKS, "4294967295", &b), MIB_OK);
    EXPECT_EQ(b, (Bytes{0x43, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
    for (const char* bad : {"", "12a", "2147483648", "-2147483649", " 1"}) {
        EXPECT_EQ(enc(MIB_BER_INTEGER, bad, &b), MIB_ERR_PARAM) << bad;
    }
    EXPECT_EQ(enc(MIB_BER_IPADDRESS, "10.1.2", &b), MIB_ERR_PARAM);
    EXPECT_EQ(enc(MIB_BER_IPADDRESS, "0.0.0.256", &b), MIB_ERR_PARAM);
    EXPECT_EQ(enc(MIB_BER_COUNTER32, "4294967296", &b), MIB_ERR_PARAM);
    EXPECT_EQ(enc(99, "1", &b), MIB_ERR_TYPE);
}

TEST(GatewaySet, SendsTheEncodedValueWithTheWriteCommunity) {
    std::vector<snmp::Message> seen;
    std::vector<Datagram> raw;
    std::mutex mu;
    FakeAgent agent([&](const snmp::Message& m, std::span<const uint8_t> bytes) {
        std::lock_guard lock(mu);
        raw.emplace_back(bytes.begin(), bytes.end());
        return std::vector<Datagram>{Answer(m, {{m.bindings[0].oid, Datagram(m.bindings[0].value.whole.begin(),
                                                                             m.bindings[0].value.whole.end())}})};
    });
    GatewayClient gw;
    ASSERT_EQ(gw.Connect("127.0.0.1", agent.port(), 2), MIB_OK);
    ASSERT_EQ(gw.Set("1.3.6.1.4.1.40404.1.1.3.1.2.7.0", MIB_BER_IPADDRESS, "127.0.0.1"), MIB_OK);
    Bytes response;
    ASSERT_EQ(gw.Receive(&response), MIB_OK);  // the answer to a set can be read when wanted
    ASSERT_TRUE(qm::testing::Eventually([&] { std::lock_guard l(mu); return raw.size() == 1; }));
    snmp::Message m;
    ASSERT_EQ(snmp::DecodeMessage(raw[0], &m), snmp::BerStatus::kOk);
    EXPECT_EQ(m.type, snmp::pdu::kSet);
    EXPECT_EQ(m.community, "wixam");
    ASSERT_EQ(m.bindings.size(), 1u);
    EXPECT_EQ(snmp::OidToText(m.bindings[0].oid), "1.3.6.1.4.1.40404.1.1.3.1.2.7.0");
    EXPECT_EQ(Bytes(m.bindings[0].value.whole.begin(), m.bindings[0].value.whole.end()),
              (Bytes{0x40, 0x04, 127, 0, 0, 1}));

    // A value pointer whose header claims an absurd length is refused.
    const unsigned char absurd[] = {0x04, 0x84, 0x7F, 0xFF, 0xFF, 0xFF};
    const unsigned char* values[] = {absurd};
    const char* oids[] = {"1.3.6.1.2.1.1.5.0"};
    int len = 0;
    EXPECT_EQ(MIBCreateSetRequestSNMPPacket(gw.h, 1, "wixam", 1, oids, values, &len, nullptr), MIB_ERR_PARAM);
}

namespace {
// Holds an agent's answers back until opened (or until its bound, so a failing test ends).
struct Gate {
    std::mutex mu;
    std::condition_variable cv;
    bool open = false;
    void Wait() {
        std::unique_lock lock(mu);
        cv.wait_for(lock, std::chrono::seconds(30), [&] { return open; });
    }
    void Open() {
        {
            std::lock_guard lock(mu);
            open = true;
        }
        cv.notify_all();
    }
};
}  // namespace

TEST(GatewayHandles, AHandleWaitingForASlowDeviceHoldsUpNoOther) {
    Gate gate;
    FakeMib mib = PrinterMib();
    FakeAgent slow([&](const snmp::Message& m, auto) {
        gate.Wait();
        return mib.Respond(m);
    });
    // The second device answers at once, on the same port of another loopback address.
    FakeAgent fast([&](const snmp::Message& m, auto) { return mib.Respond(m); }, "127.0.0.2", slow.port());
    GatewayClient a;
    ASSERT_EQ(a.Connect("127.0.0.1", slow.port(), 2, 60000, 0), MIB_OK);
    std::atomic<int> slowCode{1};
    auto waiting = std::async(std::launch::async, [&] {
        Bytes response;
        slowCode = a.Ask(0, {"1.3.6.1.2.1.1.1.0"}, &response);
    });
    ASSERT_TRUE(qm::testing::Eventually([&] { return slow.requests() > 0; }, std::chrono::seconds(30)));
    // A handle made like the waiting one has its settings (port, fixed version: no probe) at
    // once, and its exchange ends while the other still waits.
    GatewayClient b(MIBInitializeLike(a.h));
    ASSERT_GT(b.h, 0);
    ASSERT_EQ(MIBGetChannelInfo(b.h, "127.0.0.2", "", b.channel), MIB_OK);
    ASSERT_EQ(MIBOpen(b.h, "127.0.0.2", "", b.channel), MIB_OK);
    Bytes response;
    EXPECT_EQ(b.Ask(0, {"1.3.6.1.2.1.1.1.0"}, &response), MIB_OK);
    EXPECT_EQ(fast.requests(), 1) << "a version probe, or no request at all";
    EXPECT_EQ(slowCode.load(), 1) << "the slow exchange ended before its device answered";
    gate.Open();
    waiting.get();
    EXPECT_EQ(slowCode.load(), MIB_OK);
    EXPECT_EQ(MIBInitializeLike(-5), MIB_ERR_HANDLE);
}
