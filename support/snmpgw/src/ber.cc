// BER encoder and bounds-checked decoder for the SNMP subset of ASN.1.
#include "qm/snmp/ber.h"

#include <algorithm>

namespace qm::snmp {

const char* BerStatusText(BerStatus status) {
    switch (status) {
        case BerStatus::kOk: return "ok";
        case BerStatus::kTruncated: return "truncated element";
        case BerStatus::kBadLength: return "bad length";
        case BerStatus::kBadTag: return "unexpected tag";
        case BerStatus::kBadValue: return "bad value";
        case BerStatus::kOutOfRange: return "number out of range";
        case BerStatus::kBadOidText: return "bad object identifier text";
        case BerStatus::kTooLong: return "content too long";
    }
    return "unknown";
}

bool AppendLength(std::vector<uint8_t>& out, size_t length, LengthForm form) {
    if (form == LengthForm::kWide255) {
        if (length < 128) {
            out.push_back(static_cast<uint8_t>(length));
        } else if (length < 255) {
            out.push_back(0x81);
            out.push_back(static_cast<uint8_t>(length));
        } else if (length <= 0xFFFF) {
            out.push_back(0x82);
            out.push_back(static_cast<uint8_t>(length >> 8));
            out.push_back(static_cast<uint8_t>(length));
        } else {
            return false;
        }
        return true;
    }
    if (length < 128) {
        out.push_back(static_cast<uint8_t>(length));
        return true;
    }
    if (length > 0xFFFFFFFFu) return false;
    uint8_t bytes[4];
    int n = 0;
    for (size_t v = length; v != 0; v >>= 8) bytes[n++] = static_cast<uint8_t>(v);
    out.push_back(static_cast<uint8_t>(0x80 | n));
    while (n > 0) out.push_back(bytes[--n]);
    return true;
}

// ---- OBJECT IDENTIFIERs -----------------------------------------------------------------

BerStatus ParseOidText(std::string_view text, Oid* out) {
    out->clear();
    if (!text.empty() && text.front() == '.') text.remove_prefix(1);
    if (text.empty()) return BerStatus::kBadOidText;
    size_t pos = 0;
    while (true) {
        size_t dot = text.find('.', pos);
        std::string_view arc = text.substr(pos, dot == std::string_view::npos ? text.npos : dot - pos);
        if (arc.empty() || arc.size() > 10) return BerStatus::kBadOidText;
        uint64_t value = 0;
        for (char c : arc) {
            if (c < '0' || c > '9') return BerStatus::kBadOidText;
            value = value * 10 + static_cast<uint64_t>(c - '0');
        }
        if (value > 0xFFFFFFFFu) return BerStatus::kBadOidText;
        out->push_back(static_cast<uint32_t>(value));
        if (dot == std::string_view::npos) break;
        pos = dot + 1;
    }
    if (out->size() < 2 || (*out)[0] > 2 || ((*out)[0] < 2 && (*out)[1] >= 40)) {
        out->clear();
        return BerStatus::kBadOidText;
    }
    return BerStatus::kOk;
}

std::string OidToText(std::span<const uint32_t> oid) {
    std::string text;
    text.reserve(oid.size() * 4);
    for (size_t i = 0; i < oid.size(); ++i) {
        if (i) text.push_back('.');
        text += std::to_string(oid[i]);
    }
    return text;
}

bool OidIsBelow(std::span<const uint32_t> oid, std::span<const uint32_t> root) {
    return oid.size() > root.size() && std::equal(root.begin(), root.end(), oid.begin());
}

int OidCompare(std::span<const uint32_t> a, std::span<const uint32_t> b) {
    size_t n = std::min(a.size(), b.size());
    for (size_t i = 0; i < n; ++i) {
        if (a[i] != b[i]) return a[i] < b[i] ? -1 : 1;
    }
    if (a.size() == b.size()) return 0;
    return a.size() < b.size() ? -1 : 1;
}

// ---- Encoding ---------------------------------------------------------------------------

void BerWriter::AddHeader(uint8_t tagByte, size_t length) {
    out_.push_back(tagByte);
    if (!AppendLength(out_, length, form_)) {
        status_ = BerStatus::kTooLong;
        out_.push_back(0);  // keeps the writer's layout sane; the status marks it unusable
    }
}

void BerWriter::AddInteger(int64_t value, uint8_t tagByte) {
    uint8_t bytes[8];
    int n = 0;
    // Emit the shortest two's-complement form: drop leading bytes that only repeat the sign.
    for (int i = 7; i >= 0; --i) bytes[7 - i] = static_cast<uint8_t>(static_cast<uint64_t>(value) >> (i * 8));
    int start = 0;
    while (start < 7 && ((bytes[start] == 0x00 && !(bytes[start + 1] & 0x80)) ||
                         (bytes[start] == 0xFF && (bytes[start + 1] & 0x80)))) {
        ++start;
    }
    n = 8 - start;
    AddHeader(tagByte, static_cast<size_t>(n));
    out_.insert(out_.end(), bytes + start, bytes + 8);
}

void BerWriter::AddUnsigned(uint64_t value, uint8_t tagByte) {
    uint8_t bytes[9];
    int n = 0;
    do {
        bytes[n++] = static_cast<uint8_t>(value);
        value >>= 8;
    } while (value != 0);
    if (bytes[n - 1] & 0x80) bytes[n++] = 0;
    AddHeader(tagByte, static_cast<size_t>(n));
    while (n > 0) out_.push_back(bytes[--n]);
}

void BerWriter::AddOctets(std::span<const uint8_t> bytes, uint8_t tagByte) {
    AddHeader(tagByte, bytes.size());
    out_.insert(out_.end(), bytes.begin(), bytes.end());
}

void BerWriter::AddText(std::string_view text, uint8_t tagByte) {
    AddOctets({reinterpret_cast<const uint8_t*>(text.data()), text.size()}, tagByte);
}

void BerWriter::AddNull(uint8_t tagByte) { AddHeader(tagByte, 0); }

static void AppendSubIdentifier(std::vector<uint8_t>& out, uint64_t value) {
    uint8_t groups[10];
    int n = 0;
    do {
        groups[n++] = static_cast<uint8_t>(value & 0x7F);
        value >>= 7;
    } while (value != 0);
    while (n > 1) out.push_back(static_cast<uint8_t>(groups[--n] | 0x80));
    out.push_back(groups[0]);
}

void BerWriter::AddOid(std::span<const uint32_t> oid) {
    std::vector<uint8_t> content;
    content.reserve(oid.size() + 4);
    if (oid.size() >= 2) {
        AppendSubIdentifier(content, uint64_t{oid[0]} * 40 + oid[1]);
        for (size_t i = 2; i < oid.size(); ++i) AppendSubIdentifier(content, oid[i]);
    } else if (oid.size() == 1) {
        AppendSubIdentifier(content, uint64_t{oid[0]} * 40);
    }
    AddOctets(content, tag::kOid);
}

BerStatus BerWriter::AddOidText(std::string_view dotted) {
    Oid oid;
    BerStatus status = ParseOidText(dotted, &oid);
    if (status != BerStatus::kOk) return status;
    AddOid(oid);
    return BerStatus::kOk;
}

void BerWriter::AddRaw(std::span<const uint8_t> element) {
    out_.insert(out_.end(), element.begin(), element.end());
}

size_t BerWriter::Open(uint8_t tagByte) {
    out_.push_back(tagByte);
    return out_.size();  // the length goes here once the content is known
}

BerStatus BerWriter::Close(size_t mark) {
    size_t length = out_.size() - mark;
    std::vector<uint8_t> field;
    if (!AppendLength(field, length, form_)) {
        status_ = BerStatus::kTooLong;
        return status_;
    }
    out_.insert(out_.begin() + static_cast<std::ptrdiff_t>(mark), field.begin(), field.end());
    return status_;
}

// ---- Decoding ---------------------------------------------------------------------------

BerStatus ReadHeader(std::span<const uint8_t> input, BerHeader* out) {
    if (input.size() < 2) return BerStatus::kTruncated;
    size_t pos = 1;
    uint8_t first = input[pos++];
    size_t length = 0;
    if (first < 0x80) {
        length = first;
    } else {
        size_t count = first & 0x7F;
        if (count == 0 || count > 4) return BerStatus::kBadLength;  // indefinite or absurd
        if (input.size() - pos < count) return BerStatus::kTruncated;
        for (size_t i = 0; i < count; ++i) length = (length << 8) | input[pos++];
    }
    out->tag = input[0];
    out->headerSize = pos;
    out->length = length;
    return BerStatus::kOk;
}

BerStatus ReadElement(std::span<const uint8_t> input, BerElement* out, bool anyTagByte) {
    if (input.size() < 2) return BerStatus::kTruncated;
    if (!anyTagByte && (input[0] & 0x1F) == 0x1F) return BerStatus::kBadTag;  // multi-byte tags: not SNMP
    BerHeader h;
    if (BerStatus status = ReadHeader(input, &h); status != BerStatus::kOk) return status;
    if (h.length > input.size() - h.headerSize) return BerStatus::kTruncated;
    out->tag = h.tag;
    out->content = input.subspan(h.headerSize, h.length);
    out->whole = input.subspan(0, h.headerSize + h.length);
    return BerStatus::kOk;
}

BerStatus BerReader::Next(BerElement* out) {
    BerStatus status = ReadElement(rest_, out);
    if (status == BerStatus::kOk) rest_ = rest_.subspan(out->whole.size());
    return status;
}

BerStatus BerReader::Expect(uint8_t expected, BerElement* out) {
    BerStatus status = Next(out);
    if (status == BerStatus::kOk && out->tag != expected) return BerStatus::kBadTag;
    return status;
}

BerStatus DecodeInteger(std::span<const uint8_t> content, int64_t* out) {
    if (content.empty()) return BerStatus::kBadValue;
    if (content.size() > 8) return BerStatus::kOutOfRange;
    uint64_t value = (content[0] & 0x80) ? ~uint64_t{0} : 0;
    for (uint8_t b : content) value = (value << 8) | b;
    *out = static_cast<int64_t>(value);
    return BerStatus::kOk;
}

BerStatus DecodeUnsigned(std::span<const uint8_t> content, uint64_t* out) {
    if (content.empty()) return BerStatus::kBadValue;
    if (content.size() > 9 || (content.size() == 9 && content[0] != 0)) return BerStatus::kOutOfRange;
    uint64_t value = 0;
    for (uint8_t b : content) value = (value << 8) | b;
    *out = value;
    return BerStatus::kOk;
}

BerStatus DecodeInt32(std::span<const uint8_t> content, int32_t* out) {
    if (content.empty()) return BerStatus::kBadValue;
    if (content.size() > 4) return BerStatus::kOutOfRange;
    uint32_t value = (content[0] & 0x80) ? 0xFFFFFFFFu : 0u;
    for (uint8_t b : content) value = (value << 8) | b;
    *out = static_cast<int32_t>(value);
    return BerStatus::kOk;
}

BerStatus DecodeUint32(std::span<const uint8_t> content, uint32_t* out) {
    if (content.empty()) return BerStatus::kBadValue;
    // Unsigned SNMP types put a zero byte in front of values with the top bit set.
    if (content.size() == 5 && content[0] == 0) content = content.subspan(1);
    if (content.size() > 4) return BerStatus::kOutOfRange;
    uint32_t value = 0;
    for (uint8_t b : content) value = (value << 8) | b;
    *out = value;
    return BerStatus::kOk;
}

BerStatus DecodeOid(std::span<const uint8_t> content, Oid* out) {
    out->clear();
    if (content.empty()) return BerStatus::kBadValue;
    bool firstSub = true;
    uint64_t value = 0;
    bool inSub = false;
    for (uint8_t b : content) {
        if (!inSub && b == 0x80) return BerStatus::kBadValue;  // non-minimal sub-identifier
        if (value > (~uint64_t{0} >> 7)) return BerStatus::kOutOfRange;
        value = (value << 7) | (b & 0x7F);
        inSub = (b & 0x80) != 0;
        if (inSub) continue;
        if (firstSub) {
            uint32_t a = value < 40 ? 0 : value < 80 ? 1 : 2;
            uint64_t rest = value - uint64_t{a} * 40;
            if (rest > 0xFFFFFFFFu) return BerStatus::kOutOfRange;
            out->push_back(a);
            out->push_back(static_cast<uint32_t>(rest));
            firstSub = false;
        } else {
            if (value > 0xFFFFFFFFu) return BerStatus::kOutOfRange;
            out->push_back(static_cast<uint32_t>(value));
        }
        value = 0;
    }
    if (inSub) return BerStatus::kTruncated;  // last byte still had the continuation bit
    return BerStatus::kOk;
}

}  // namespace qm::snmp
