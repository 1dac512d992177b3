// URL and Base64 coding, and the string splitter.
#include <gtest/gtest.h>

#include "qm/cgi/coding.h"
#include "qm/cgi/splitter.h"

namespace qm::cgi {
namespace {

TEST(UrlCoding, DecodesEscapesAndPlus) {
    EXPECT_EQ(UrlDecode("%41%2b+y"), "A+ y");
    EXPECT_EQ(UrlDecode("%e9%E9"), "\xE9\xE9");
    EXPECT_EQ(UrlDecode("%00x"), std::string("\0x", 2));
    // A "%" without two hexadecimal digits is an ordinary byte, also at the very end.
    EXPECT_EQ(UrlDecode("100%"), "100%");
    EXPECT_EQ(UrlDecode("%4"), "%4");
    EXPECT_EQ(UrlDecode("%zz%4g"), "%zz%4g");
}

TEST(UrlCoding, EncodesEverythingButTheSafeSet) {
    EXPECT_EQ(UrlEncode("a b/\xE9"), "a+b%2F%E9");
    EXPECT_EQ(UrlEncode("AZaz09*-.@_"), "AZaz09*-.@_");
    EXPECT_EQ(UrlEncode(std::string("&=%+\0~", 6)), "%26%3D%25%2B%00%7E");
    std::string all;
    for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
    EXPECT_EQ(UrlDecode(UrlEncode(all)), all);
}

TEST(Base64, MatchesRfcVectorsBothWays) {
    const std::pair<const char*, const char*> vectors[] = {
        {"", ""}, {"f", "Zg=="}, {"fo", "Zm8="}, {"foo", "Zm9v"}, {"foob", "Zm9vYg=="},
        {"fooba", "Zm9vYmE="}, {"foobar", "Zm9vYmFy"}, {"admin:secret", "YWRtaW46c2VjcmV0"}};
    for (auto [plain, coded] : vectors) {
        EXPECT_EQ(Base64Encode(plain), coded);
        EXPECT_EQ(Base64Decode(coded), plain);
    }
    EXPECT_EQ(Base64Decode("Zm9v\r\nYmFy"), "foobar");
    std::string bin("\0\xff\x10", 3);
    EXPECT_EQ(Base64Decode(Base64Encode(bin)), bin);
}

TEST(StringSplitter, SplitsAtWholeSeparatorAndWraps) {
    StringSplitter s("a--b-c----d", "--");
    ASSERT_EQ(s.Count(), 4u);
    EXPECT_EQ(s[0], "a");
    EXPECT_EQ(s[1], "b-c");
    EXPECT_EQ(s[2], "");
    EXPECT_EQ(s[3], "d");
    EXPECT_EQ(s[4], "a");
    StringSplitter bare("word", "=");
    EXPECT_EQ(bare.Count(), 1u);
    EXPECT_EQ(bare[1], "word");
    EXPECT_EQ(StringSplitter("", "&").Count(), 1u);
}

}  // namespace
}  // namespace qm::cgi
