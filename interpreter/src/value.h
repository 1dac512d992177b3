// Typed values of the page language: BER-tagged scalars, and tables decoded from tag results.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace qm::intpr {

// BER tags the language gives a meaning to; any other tag is carried as raw content.
inline constexpr uint8_t kTagInteger = 0x02;
inline constexpr uint8_t kTagOctetString = 0x04;
inline constexpr uint8_t kTagNull = 0x05;
inline constexpr uint8_t kTagOid = 0x06;

struct Value;
// A decoded tag result: rows of elements. Shared and immutable, so copying a value that holds a
// table is as good as a deep copy and costs nothing.
using Table = std::vector<std::vector<Value>>;

struct Value {
    uint8_t type = kTagNull;
    int32_t number = 0;      // meaningful for INTEGER
    std::string bytes;       // content for every type but NULL and INTEGER
    std::shared_ptr<const Table> table;  // set only when there is more than one cell

    static Value Null() { return {}; }
    static Value Integer(int32_t n) {
        Value v;
        v.type = kTagInteger;
        v.number = n;
        return v;
    }
    static Value Tagged(uint8_t tag, std::string_view content) {
        Value v;
        v.type = tag;
        v.bytes.assign(content);
        return v;
    }
    static Value Text(std::string_view s) { return Tagged(kTagOctetString, s); }

    bool IsNull() const { return type == kTagNull; }
    bool IsTable() const { return table != nullptr; }
    // Back to NULL, keeping the text buffer's storage for the next use.
    void Reset() {
        type = kTagNull;
        number = 0;
        if (!bytes.empty()) bytes.clear();
        if (table) table.reset();
    }

    // Row i, element j (0-based); NULL past the end. For a plain value only (0, 0) exists.
    Value Cell(int32_t row, int32_t element) const;
};

// Text form: NULL has none (empty), INTEGER is its decimal text, every other type its bytes.
// `scratch` holds the digits of an INTEGER.
std::string_view TextForm(const Value& v, std::string& scratch);
// Integer form: NULL 0, INTEGER its number, other types the bytes read as a decimal number
// (leading white space, optional sign, digits; wraps around in 32 bits).
int32_t IntegerForm(const Value& v);
bool Truth(const Value& v);
// Order of two dotted object identifiers, "." lowest: -1, 0 or 1.
int OidOrder(std::string_view a, std::string_view b);

// Applies a binary operator ('+', '-', '*', '/', '&', '|', '=', '!', '<', '>'); false for any
// other operator byte. Operands are used as they are, strictly left to right.
bool ApplyOperator(char op, const Value& left, const Value& right, Value& result);

}  // namespace qm::intpr
