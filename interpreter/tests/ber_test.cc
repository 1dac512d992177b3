// Decoding of tag results into values and tables.
#include <gtest/gtest.h>

#include <vector>

#include "ber_decode.h"

namespace qm::intpr {
namespace {

bool Decode(std::vector<uint8_t> bytes, Value& v) { return DecodeBerResult(bytes, v); }

TEST(BerDecode, ScalarElements) {
    Value v;
    ASSERT_TRUE(Decode({0x02, 0x01, 0xFF}, v));
    EXPECT_EQ(v.type, kTagInteger);
    EXPECT_EQ(v.number, -1);
    ASSERT_TRUE(Decode({0x41, 0x04, 0xFF, 0xFF, 0xFF, 0xFF}, v));
    EXPECT_EQ(v.number, -1);
    ASSERT_TRUE(Decode({0x43, 0x02, 0x01, 0x00}, v));
    EXPECT_EQ(v.number, 256);
    ASSERT_TRUE(Decode({0x02, 0x05, 1, 2, 3, 4, 5}, v));
    EXPECT_TRUE(v.IsNull());
    ASSERT_TRUE(Decode({0x40, 0x04, 192, 168, 0, 7}, v));
    EXPECT_EQ(v.type, kTagOctetString);
    EXPECT_EQ(v.bytes, "192.168.0.7");
    ASSERT_TRUE(Decode({0x06, 0x07, 0x2B, 6, 1, 2, 1, 0x82, 0x01}, v));
    EXPECT_EQ(v.type, kTagOid);
    EXPECT_EQ(v.bytes, "1.3.6.1.2.1.257");
    ASSERT_TRUE(Decode({0x04, 0x00}, v));
    EXPECT_EQ(v.type, kTagOctetString);
    EXPECT_EQ(v.bytes, "");
    ASSERT_TRUE(Decode({0x80, 0x02, 'h', 'i'}, v));  // any other tag keeps its raw content
    EXPECT_EQ(v.type, 0x80);
    EXPECT_EQ(v.bytes, "hi");
    ASSERT_TRUE(Decode({0x05, 0x00}, v));
    EXPECT_TRUE(v.IsNull());
}

TEST(BerDecode, UnsignedValuesOfTwoToThe31AndAbove) {
    // Agents send them in five bytes with a leading zero (an uptime past 248 days, a large
    // counter); they decode like the four-byte form, wrapping as 32-bit values do.
    Value v;
    for (uint8_t tag : {0x41, 0x42, 0x43}) {
        ASSERT_TRUE(Decode({tag, 0x05, 0x00, 0x80, 0x00, 0x00, 0x00}, v));
        EXPECT_EQ(v.type, kTagInteger);
        EXPECT_EQ(v.number, INT32_MIN) << int{tag};
        ASSERT_TRUE(Decode({tag, 0x05, 0x00, 0xFF, 0xFF, 0xFF, 0xFE}, v));
        EXPECT_EQ(v.number, -2);
    }
    ASSERT_TRUE(Decode({0x30, 0x09, 0x43, 0x05, 0x00, 0x9A, 0x7E, 0xC8, 0x00, 0x02, 0x00}, v));
    EXPECT_EQ(static_cast<uint32_t>(v.number), 0x9A7EC800u);
    // Anything longer is still no 32-bit value.
    ASSERT_TRUE(Decode({0x41, 0x05, 0x01, 0x00, 0x00, 0x00, 0x00}, v));
    EXPECT_TRUE(v.IsNull());
    ASSERT_TRUE(Decode({0x41, 0x06, 0x00, 0x00, 0x01, 0x00, 0x00, 0x00}, v));
    EXPECT_TRUE(v.IsNull());
}

TEST(BerDecode, SequenceOfSequencesIsATable) {
    Value v;
    ASSERT_TRUE(Decode({0x30, 0x14,
                        0x30, 0x08, 0x06, 0x03, 0x2B, 6, 1, 0x02, 0x01, 0x07,
                        0x30, 0x08, 0x06, 0x03, 0x2B, 6, 2, 0x02, 0x01, 0x09}, v));
    ASSERT_TRUE(v.IsTable());
    EXPECT_EQ(v.Cell(0, 0).bytes, "1.3.6.1");
    EXPECT_EQ(v.Cell(0, 1).number, 7);
    EXPECT_EQ(v.Cell(1, 0).bytes, "1.3.6.2");
    EXPECT_EQ(v.Cell(1, 1).type, kTagInteger);
    EXPECT_TRUE(v.Cell(2, 0).IsNull());
    EXPECT_TRUE(v.Cell(0, 2).IsNull());
    // The node itself is row 0, element 0.
    EXPECT_EQ(v.type, kTagOid);
}

TEST(BerDecode, OneRowAndLongLengths) {
    std::vector<uint8_t> block = {0x30, 0x81, 0x88, 0x06, 0x02, 0x2B, 0x06, 0x04, 0x81, 0x81};
    block.insert(block.end(), 0x81, 'x');
    Value v;
    ASSERT_TRUE(Decode(block, v));
    ASSERT_TRUE(v.IsTable());
    EXPECT_EQ(v.Cell(0, 0).bytes, "1.3.6");
    EXPECT_EQ(v.Cell(0, 1).bytes.size(), 0x81u);
    EXPECT_TRUE(v.Cell(1, 0).IsNull());
    EXPECT_EQ(BerExtent(block.data(), block.size()), block.size());
}

TEST(BerDecode, MalformedBlocksFail) {
    Value v;
    for (const std::vector<uint8_t>& bad : std::vector<std::vector<uint8_t>>{
             {},
             {0x02},
             {0x02, 0x03, 0x01},                         // content cut short
             {0x30, 0x03, 0x02, 0x02, 0x01},             // element longer than its SEQUENCE
             {0x30, 0x04, 0x02, 0x01, 0x01, 0x00},       // leftover byte inside the SEQUENCE
             {0x30, 0x06, 0x02, 0x01, 0x01, 0x30, 0x01, 0x05},  // SEQUENCE after the first element
             {0x30, 0x05, 0x30, 0x00, 0x02, 0x01, 0x01},  // rows must all be SEQUENCEs
             {0x30, 0x80, 0x00, 0x00},                   // indefinite length
             {0x04, 0x85, 0, 0, 0, 0, 1},                // five length bytes
             {0x06, 0x02, 0x2B, 0x86},                   // sub-identifier cut off
         }) {
        EXPECT_FALSE(Decode(bad, v)) << ::testing::PrintToString(bad);
        EXPECT_TRUE(v.IsNull());
    }
    // An identifier text longer than 128 bytes is refused.
    std::vector<uint8_t> oid = {0x06, 70, 0x2B};
    oid.insert(oid.end(), 69, 0x7F);
    EXPECT_FALSE(Decode(oid, v));
}

}  // namespace
}  // namespace qm::intpr
