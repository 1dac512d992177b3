// Tests of SNMP message coding: requests as agents expect them, answers decoded with bounds.
#include <gtest/gtest.h>

#include "qm/snmp/message.h"

using namespace qm::snmp;
using Bytes = std::vector<uint8_t>;

namespace {
Oid O(const char* text) {
    Oid oid;
    EXPECT_EQ(ParseOidText(text, &oid), BerStatus::kOk);
    return oid;
}
}  // namespace

TEST(SnmpMessage, GetRequestMatchesTheWireFormat) {
    // The same bytes net-snmp's snmpget sends for sysDescr.0 with request id 0x7B260B7B.
    Request r;
    r.version = SnmpVersion::kV2c;
    r.community = "tarlow";
    r.type = pdu::kGet;
    r.requestId = 0x7B260B7B;
    r.bindings.push_back({O("1.3.6.1.2.1.1.1.0"), {}});
    EXPECT_EQ(EncodeRequest(r),
              (Bytes{0x30, 0x29, 0x02, 0x01, 0x01, 0x04, 0x06, 't', 'a', 'r', 'l', 'o', 'w', 0xA0, 0x1C,
                     0x02, 0x04, 0x7B, 0x26, 0x0B, 0x7B, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x0E,
                     0x30, 0x0C, 0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00, 0x05, 0x00}));
}

TEST(SnmpMessage, DecodesAResponseAndFindsBindings) {
    const Bytes answer{0x30, 0x35, 0x02, 0x01, 0x01, 0x04, 0x06, 't', 'a', 'r', 'l', 'o', 'w', 0xA2, 0x28,
                       0x02, 0x04, 0x7B, 0x26, 0x0B, 0x7B, 0x02, 0x01, 0x00, 0x02, 0x01, 0x00, 0x30, 0x1A,
                       0x30, 0x18, 0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00, 0x04, 0x0C,
                       'T', 'e', 's', 't', ' ', 'p', 'r', 'i', 'n', 't', 'e', 'r'};
    Message m;
    ASSERT_EQ(DecodeMessage(answer, &m), BerStatus::kOk);
    EXPECT_EQ(m.version, SnmpVersion::kV2c);
    EXPECT_EQ(m.community, "tarlow");
    EXPECT_EQ(m.type, pdu::kResponse);
    EXPECT_EQ(m.requestId, 0x7B260B7B);
    ASSERT_EQ(m.bindings.size(), 1u);
    EXPECT_EQ(OidToText(m.bindings[0].oid), "1.3.6.1.2.1.1.1.0");
    EXPECT_EQ(m.bindings[0].value.tag, tag::kOctetString);
    EXPECT_EQ(m.bindings[0].value.content.size(), 12u);

    BerElement oid, value;
    EXPECT_EQ(FindBinding(answer, 0, &oid, &value), BerStatus::kOk);
    EXPECT_EQ(value.whole.size(), 14u);
    EXPECT_EQ(FindBinding(answer, 1, &oid, &value), BerStatus::kOutOfRange);

    // Every truncation of a valid answer is refused, never read past.
    for (size_t n = 0; n < answer.size(); ++n) {
        Bytes cut(answer.begin(), answer.begin() + static_cast<std::ptrdiff_t>(n));
        EXPECT_NE(DecodeMessage(cut, &m), BerStatus::kOk) << n;
    }
    // Trailing garbage after the message is refused too.
    Bytes longer = answer;
    longer.push_back(0);
    EXPECT_NE(DecodeMessage(longer, &m), BerStatus::kOk);
}

TEST(SnmpMessage, RefusesWrongVersionsAndShapes) {
    Request r;
    r.community = "c";
    r.requestId = 5;
    r.bindings.push_back({O("1.3.6.1"), {}});
    Bytes good = EncodeRequest(r);
    Message m;
    ASSERT_EQ(DecodeMessage(good, &m), BerStatus::kOk);

    Bytes v3 = good;
    v3[4] = 3;  // version 3 is not ours
    EXPECT_EQ(DecodeMessage(v3, &m), BerStatus::kBadValue);

    Bytes trap = good;
    trap[7 + 1] = pdu::kTrapV1;  // the PDU tag follows the 1-byte community
    EXPECT_EQ(DecodeMessage(trap, &m), BerStatus::kBadTag);

    // A binding whose value is missing.
    Bytes broken{0x30, 0x17, 0x02, 0x01, 0x01, 0x04, 0x01, 'c', 0xA2, 0x0F, 0x02, 0x01, 0x05, 0x02, 0x01,
                 0x00, 0x02, 0x01, 0x00, 0x30, 0x04, 0x30, 0x02, 0x06, 0x00};
    EXPECT_NE(DecodeMessage(broken, &m), BerStatus::kOk);
}

TEST(SnmpMessage, GetBulkCarriesRepetitions) {
    Request r;
    r.type = pdu::kGetBulk;
    r.community = "tarlow";
    r.requestId = 77;
    r.nonRepeaters = 0;
    r.maxRepetitions = 37;
    r.bindings.push_back({O("1.3.6.1.2.1.43.18"), {}});
    Message m;
    Bytes wire = EncodeRequest(r);
    ASSERT_EQ(DecodeMessage(wire, &m), BerStatus::kOk);
    EXPECT_EQ(m.type, pdu::kGetBulk);
    EXPECT_EQ(m.errorStatus, 0);
    EXPECT_EQ(m.errorIndex, 37);
}
