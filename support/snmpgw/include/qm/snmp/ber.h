// BER coding of the ASN.1 subset SNMP uses: definite lengths, primitive INTEGER, OCTET STRING,
// NULL, OBJECT IDENTIFIER and the SNMP application types, and constructed SEQUENCE/PDUs.
//
// One implementation shared by the SNMP gateway, the discovery library and the tag processor.
// Decoding never reads outside the span it is given: every length is checked against what is
// left before it is trusted, so hostile input yields a BerStatus, never an over-read.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::snmp {

// Tag bytes (class and form bits included).
namespace tag {
inline constexpr uint8_t kInteger = 0x02;
inline constexpr uint8_t kOctetString = 0x04;
inline constexpr uint8_t kNull = 0x05;
inline constexpr uint8_t kOid = 0x06;
inline constexpr uint8_t kSequence = 0x30;
inline constexpr uint8_t kIpAddress = 0x40;
inline constexpr uint8_t kCounter32 = 0x41;
inline constexpr uint8_t kGauge32 = 0x42;
inline constexpr uint8_t kTimeTicks = 0x43;
inline constexpr uint8_t kOpaque = 0x44;
inline constexpr uint8_t kCounter64 = 0x46;
// SNMPv2c exception values, found in place of a binding's value.
inline constexpr uint8_t kNoSuchObject = 0x80;
inline constexpr uint8_t kNoSuchInstance = 0x81;
inline constexpr uint8_t kEndOfMibView = 0x82;
}  // namespace tag

enum class BerStatus {
    kOk = 0,
    kTruncated,     // the element runs past the end of the input
    kBadLength,     // indefinite, over-long or malformed length field
    kBadTag,        // multi-byte tag, or not the tag the caller expected
    kBadValue,      // content not valid for its type (empty INTEGER, bad sub-identifier, ...)
    kOutOfRange,    // a number does not fit the requested width
    kBadOidText,    // dotted text that cannot be an OBJECT IDENTIFIER
    kTooLong,       // a length the chosen length form cannot express
};
const char* BerStatusText(BerStatus status);

// How lengths are written. kMinimal is X.690's shortest definite form. kWide255 is the
// tag processor's result form: 0x81 covers only 128..254, 255..65535 takes 0x82 and two
// bytes, and anything longer is refused (kTooLong).
enum class LengthForm { kMinimal, kWide255 };

// Appends a length field; false (nothing appended) when `form` cannot express `length`.
bool AppendLength(std::vector<uint8_t>& out, size_t length, LengthForm form = LengthForm::kMinimal);

// ---- OBJECT IDENTIFIERs -----------------------------------------------------------------

// Arcs of an OID. Every arc fits 32 bits; the first two are combined only on the wire.
using Oid = std::vector<uint32_t>;

// Parses dotted text ("1.3.6.1.2.1.1.1.0"; one leading dot is tolerated). Each arc is 1 to 10
// decimal digits and at most 4294967295; there must be at least two arcs, the first 0, 1 or 2,
// and the second below 40 unless the first is 2, so that first * 40 + second decodes back to
// the same pair.
BerStatus ParseOidText(std::string_view text, Oid* out);
std::string OidToText(std::span<const uint32_t> oid);
// True when `oid` lies strictly below `root` (root itself is not inside its own subtree).
bool OidIsBelow(std::span<const uint32_t> oid, std::span<const uint32_t> root);
// <0, 0, >0 in lexicographic arc order, the order agents walk in.
int OidCompare(std::span<const uint32_t> a, std::span<const uint32_t> b);

// ---- Encoding ---------------------------------------------------------------------------

// Builds one BER byte string. Constructed elements are opened and closed like brackets;
// their lengths are filled in on Close. Not thread-safe; cheap to create.
class BerWriter {
public:
    explicit BerWriter(LengthForm form = LengthForm::kMinimal) : form_(form) {}

    void AddInteger(int64_t value, uint8_t tagByte = tag::kInteger);
    // Counter32, Gauge32, TimeTicks, Counter64: unsigned, with a leading zero byte when the
    // top bit of the first content byte would otherwise read as a sign.
    void AddUnsigned(uint64_t value, uint8_t tagByte);
    void AddOctets(std::span<const uint8_t> bytes, uint8_t tagByte = tag::kOctetString);
    void AddText(std::string_view text, uint8_t tagByte = tag::kOctetString);
    void AddNull(uint8_t tagByte = tag::kNull);
    // First two arcs combined as first * 40 + second, then base 128, most significant group
    // first, high bit on every byte but the last of each sub-identifier.
    void AddOid(std::span<const uint32_t> oid);
    BerStatus AddOidText(std::string_view dotted);
    // Copies an element that is already encoded.
    void AddRaw(std::span<const uint8_t> element);

    // Opens a constructed element; returns the mark that Close needs.
    size_t Open(uint8_t tagByte);
    // kTooLong when the length form cannot express the content (the writer is then unusable).
    BerStatus Close(size_t mark);

    const std::vector<uint8_t>& bytes() const { return out_; }
    std::vector<uint8_t> Take() { return std::move(out_); }
    BerStatus status() const { return status_; }

private:
    void AddHeader(uint8_t tagByte, size_t length);

    LengthForm form_;
    std::vector<uint8_t> out_;
    BerStatus status_ = BerStatus::kOk;
};

// ---- Decoding ---------------------------------------------------------------------------

// One element located inside a larger buffer; both spans point into that buffer.
struct BerElement {
    uint8_t tag = 0;
    std::span<const uint8_t> content;  // the value bytes
    std::span<const uint8_t> whole;    // tag, length and content
};

// The tag byte and length field at the start of `input`: short form, or long form of 1 to 4
// bytes (leading zero bytes allowed); indefinite lengths are refused (kBadLength). Only the
// header is checked against `input`, so a caller can learn an element's extent before all of
// it has arrived; the tag byte is taken as it stands (no multi-byte tag check).
struct BerHeader {
    uint8_t tag = 0;
    size_t headerSize = 0;  // tag and length bytes
    size_t length = 0;      // content bytes announced
};
BerStatus ReadHeader(std::span<const uint8_t> input, BerHeader* out);

// Reads the element at the start of `input`: the header as ReadHeader, and the content must
// lie inside `input`. Single-byte tags only (kBadTag for 0x1F forms), unless `anyTagByte`:
// readers of the tag processor's result blocks take every tag byte as one byte.
BerStatus ReadElement(std::span<const uint8_t> input, BerElement* out, bool anyTagByte = false);

// Walks the elements of one level in order.
class BerReader {
public:
    explicit BerReader(std::span<const uint8_t> input) : rest_(input) {}
    bool AtEnd() const { return rest_.empty(); }
    BerStatus Next(BerElement* out);
    // Next, and kBadTag when the element's tag is not `expected`.
    BerStatus Expect(uint8_t expected, BerElement* out);

private:
    std::span<const uint8_t> rest_;
};

// Signed two's-complement content of 1 to 8 bytes.
BerStatus DecodeInteger(std::span<const uint8_t> content, int64_t* out);
// Unsigned content of 1 to 8 significant bytes (a ninth, leading zero byte is allowed).
BerStatus DecodeUnsigned(std::span<const uint8_t> content, uint64_t* out);
// The 32-bit forms result blocks use. Signed: 1 to 4 bytes, sign-extended. Unsigned: 1 to 4
// bytes, or 5 with a leading zero byte. Empty content is kBadValue and longer content
// kOutOfRange, so that each caller keeps its own rule for them.
BerStatus DecodeInt32(std::span<const uint8_t> content, int32_t* out);
BerStatus DecodeUint32(std::span<const uint8_t> content, uint32_t* out);
// OBJECT IDENTIFIER content into arcs; every arc must fit 32 bits.
BerStatus DecodeOid(std::span<const uint8_t> content, Oid* out);

}  // namespace qm::snmp
