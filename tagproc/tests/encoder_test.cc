// The shared helpers on their own: result encoder bytes, device keys, BER reading, sizes.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "my_functions.h"

namespace qm::tag {
namespace {

std::vector<uint8_t> Seq(const std::vector<SeqEntry>& entries, int* code = nullptr) {
    int size = 0;
    int r = CreateSEQ(entries, nullptr, &size);
    std::vector<uint8_t> out;
    if (r == kBerBufferSmall) {
        out.resize(static_cast<size_t>(size));
        r = CreateSEQ(entries, out.data(), &size);
    }
    if (code) *code = r;
    if (r != 0) out.clear();
    return out;
}

TEST(CreateSeq, SingleEntryGivesTheDocumentedBytes) {
    std::vector<uint8_t> got = Seq({{"1.3.6.1.2.1.1.1.0", {0x04, 0x01, 0x41}}});
    std::vector<uint8_t> want = {0x30, 0x0D, 0x06, 0x08, 0x2B, 0x06, 0x01, 0x02, 0x01,
                                 0x01, 0x01, 0x00, 0x04, 0x01, 0x41};
    EXPECT_EQ(got, want);
}

TEST(CreateSeq, SeveralEntriesAreWrappedAndMissingOidIsNull) {
    std::vector<uint8_t> got = Seq({{"1.3.6", {0x02, 0x01, 0x07}}, {std::nullopt, {0x02, 0x01, 0x08}}});
    // SEQUENCE { SEQUENCE { OID 1.3.6, 7 }, SEQUENCE { NULL, 8 } }: 9 + 7 bytes inside.
    ASSERT_GE(got.size(), 4u);
    EXPECT_EQ(got[0], 0x30);
    EXPECT_EQ(got[1], 16);
    EXPECT_EQ(got.size(), 18u);
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 2, got.begin() + 11),
              (std::vector<uint8_t>{0x30, 0x07, 0x06, 0x02, 0x2B, 0x06, 0x02, 0x01, 0x07}));
    EXPECT_EQ(std::vector<uint8_t>(got.begin() + 11, got.end()),
              (std::vector<uint8_t>{0x30, 0x05, 0x05, 0x00, 0x02, 0x01, 0x08}));
}

// Content of n bytes inside the single SEQUENCE: NULL (2 bytes) plus an OCTET STRING.
std::vector<uint8_t> SeqWithContent(size_t n, int* code = nullptr) {
    // OCTET STRING header is 2, 3 or 4 bytes depending on its own length.
    size_t valueLen = n - 2;
    std::vector<uint8_t> value = {0x04};
    size_t body = valueLen;  // solve header + body = valueLen
    for (size_t h = 2; h <= 4; ++h) {
        body = valueLen - h;
        size_t need = body < 128 ? 2 : body < 256 ? 3 : 4;
        if (need == h) break;
    }
    if (body < 128) value.push_back(static_cast<uint8_t>(body));
    else if (body < 256) value.insert(value.end(), {0x81, static_cast<uint8_t>(body)});
    else value.insert(value.end(), {0x82, static_cast<uint8_t>(body >> 8), static_cast<uint8_t>(body)});
    value.resize(value.size() + body, 'x');
    return Seq({{std::nullopt, value}}, code);
}

TEST(CreateSeq, LengthForms) {
    std::vector<uint8_t> s = SeqWithContent(127);
    EXPECT_EQ(s[1], 127);
    s = SeqWithContent(128);
    EXPECT_EQ(std::vector<uint8_t>(s.begin() + 1, s.begin() + 3), (std::vector<uint8_t>{0x81, 128}));
    s = SeqWithContent(254);
    EXPECT_EQ(std::vector<uint8_t>(s.begin() + 1, s.begin() + 3), (std::vector<uint8_t>{0x81, 254}));
    s = SeqWithContent(255);
    EXPECT_EQ(std::vector<uint8_t>(s.begin() + 1, s.begin() + 4), (std::vector<uint8_t>{0x82, 0x00, 0xFF}));
    EXPECT_EQ(s.size(), 255u + 4);
    s = SeqWithContent(65535);
    EXPECT_EQ(std::vector<uint8_t>(s.begin() + 1, s.begin() + 4), (std::vector<uint8_t>{0x82, 0xFF, 0xFF}));
    int code = 0;
    s = SeqWithContent(65536, &code);
    EXPECT_EQ(code, kBerTooLong);
    EXPECT_TRUE(s.empty());
}

TEST(CreateSeq, TooSmallBufferReportsTheSizeAndBadOidsAreRefused) {
    std::vector<SeqEntry> e = {{"1.3.6.1.2.1.1.1.0", {0x04, 0x01, 0x41}}};
    uint8_t small[4];
    int size = sizeof small;
    EXPECT_EQ(CreateSEQ(e, small, &size), kBerBufferSmall);
    EXPECT_EQ(size, 15);
    int code = 0;
    Seq({{"1.3.6.12345678901", {0x05, 0x00}}}, &code);  // 11-digit arc
    EXPECT_EQ(code, kBerBadOid);
    Seq({{"1.3.4294967296", {0x05, 0x00}}}, &code);     // 10 digits above 2^32 - 1
    EXPECT_EQ(code, kBerBadOid);
    std::vector<uint8_t> big = Seq({{"1.3.4294967295", {0x05, 0x00}}}, &code);
    EXPECT_EQ(code, 0);
    // 4294967295 in base 128: 0x8F 0xFF 0xFF 0xFF 0x7F.
    EXPECT_EQ(std::vector<uint8_t>(big.begin() + 4, big.begin() + 10),
              (std::vector<uint8_t>{0x2B, 0x8F, 0xFF, 0xFF, 0xFF, 0x7F}));
}

TEST(DeviceKey, FieldsLimitsAndIndex) {
    DeviceKey k;
    ASSERT_EQ(SetDevKeyInfo("1A;127.0.0.31;;0050C2A10001;", &k), 0);
    EXPECT_EQ(k.type, "26");
    EXPECT_EQ(k.ip, "127.0.0.31");
    EXPECT_EQ(k.ipx, "");
    EXPECT_EQ(k.mac, "0050C2A10001");
    EXPECT_EQ(k.index, "1");  // empty index means 1
    EXPECT_EQ(k.dbKey, "1A;127.0.0.31;;0050C2A10001;");

    ASSERT_EQ(SetDevKeyInfo("1;10.0.0.1;;;ff;extra;more", &k), 0);
    EXPECT_EQ(k.index, "255");
    EXPECT_EQ(k.dbKey, "1;10.0.0.1;;;ff");  // fields after the fifth are not part of the key

    EXPECT_EQ(SetDevKeyInfo("1;10.0.0.1;;", &k), -3);                       // four fields
    EXPECT_EQ(SetDevKeyInfo("123456789;10.0.0.1;;;1", &k), -3);             // type of 9
    EXPECT_EQ(SetDevKeyInfo("12345678;10.0.0.1;;;FFFFFFFF", &k), 0);        // 8 and 8 are fine
    EXPECT_EQ(k.index, "4294967295");
    EXPECT_EQ(SetDevKeyInfo("1;1234567890123456;;;1", &k), -3);             // IP of 16
    EXPECT_EQ(SetDevKeyInfo("1;;123456789012345678901;;1", &k), -3);        // IPX of 21
    EXPECT_EQ(SetDevKeyInfo("1;10.0.0.1;;1234567890123;1", &k), -3);        // MAC of 13
    EXPECT_EQ(SetDevKeyInfo("1;10.0.0.1;;;123456789", &k), -3);             // index of 9
    EXPECT_EQ(SetDevKeyInfo("1;10.0.0.1;;;1x", &k), -3);                    // not hexadecimal
}

TEST(OidList, SplitKeepsEmptyPieces) {
    EXPECT_EQ(SplitOidList("1.3.6.1;1.3.6.2"), (std::vector<std::string>{"1.3.6.1", "1.3.6.2"}));
    EXPECT_EQ(SplitOidList("1.3;"), (std::vector<std::string>{"1.3", ""}));
    EXPECT_EQ(SplitOidList(""), (std::vector<std::string>{""}));
}

TEST(BerRead, InfoAndNumbers) {
    BerInfo info;
    const std::vector<uint8_t> longForm = {0x04, 0x81, 0x02, 'h', 'i'};
    ASSERT_EQ(GetBERInfo(longForm, &info), 0);
    EXPECT_EQ(info.tag, 0x04);
    EXPECT_EQ(info.content.size(), 2u);
    EXPECT_EQ(GetBERInfo(std::vector<uint8_t>{0x04, 0x05, 'a'}, &info), kBerMissing);  // runs past the end
    EXPECT_EQ(GetBERInfo(std::vector<uint8_t>{0x04}, &info), kBerMissing);
    ASSERT_EQ(GetBERInfo(std::vector<uint8_t>{0x80, 0x00}, &info), 0);
    EXPECT_TRUE(info.content.empty());

    int32_t s = 0;
    uint32_t u = 0;
    EXPECT_EQ(DecodeINT(std::vector<uint8_t>{0xFF}, &s), 0);
    EXPECT_EQ(s, -1);
    EXPECT_EQ(DecodeINT(std::vector<uint8_t>{0x00, 0x80}, &s), 0);
    EXPECT_EQ(s, 128);
    EXPECT_EQ(DecodeINT(std::vector<uint8_t>{0x80, 0, 0, 0}, &s), 0);
    EXPECT_EQ(s, INT32_MIN);
    EXPECT_EQ(DecodeINT(std::vector<uint8_t>{1, 2, 3, 4, 5}, &s), kBerMissing);
    EXPECT_EQ(DecodeINT(std::vector<uint8_t>{1}, nullptr), kBerNoOutput);
    EXPECT_EQ(DecodeUINT(std::vector<uint8_t>{0xFF, 0xFF, 0xFF, 0xFF}, &u), 0);
    EXPECT_EQ(u, 0xFFFFFFFFu);
    EXPECT_EQ(DecodeUINT(std::vector<uint8_t>{0x00, 0xFF, 0xFF, 0xFF, 0xFF}, &u), 0);  // Gauge with sign byte
    EXPECT_EQ(DecodeUINT(std::vector<uint8_t>{1, 0, 0, 0, 0}, &u), kBerMissing);

    char buf[3];
    int size = sizeof buf;
    EXPECT_EQ(DecodeSTR(std::vector<uint8_t>{'a', 'b', 'c'}, buf, &size), kBerBufferSmall);
    EXPECT_EQ(size, 4);
    size = 3;
    EXPECT_EQ(DecodeSTR(std::vector<uint8_t>{'a', 'b'}, buf, &size), 0);
    EXPECT_STREQ(buf, "ab");
}

TEST(StorageSize, UnitsAndRounding) {
    EXPECT_EQ(FormatStorageSize(0), "0Byte");
    EXPECT_EQ(FormatStorageSize(1023), "1023Byte");
    EXPECT_EQ(FormatStorageSize(1024), "1KB");
    EXPECT_EQ(FormatStorageSize(1535), "1KB");
    EXPECT_EQ(FormatStorageSize(1536), "2KB");
    EXPECT_EQ(FormatStorageSize(1048576), "1MB");
    EXPECT_EQ(FormatStorageSize(1073741824), "1GB");
    EXPECT_EQ(FormatStorageSize(4294967295ULL * 4294967295ULL), "17179869176GB");
}

}  // namespace
}  // namespace qm::tag
