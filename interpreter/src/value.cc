// Conversions and operators over page values.
#include "value.h"

#include <charconv>
#include <cstring>

namespace qm::intpr {

Value Value::Cell(int32_t row, int32_t element) const {
    if (row < 0 || element < 0) return {};
    if (!table) {
        if (row == 0 && element == 0) {
            Value v = *this;
            return v;
        }
        return {};
    }
    if (static_cast<size_t>(row) >= table->size()) return {};
    const auto& r = (*table)[row];
    if (static_cast<size_t>(element) >= r.size()) return {};
    return r[element];
}

std::string_view TextForm(const Value& v, std::string& scratch) {
    switch (v.type) {
        case kTagNull: return {};
        case kTagInteger: {
            char buf[16];
            auto [end, ec] = std::to_chars(buf, buf + sizeof buf, v.number);
            (void)ec;
            scratch.assign(buf, end);
            return scratch;
        }
        default: return v.bytes;
    }
}

namespace {

int32_t ParseDecimal(std::string_view s) {
    size_t i = 0;
    while (i < s.size() && (s[i] == ' ' || (s[i] >= '\t' && s[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < s.size() && (s[i] == '+' || s[i] == '-')) negative = s[i++] == '-';
    uint32_t n = 0;
    while (i < s.size() && s[i] >= '0' && s[i] <= '9') n = n * 10u + static_cast<uint32_t>(s[i++] - '0');
    return static_cast<int32_t>(negative ? 0u - n : n);
}

bool IsText(const Value& v) { return v.type == kTagOctetString; }
bool IsTextOrOid(const Value& v) { return v.type == kTagOctetString || v.type == kTagOid; }
bool IsInt(const Value& v) { return v.type == kTagInteger; }

std::string Decimal(int32_t n) {
    char buf[16];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
    (void)ec;
    return std::string(buf, end);
}

// The mask a text stands for in & and |: its first up to four bytes, big-endian from the top.
uint32_t TextMask(std::string_view s) {
    uint32_t m = 0;
    for (size_t i = 0; i < 4; ++i) {
        m <<= 8;
        if (i < s.size()) m |= static_cast<unsigned char>(s[i]);
    }
    return m;
}

int ByteCompare(std::string_view a, std::string_view b) {
    int c = a.compare(b);
    return c < 0 ? -1 : (c > 0 ? 1 : 0);
}

int32_t Wrap(int64_t n) { return static_cast<int32_t>(static_cast<uint32_t>(n)); }

// Integer division that never faults: x / 0 has no value, and the one overflowing quotient
// (INT_MIN / -1) wraps like every other overflow in the language.
Value Divide(int32_t a, int32_t b) {
    if (b == 0) return Value::Null();
    if (b == -1) return Value::Integer(Wrap(-static_cast<int64_t>(a)));
    return Value::Integer(a / b);
}

Value Compare(char op, const Value& l, const Value& r) {
    auto result = [](bool b) { return Value::Integer(b ? 1 : 0); };
    const bool li = IsInt(l), ri = IsInt(r);
    switch (op) {
        case '=':
            if (li && ri) return result(l.number == r.number);
            if (IsText(l) && IsText(r)) return result(l.bytes == r.bytes);
            if (IsTextOrOid(l) && IsTextOrOid(r)) return result(OidOrder(l.bytes, r.bytes) == 0);
            return result(false);
        case '!':
            if (li && ri) return result(l.number != r.number);
            if (IsText(l) && IsText(r)) return Value::Integer(ByteCompare(l.bytes, r.bytes));
            if (IsTextOrOid(l) && IsTextOrOid(r)) return Value::Integer(OidOrder(l.bytes, r.bytes));
            return result(false);
        case '<':
        case '>': {
            const bool less = op == '<';
            auto cmp = [less](int64_t a, int64_t b) { return less ? a < b : a > b; };
            if (li && ri) return result(cmp(l.number, r.number));
            if (li && IsText(r)) return result(cmp(l.number, IntegerForm(r)));
            if (IsText(l) && ri) return result(cmp(IntegerForm(l), r.number));
            if (IsText(l) && IsText(r)) return result(cmp(IntegerForm(l), IntegerForm(r)));
            if (IsTextOrOid(l) && IsTextOrOid(r)) {
                int o = OidOrder(l.bytes, r.bytes);
                return result(less ? o < 0 : o > 0);
            }
            return result(false);
        }
    }
    return result(false);
}

}  // namespace

int32_t IntegerForm(const Value& v) {
    switch (v.type) {
        case kTagNull: return 0;
        case kTagInteger: return v.number;
        default: return ParseDecimal(v.bytes);
    }
}

bool Truth(const Value& v) {
    if (v.type == kTagInteger) return v.number != 0;
    return v.type != kTagNull;
}

int OidOrder(std::string_view a, std::string_view b) {
    for (size_t i = 0;; ++i) {
        if (i == a.size()) return i == b.size() ? 0 : -1;
        if (i == b.size()) return 1;
        if (a[i] == b[i]) continue;
        if (a[i] == '.') return -1;
        if (b[i] == '.') return 1;
        return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[i]) ? -1 : 1;
    }
}

bool ApplyOperator(char op, const Value& l, const Value& r, Value& out) {
    const bool li = IsInt(l), ri = IsInt(r);
    switch (op) {
        case '+':
            if (li && ri) out = Value::Integer(Wrap(int64_t{l.number} + r.number));
            else if (li && IsText(r)) out = Value::Text(Decimal(l.number) + r.bytes);
            else if (IsTextOrOid(l) && ri) out = Value::Text(l.bytes + Decimal(r.number));
            else if (IsTextOrOid(l) && IsText(r)) out = Value::Text(l.bytes + r.bytes);
            else if (l.IsNull()) out = r;
            else out = Value::Null();
            return true;
        case '-':
            if (li && ri) out = Value::Integer(Wrap(int64_t{l.number} - r.number));
            else if (li && IsText(r)) out = Value::Integer(Wrap(int64_t{l.number} - IntegerForm(r)));
            else if (IsTextOrOid(l) && ri) out = Value::Integer(Wrap(int64_t{IntegerForm(l)} - r.number));
            else if (IsTextOrOid(l) && IsText(r)) {
                if (std::string_view(l.bytes).starts_with(r.bytes)) {
                    out = Value::Text(std::string_view(l.bytes).substr(r.bytes.size()));
                } else {
                    out = Value::Null();
                }
            } else out = Value::Null();
            return true;
        case '*':
            if (li && ri) out = Value::Integer(Wrap(int64_t{l.number} * r.number));
            else if (li && IsText(r)) out = Value::Integer(Wrap(int64_t{l.number} * IntegerForm(r)));
            else if (IsText(l) && ri) out = Value::Integer(Wrap(int64_t{IntegerForm(l)} * r.number));
            else out = Value::Null();
            return true;
        case '/':
            if (li && ri) out = Divide(l.number, r.number);
            else if (li && IsText(r)) out = Divide(l.number, IntegerForm(r));
            else if (IsText(l) && ri) out = Divide(IntegerForm(l), r.number);
            else out = Value::Null();
            return true;
        case '&':
        case '|': {
            auto apply = [op](uint32_t a, uint32_t b) { return static_cast<int32_t>(op == '&' ? a & b : a | b); };
            if (li && ri) out = Value::Integer(apply(static_cast<uint32_t>(l.number), static_cast<uint32_t>(r.number)));
            else if (li && IsText(r)) out = Value::Integer(apply(static_cast<uint32_t>(l.number), TextMask(r.bytes)));
            else if (IsText(l) && ri) out = Value::Integer(apply(TextMask(l.bytes), static_cast<uint32_t>(r.number)));
            else out = Value::Null();
            return true;
        }
        case '=':
        case '!':
        case '<':
        case '>':
            out = Compare(op, l, r);
            return true;
        default: return false;
    }
}

}  // namespace qm::intpr
