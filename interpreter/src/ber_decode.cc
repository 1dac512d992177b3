// BER result decoding: definite lengths only, every length checked against what is left.
#include "ber_decode.h"

#include <charconv>
#include <string>
#include <vector>

#include "qm/snmp/ber.h"

namespace qm::intpr {

namespace {

constexpr uint8_t kSequence = 0x30;
constexpr uint8_t kIpAddress = 0x40;
constexpr uint8_t kCounter = 0x41;
constexpr uint8_t kGauge = 0x42;
constexpr uint8_t kTimeTicks = 0x43;
constexpr size_t kMaxOidText = 128;

struct Tlv {
    uint8_t tag = 0;
    std::span<const uint8_t> content;
};

// Reads one TLV at the front of `in` and advances past it.
bool ReadTlv(std::span<const uint8_t>& in, Tlv& tlv) {
    if (in.size() < 2) return false;
    tlv.tag = in[0];
    size_t pos = 1;
    size_t length = in[pos++];
    if (length & 0x80) {
        size_t n = length & 0x7F;
        // 0x80 alone would be an indefinite length, which results never use.
        if (n == 0 || n > 4 || in.size() - pos < n) return false;
        length = 0;
        for (size_t i = 0; i < n; ++i) length = (length << 8) | in[pos++];
    }
    if (in.size() - pos < length) return false;
    tlv.content = in.subspan(pos, length);
    in = in.subspan(pos + length);
    return true;
}

void AppendNumber(std::string& s, uint64_t n) {
    char buf[24];
    auto [end, ec] = std::to_chars(buf, buf + sizeof buf, n);
    (void)ec;
    s.append(buf, end);
}

bool DecodeOid(std::span<const uint8_t> c, std::string& text) {
    if (c.empty()) return true;
    AppendNumber(text, c[0] / 40);
    text.push_back('.');
    AppendNumber(text, c[0] % 40);
    uint32_t sub = 0;
    bool pending = false;
    for (size_t i = 1; i < c.size(); ++i) {
        sub = (sub << 7) | (c[i] & 0x7F);
        pending = true;
        if (!(c[i] & 0x80)) {
            text.push_back('.');
            AppendNumber(text, sub);
            sub = 0;
            pending = false;
        }
        if (text.size() > kMaxOidText) return false;
    }
    // A sub-identifier whose last byte still says "more follows" is cut off.
    return !pending && text.size() <= kMaxOidText;
}

bool DecodeElement(const Tlv& tlv, Value& v) {
    const auto& c = tlv.content;
    switch (tlv.tag) {
        case kTagInteger: {
            // 1 to 4 bytes, two's complement; no content is 0, more than 4 bytes NULL.
            int32_t n = 0;
            switch (qm::snmp::DecodeInt32(c, &n)) {
                case qm::snmp::BerStatus::kOk: v = Value::Integer(n); break;
                case qm::snmp::BerStatus::kBadValue: v = Value::Integer(0); break;
                default: v = Value::Null(); break;
            }
            return true;
        }
        case kCounter:
        case kGauge:
        case kTimeTicks: {
            // Unsigned, wrapping to negative from 2^31 as 32-bit values do. Agents put a zero
            // byte before a value whose top bit is set, so five bytes with a leading zero are
            // a 32-bit value like any other (an uptime past 248 days, a large counter).
            uint32_t n = 0;
            switch (qm::snmp::DecodeUint32(c, &n)) {
                case qm::snmp::BerStatus::kOk: v = Value::Integer(static_cast<int32_t>(n)); break;
                case qm::snmp::BerStatus::kBadValue: v = Value::Integer(0); break;
                default: v = Value::Null(); break;
            }
            return true;
        }
        case kTagOid: {
            std::string text;
            if (!DecodeOid(c, text)) return false;
            v = Value::Tagged(kTagOid, text);
            return true;
        }
        case kIpAddress: {
            std::string text;
            for (size_t i = 0; i < c.size(); ++i) {
                if (i) text.push_back('.');
                AppendNumber(text, c[i]);
            }
            v = Value::Text(text);
            return true;
        }
        case kTagNull:
            v = Value::Null();
            return true;
        default:
            v = Value::Tagged(tlv.tag, std::string_view(reinterpret_cast<const char*>(c.data()), c.size()));
            return true;
    }
}

// The elements of one row; a SEQUENCE after the first element is not allowed.
bool DecodeRow(std::span<const uint8_t> content, std::vector<Value>& row) {
    bool first = true;
    while (!content.empty()) {
        Tlv tlv;
        if (!ReadTlv(content, tlv)) return false;
        if (!first && tlv.tag == kSequence) return false;
        first = false;
        Value v;
        if (!DecodeElement(tlv, v)) return false;
        row.push_back(std::move(v));
    }
    return true;
}

}  // namespace

size_t BerExtent(const uint8_t* block, size_t available) {
    if (!block || available < 2) return 0;
    size_t length = block[1];
    size_t header = 2;
    if (length & 0x80) {
        size_t n = length & 0x7F;
        if (n == 0 || n > 4 || available < 2 + n) return 0;
        length = 0;
        for (size_t i = 0; i < n; ++i) length = (length << 8) | block[2 + i];
        header += n;
    }
    return header + length;
}

bool DecodeBerResult(std::span<const uint8_t> block, Value& out) {
    out = Value::Null();
    if (block.empty()) return false;
    if (block[0] == kTagNull) return true;
    Tlv outer;
    if (!ReadTlv(block, outer)) return false;
    if (outer.tag != kSequence) {
        if (DecodeElement(outer, out)) return true;
        out = Value::Null();
        return false;
    }

    Table rows;
    std::span<const uint8_t> content = outer.content;
    if (!content.empty() && content[0] == kSequence) {
        while (!content.empty()) {
            Tlv row;
            if (!ReadTlv(content, row) || row.tag != kSequence) return false;
            rows.emplace_back();
            if (!DecodeRow(row.content, rows.back())) return false;
        }
    } else {
        rows.emplace_back();
        if (!DecodeRow(content, rows.back())) return false;
    }

    const bool single = rows.size() == 1 && rows[0].size() <= 1;
    if (!rows.empty() && !rows[0].empty()) out = rows[0][0];
    if (!single) out.table = std::make_shared<const Table>(std::move(rows));
    return true;
}

}  // namespace qm::intpr
