// Tests of the BER coder: encodings fixed by the wire format and refusal of hostile input.
#include <gtest/gtest.h>

#include "qm/snmp/ber.h"

using namespace qm::snmp;
using Bytes = std::vector<uint8_t>;

TEST(BerOid, ParsesAndEncodesSubIdentifiers) {
    BerWriter w;
    ASSERT_EQ(w.AddOidText("1.3.6.1.2.1.1.1.0"), BerStatus::kOk);
    EXPECT_EQ(w.bytes(), (Bytes{0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00}));

    // Multi-byte sub-identifiers: 40404 = 0x9DD4 -> 0x82 0xBB 0x54; the largest arc takes 5 bytes.
    BerWriter big;
    ASSERT_EQ(big.AddOidText("1.3.6.1.4.1.40404.4294967295"), BerStatus::kOk);
    EXPECT_EQ(big.bytes(), (Bytes{0x06, 0x0D, 0x2B, 0x06, 0x01, 0x04, 0x01, 0x82, 0xBB, 0x54, 0x8F,
                                  0xFF, 0xFF, 0xFF, 0x7F}));

    // 2.999: the combined first sub-identifier is above 127.
    BerWriter two;
    ASSERT_EQ(two.AddOidText("2.999.3"), BerStatus::kOk);
    EXPECT_EQ(two.bytes(), (Bytes{0x06, 0x03, 0x88, 0x37, 0x03}));
}

TEST(BerOid, RefusesTextThatCannotBeEncoded) {
    Oid oid;
    for (const char* bad : {"", ".", "1", "1..3", "1.3.", "1.3.a", "3.1", "1.40", "1.3.4294967296",
                            "1.3.12345678901", "1.3.-1"}) {
        EXPECT_EQ(ParseOidText(bad, &oid), BerStatus::kBadOidText) << bad;
    }
    EXPECT_EQ(ParseOidText(".1.3.6", &oid), BerStatus::kOk);
    EXPECT_EQ(OidToText(oid), "1.3.6");
    EXPECT_EQ(ParseOidText("1.3.0004294967295", &oid), BerStatus::kBadOidText);  // 13 digits
}

TEST(BerOid, DecodeRoundTripsAndRefusesBadContent) {
    for (const char* text : {"1.3.6.1.2.1.43.18.1.1.2.1.7", "0.0", "2.100.3", "1.3.6.1.4.1.40404.4294967295"}) {
        BerWriter w;
        ASSERT_EQ(w.AddOidText(text), BerStatus::kOk);
        BerElement e;
        ASSERT_EQ(ReadElement(w.bytes(), &e), BerStatus::kOk);
        Oid oid;
        ASSERT_EQ(DecodeOid(e.content, &oid), BerStatus::kOk);
        EXPECT_EQ(OidToText(oid), text);
    }
    Oid oid;
    EXPECT_EQ(DecodeOid(Bytes{0x2B, 0x86}, &oid), BerStatus::kTruncated);            // open continuation
    EXPECT_EQ(DecodeOid(Bytes{0x2B, 0x80, 0x01}, &oid), BerStatus::kBadValue);       // padded sub-id
    EXPECT_EQ(DecodeOid(Bytes{0x2B, 0x90, 0x80, 0x80, 0x80, 0x00}, &oid), BerStatus::kOutOfRange);
    EXPECT_EQ(DecodeOid(Bytes{}, &oid), BerStatus::kBadValue);
}

TEST(BerOid, OrderAndSubtree) {
    Oid a, b, root;
    ParseOidText("1.3.6.1.2.1.43.18.1.1.2.1.1", &a);
    ParseOidText("1.3.6.1.2.1.43.18.1.1.10", &b);
    ParseOidText("1.3.6.1.2.1.43.18", &root);
    EXPECT_LT(OidCompare(a, b), 0);
    EXPECT_TRUE(OidIsBelow(a, root));
    EXPECT_FALSE(OidIsBelow(root, root));
    Oid sibling;
    ParseOidText("1.3.6.1.2.1.43.180", &sibling);
    EXPECT_FALSE(OidIsBelow(sibling, root));
}

TEST(BerNumbers, IntegersUseTheShortestTwosComplement) {
    struct Case { int64_t v; Bytes content; };
    for (const Case& c : {Case{0, {0x00}}, Case{127, {0x7F}}, Case{128, {0x00, 0x80}}, Case{-1, {0xFF}},
                          Case{-128, {0x80}}, Case{-129, {0xFF, 0x7F}}, Case{-2, {0xFE}},
                          Case{2147483647, {0x7F, 0xFF, 0xFF, 0xFF}},
                          Case{-2147483648LL, {0x80, 0x00, 0x00, 0x00}}}) {
        BerWriter w;
        w.AddInteger(c.v);
        ASSERT_EQ(w.bytes().size(), c.content.size() + 2) << c.v;
        EXPECT_EQ(w.bytes()[0], 0x02);
        EXPECT_EQ(w.bytes()[1], c.content.size());
        EXPECT_TRUE(std::equal(c.content.begin(), c.content.end(), w.bytes().begin() + 2)) << c.v;
        int64_t back = 0;
        ASSERT_EQ(DecodeInteger(c.content, &back), BerStatus::kOk);
        EXPECT_EQ(back, c.v);
    }
    int64_t v = 0;
    EXPECT_EQ(DecodeInteger(Bytes{}, &v), BerStatus::kBadValue);
    EXPECT_EQ(DecodeInteger(Bytes(9, 0x01), &v), BerStatus::kOutOfRange);
}

TEST(BerNumbers, UnsignedTypesKeepTheTopBitPositive) {
    BerWriter w;
    w.AddUnsigned(4294967295u, tag::kCounter32);
    EXPECT_EQ(w.bytes(), (Bytes{0x41, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFF}));
    BerWriter w64;
    w64.AddUnsigned(~uint64_t{0}, tag::kCounter64);
    EXPECT_EQ(w64.bytes().size(), 11u);
    uint64_t u = 0;
    BerElement e;
    ASSERT_EQ(ReadElement(w64.bytes(), &e), BerStatus::kOk);
    ASSERT_EQ(DecodeUnsigned(e.content, &u), BerStatus::kOk);
    EXPECT_EQ(u, ~uint64_t{0});
    EXPECT_EQ(DecodeUnsigned(Bytes{0x01, 0, 0, 0, 0, 0, 0, 0, 0}, &u), BerStatus::kOutOfRange);
}

TEST(BerLength, MinimalAndWide255Forms) {
    Bytes out;
    AppendLength(out, 127);
    AppendLength(out, 128);
    AppendLength(out, 255);
    AppendLength(out, 256);
    EXPECT_EQ(out, (Bytes{0x7F, 0x81, 0x80, 0x81, 0xFF, 0x82, 0x01, 0x00}));

    Bytes wide;
    EXPECT_TRUE(AppendLength(wide, 254, LengthForm::kWide255));
    EXPECT_TRUE(AppendLength(wide, 255, LengthForm::kWide255));
    EXPECT_TRUE(AppendLength(wide, 65535, LengthForm::kWide255));
    EXPECT_EQ(wide, (Bytes{0x81, 0xFE, 0x82, 0x00, 0xFF, 0x82, 0xFF, 0xFF}));
    EXPECT_FALSE(AppendLength(wide, 65536, LengthForm::kWide255));

    BerWriter w(LengthForm::kWide255);
    size_t mark = w.Open(tag::kSequence);
    w.AddOctets(Bytes(70000, 0x41));
    EXPECT_EQ(w.Close(mark), BerStatus::kTooLong);
}

TEST(BerWriter, NestedConstructedElements) {
    // One result entry as the tag processor builds it: SEQUENCE { OID, value }.
    BerWriter w;
    size_t seq = w.Open(tag::kSequence);
    ASSERT_EQ(w.AddOidText("1.3.6.1.2.1.1.1.0"), BerStatus::kOk);
    w.AddRaw(Bytes{0x04, 0x01, 0x41});
    ASSERT_EQ(w.Close(seq), BerStatus::kOk);
    EXPECT_EQ(w.bytes(), (Bytes{0x30, 0x0D, 0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01, 0x01, 0x01, 0x00,
                                0x04, 0x01, 0x41}));
}

TEST(BerReader, RefusesLengthsPastTheInput) {
    BerElement e;
    EXPECT_EQ(ReadElement(Bytes{0x04, 0x05, 0x41}, &e), BerStatus::kTruncated);
    EXPECT_EQ(ReadElement(Bytes{0x04}, &e), BerStatus::kTruncated);
    EXPECT_EQ(ReadElement(Bytes{0x04, 0x80, 0x00, 0x00}, &e), BerStatus::kBadLength);  // indefinite
    EXPECT_EQ(ReadElement(Bytes{0x04, 0x85, 1, 0, 0, 0, 0}, &e), BerStatus::kBadLength);
    EXPECT_EQ(ReadElement(Bytes{0x04, 0x84, 0xFF, 0xFF, 0xFF, 0xFF, 0x00}, &e), BerStatus::kTruncated);
    EXPECT_EQ(ReadElement(Bytes{0x1F, 0x01, 0x00}, &e), BerStatus::kBadTag);
    ASSERT_EQ(ReadElement(Bytes{0x04, 0x82, 0x00, 0x01, 0x41, 0x99}, &e), BerStatus::kOk);
    EXPECT_EQ(e.content.size(), 1u);
    EXPECT_EQ(e.whole.size(), 5u);

    const Bytes two{0x02, 0x01, 0x05, 0x05, 0x00};
    BerReader r(two);
    EXPECT_EQ(r.Expect(tag::kOctetString, &e), BerStatus::kBadTag);
}

namespace {

using qm::snmp::BerHeader;
using qm::snmp::BerStatus;

TEST(BerCore, HeaderGivesTheExtentBeforeTheContentArrives) {
    const uint8_t longForm[] = {0x30, 0x82, 0x01, 0x00, 0x02};
    BerHeader h;
    ASSERT_EQ(qm::snmp::ReadHeader(longForm, &h), BerStatus::kOk);
    EXPECT_EQ(h.tag, 0x30);
    EXPECT_EQ(h.headerSize, 4u);
    EXPECT_EQ(h.length, 256u);
    qm::snmp::BerElement e;
    EXPECT_EQ(qm::snmp::ReadElement(longForm, &e), BerStatus::kTruncated);

    const uint8_t indefinite[] = {0x30, 0x80, 0x00, 0x00};
    EXPECT_EQ(qm::snmp::ReadHeader(indefinite, &h), BerStatus::kBadLength);
    const uint8_t fiveBytes[] = {0x04, 0x85, 0, 0, 0, 0, 1};
    EXPECT_EQ(qm::snmp::ReadHeader(fiveBytes, &h), BerStatus::kBadLength);
    const uint8_t cutLength[] = {0x04, 0x82, 0x01};
    EXPECT_EQ(qm::snmp::ReadHeader(cutLength, &h), BerStatus::kTruncated);
    const uint8_t one[] = {0x04};
    EXPECT_EQ(qm::snmp::ReadHeader(one, &h), BerStatus::kTruncated);
}

TEST(BerCore, AnyTagByteIsTakenWhenAsked) {
    const uint8_t highTag[] = {0x9F, 0x01, 0x41};
    qm::snmp::BerElement e;
    EXPECT_EQ(qm::snmp::ReadElement(highTag, &e), BerStatus::kBadTag);
    ASSERT_EQ(qm::snmp::ReadElement(highTag, &e, true), BerStatus::kOk);
    EXPECT_EQ(e.tag, 0x9F);
    ASSERT_EQ(e.content.size(), 1u);
    EXPECT_EQ(e.content[0], 0x41);
}

TEST(BerCore, ThirtyTwoBitIntegers) {
    int32_t s = 0;
    const uint8_t minusOne[] = {0xFF};
    ASSERT_EQ(qm::snmp::DecodeInt32(minusOne, &s), BerStatus::kOk);
    EXPECT_EQ(s, -1);
    const uint8_t min[] = {0x80, 0, 0, 0};
    ASSERT_EQ(qm::snmp::DecodeInt32(min, &s), BerStatus::kOk);
    EXPECT_EQ(s, INT32_MIN);
    const uint8_t five[] = {0, 0x80, 0, 0, 0};
    EXPECT_EQ(qm::snmp::DecodeInt32(five, &s), BerStatus::kOutOfRange);
    EXPECT_EQ(qm::snmp::DecodeInt32({}, &s), BerStatus::kBadValue);

    uint32_t u = 0;
    ASSERT_EQ(qm::snmp::DecodeUint32(five, &u), BerStatus::kOk);
    EXPECT_EQ(u, 0x80000000u);
    ASSERT_EQ(qm::snmp::DecodeUint32(minusOne, &u), BerStatus::kOk);
    EXPECT_EQ(u, 0xFFu);
    const uint8_t fiveHigh[] = {1, 0, 0, 0, 0};
    EXPECT_EQ(qm::snmp::DecodeUint32(fiveHigh, &u), BerStatus::kOutOfRange);
    EXPECT_EQ(qm::snmp::DecodeUint32({}, &u), BerStatus::kBadValue);
}

}  // namespace
