// Operators and conversions of page values.
#include <gtest/gtest.h>

#include <climits>

#include "value.h"

namespace qm::intpr {
namespace {

Value Op(char op, const Value& l, const Value& r) {
    Value out;
    EXPECT_TRUE(ApplyOperator(op, l, r, out));
    return out;
}

Value I(int32_t n) { return Value::Integer(n); }
Value S(std::string_view s) { return Value::Text(s); }
Value O(std::string_view s) { return Value::Tagged(kTagOid, s); }

void ExpectInt(const Value& v, int32_t n) {
    EXPECT_EQ(v.type, kTagInteger);
    EXPECT_EQ(v.number, n);
}
void ExpectText(const Value& v, std::string_view s) {
    EXPECT_EQ(v.type, kTagOctetString);
    EXPECT_EQ(v.bytes, s);
}

TEST(ValueArithmetic, MixedTypes) {
    ExpectText(Op('-', S("abc"), S("ab")), "c");
    EXPECT_TRUE(Op('-', S("abc"), S("x")).IsNull());
    ExpectText(Op('+', S("12"), I(3)), "123");
    ExpectText(Op('+', I(3), S("12")), "312");
    ExpectText(Op('+', O("1.3"), I(6)), "1.36");
    ExpectText(Op('+', O("1.3"), S(".6")), "1.3.6");
    ExpectInt(Op('*', S("12"), I(3)), 36);
    ExpectInt(Op('-', I(10), S("  -4xyz")), 14);
    ExpectInt(Op('-', S("abc"), I(1)), -1);  // a text without digits counts as 0
    ExpectInt(Op('+', Value::Null(), I(5)), 5);
    ExpectText(Op('+', Value::Null(), S("t")), "t");
    EXPECT_TRUE(Op('+', I(5), Value::Null()).IsNull());
    EXPECT_TRUE(Op('*', S("2"), S("3")).IsNull());
    EXPECT_TRUE(Op('+', S("a"), O("1.3")).IsNull());
    ExpectInt(Op('+', I(INT_MAX), I(1)), INT_MIN);  // wraps, never traps
}

TEST(ValueArithmetic, DivisionNeverFaults) {
    ExpectInt(Op('/', I(-7), I(2)), -3);
    ExpectInt(Op('/', S("9"), I(3)), 3);
    EXPECT_TRUE(Op('/', I(1), I(0)).IsNull());
    EXPECT_TRUE(Op('/', I(1), S("zero")).IsNull());
    ExpectInt(Op('/', I(INT_MIN), I(-1)), INT_MIN);
}

TEST(ValueBits, TextMasksArePackedFromTheTop) {
    ExpectInt(Op('&', I(-1), S("\x01\x02")), 0x01020000);
    ExpectInt(Op('|', S("A"), I(1)), 0x41000001);
    ExpectInt(Op('&', I(0xF0), I(0x3C)), 0x30);
    EXPECT_TRUE(Op('&', S("a"), S("b")).IsNull());
}

TEST(ValueComparison, IntegersTextsAndOids) {
    ExpectInt(Op('=', I(1), S("1")), 0);
    ExpectInt(Op('<', I(1), S("2")), 1);
    ExpectInt(Op('>', S("10"), S("9")), 1);  // texts compare by their integer form
    ExpectInt(Op('=', S("ab"), S("ab")), 1);
    ExpectInt(Op('!', S("ab"), S("ac")), -1);
    ExpectInt(Op('!', S("b"), S("a")), 1);
    ExpectInt(Op('!', I(2), I(2)), 0);
    ExpectInt(Op('=', O("1.3.6"), S("1.3.6")), 1);
    ExpectInt(Op('<', O("1.3.6.1.10"), O("1.3.6.1.9")), 1);
    ExpectInt(Op('>', S("1.3.6.1.2"), O("1.3.6.1")), 1);
    ExpectInt(Op('!', O("1.3.6.1"), O("1.3.6.1.2")), -1);
    ExpectInt(Op('=', Value::Null(), Value::Null()), 0);
    ExpectInt(Op('<', O("1"), I(5)), 0);
    Value out;
    EXPECT_FALSE(ApplyOperator('%', I(1), I(2), out));
}

TEST(ValueConversions, TextIntegerAndTruth) {
    std::string scratch;
    EXPECT_EQ(TextForm(I(-42), scratch), "-42");
    EXPECT_EQ(TextForm(Value::Null(), scratch), "");
    EXPECT_EQ(IntegerForm(S(" +17 apples")), 17);
    EXPECT_EQ(IntegerForm(S("4294967297")), 1);
    EXPECT_TRUE(Truth(S("")));
    EXPECT_FALSE(Truth(I(0)));
    EXPECT_FALSE(Truth(Value::Null()));
    EXPECT_EQ(OidOrder("1.3", "1.3"), 0);
    EXPECT_EQ(OidOrder("1.3", "1.3.1"), -1);
    EXPECT_EQ(OidOrder("1.3.1", "1.3"), 1);
    EXPECT_EQ(OidOrder("1.4", "1.3"), 1);
}

}  // namespace
}  // namespace qm::intpr
