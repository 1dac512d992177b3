// Search lists and the search parameter: what a search will ask, before any packet is sent.
#include <gtest/gtest.h>

#include <string>

#include "QBAPI.h"
#include "params.h"
#include "targets.h"

namespace qm::discovery {
namespace {

uint32_t A(const char* text) {
    uint32_t a = 0;
    EXPECT_TRUE(ParseIPv4(text, &a)) << text;
    return a;
}

TEST(SearchList, DottedQuadsAreStrict) {
    uint32_t a = 0;
    EXPECT_TRUE(ParseIPv4("127.0.0.11", &a));
    EXPECT_EQ(a, 0x7F00000Bu);
    for (const char* bad : {"", "1.2.3", "1.2.3.4.5", "256.1.1.1", "1..2.3", "1.2.3.4 ", "a.b.c.d", "1.2.3.0004", "-1.2.3.4"}) {
        EXPECT_FALSE(ParseIPv4(bad, &a)) << bad;
    }
}

TEST(SearchList, UnicastEntriesOnceEachInOrder) {
    std::vector<Destination> d;
    ASSERT_TRUE(BuildDestinations(" 127.0.0.12 ;127.0.0.11;;127.0.0.12;", false, {}, &d));
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].address, A("127.0.0.12"));
    EXPECT_EQ(d[1].address, A("127.0.0.11"));
    EXPECT_FALSE(d[0].broadcast);
    ASSERT_TRUE(BuildDestinations("", false, {}, &d));
    EXPECT_TRUE(d.empty());
}

TEST(SearchList, BroadcastEntryTakesTheSubnetsBroadcastWhicheverAddressItNames) {
    std::vector<Destination> d;
    ASSERT_TRUE(BuildDestinations("10.1.2.0|255.255.255.0;10.1.2.255|255.255.255.0;10.9.0.7|255.255.0.0", false, {}, &d));
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].address, A("10.1.2.255"));
    EXPECT_TRUE(d[0].broadcast);
    EXPECT_EQ(d[1].address, A("10.9.255.255"));
}

TEST(SearchList, SweepAddsEveryHostOnceAndKeepsUnicastFirst) {
    std::vector<Destination> d;
    ASSERT_TRUE(BuildDestinations("10.1.2.200;10.1.2.255|255.255.255.0", true, {}, &d));
    ASSERT_EQ(d.size(), 255u);  // 254 hosts + the broadcast
    EXPECT_EQ(d[0].address, A("10.1.2.200"));
    EXPECT_EQ(d[1].address, A("10.1.2.1"));
    EXPECT_EQ(d.back().address, A("10.1.2.255"));
    EXPECT_TRUE(d.back().broadcast);
    size_t broadcasts = 0;
    for (const auto& x : d) broadcasts += x.broadcast ? 1 : 0;
    EXPECT_EQ(broadcasts, 1u);
    // Too large a subnet is broadcast to, not swept.
    ASSERT_TRUE(BuildDestinations("10.0.0.0|255.0.0.0", true, {}, &d));
    EXPECT_EQ(d.size(), 1u);
    // However many subnets are named, the sweep stays bounded.
    std::string many;
    for (int i = 0; i < 6; ++i) many += "10." + std::to_string(i) + ".0.0|255.255.0.0;";
    ASSERT_TRUE(BuildDestinations(many, true, {}, &d));
    EXPECT_EQ(d.size(), 4u * 65536 + 6);
    // A /31 or /32 has no host range to sweep.
    ASSERT_TRUE(BuildDestinations("10.0.0.1|255.255.255.255", true, {}, &d));
    EXPECT_EQ(d.size(), 1u);
}

TEST(SearchList, LocalStandsForTheGivenSegments) {
    std::vector<LocalSegment> local = {{A("10.77.0.1"), A("255.255.255.0")}, {A("192.168.5.9"), A("255.255.255.252")}};
    std::vector<Destination> d;
    ASSERT_TRUE(BuildDestinations("LOCAL", false, local, &d));
    ASSERT_EQ(d.size(), 2u);
    EXPECT_EQ(d[0].address, A("10.77.0.255"));
    EXPECT_EQ(d[1].address, A("192.168.5.11"));
    ASSERT_TRUE(BuildDestinations("local", true, local, &d));
    EXPECT_EQ(d.size(), 254u + 2u + 2u);
    ASSERT_TRUE(BuildDestinations("Local", false, {}, &d));
    EXPECT_TRUE(d.empty());
}

TEST(SearchList, MalformedEntriesRejectTheList) {
    std::vector<Destination> d;
    for (const char* bad : {"127.0.0.1;x", "0.0.0.0", "255.255.255.255", "10.0.0.0|255.0.255.0", "10.0.0.1|",
                            "|255.255.255.0", "10.0.0.1|255.255.255.0|1", "Locale", "10.0.0.1 10.0.0.2"}) {
        EXPECT_FALSE(BuildDestinations(bad, false, {}, &d)) << bad;
    }
    EXPECT_TRUE(IsContiguousMask(0));
    EXPECT_TRUE(IsContiguousMask(0xFFFFFF00u));
    EXPECT_FALSE(IsContiguousMask(0xFF00FF00u));
}

TEST(SearchParameter, ZeroMeansTheDefaultsAndEveryFieldDecodes) {
    SearchParams p = DecodeParams(0);
    EXPECT_EQ(p.timeout.count(), 1000);
    EXPECT_EQ(p.retries, 0);
    EXPECT_FALSE(p.sweep);
    EXPECT_FALSE(p.v2c);
    EXPECT_EQ(p.budget.count(), 60000);
    EXPECT_EQ(p.sendsPerMs, 1);

    p = DecodeParams(0x031E3205);  // 0.5 s, 2 retries, sweep, v2c, 30 s, 4 per ms
    EXPECT_EQ(p.timeout.count(), 500);
    EXPECT_EQ(p.retries, 2);
    EXPECT_TRUE(p.sweep);
    EXPECT_TRUE(p.v2c);
    EXPECT_EQ(p.budget.count(), 30000);
    EXPECT_EQ(p.sendsPerMs, 4);

    p = DecodeParams(0xFFFFFFFFul);
    EXPECT_EQ(p.timeout.count(), 25500);
    EXPECT_EQ(p.retries, 15);
    EXPECT_EQ(p.budget.count(), 255000);
    EXPECT_EQ(p.sendsPerMs, 16);
}

}  // namespace
}  // namespace qm::discovery
