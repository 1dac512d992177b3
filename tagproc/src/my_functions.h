// Helpers shared by every tag: device key parsing, OID lists, BER reading and the result encoder.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace qm::tag {

// Error codes of the BER helpers and the encoder (stored in the processor's encoding byte).
inline constexpr int kBerNoOutput = -1;    // no place to put the decoded value
inline constexpr int kBerBadInput = -2;    // input that is not what the helper reads
inline constexpr int kBerBufferSmall = -3; // caller's buffer too small; needed size reported
inline constexpr int kBerBadOid = -4;      // OID text the encoder cannot write
inline constexpr int kBerMissing = -5;     // no element, or a number too wide for 32 bits
inline constexpr int kBerTooLong = -7;     // content of 65536 bytes or more

// The five fields of a device key, as the tags use them.
struct DeviceKey {
    std::string dbKey;   // the key text up to the end of the fifth field
    std::string type;    // device type, decimal
    std::string ip;
    std::string ipx;
    std::string mac;
    std::string index;   // device index, decimal ("1" when the field is empty)
};

// Parses "type;IP;IPX;MAC;index". Returns 0, or -3 with the reason traced (a field over its
// limit, fewer than five fields, or a type or index that is not hexadecimal).
int SetDevKeyInfo(std::string_view text, DeviceKey* out);

// Splits an OID list at ";": the count is the number of ";" plus one.
std::vector<std::string> SplitOidList(std::string_view list);

// One located BER element: its tag and content (empty when the length is 0).
struct BerInfo {
    uint8_t tag = 0;
    std::span<const uint8_t> content;
};
// Reads the tag and length (short form, or 0x80 + n and n bytes) of the element at the start
// of `bytes` and checks that its content lies inside them. -5 for a missing or cut element.
int GetBERInfo(std::span<const uint8_t> bytes, BerInfo* out);
// 1 to 4 content bytes, big-endian; signed or unsigned. -5 for more than 4 bytes, -1 without
// an output place. No content reads as 0.
int DecodeINT(std::span<const uint8_t> content, int32_t* out);
int DecodeUINT(std::span<const uint8_t> content, uint32_t* out);
// Copies the content and a terminating zero into buffer[0..*size). When the buffer is too
// small: -3 and *size = content length + 1.
int DecodeSTR(std::span<const uint8_t> content, char* buffer, int* size);

// One entry of a result: an optional OID text and a complete BER value element.
struct SeqEntry {
    std::optional<std::string> oid;
    std::vector<uint8_t> value;
};
// Encodes the entries as SEQUENCE { OID or NULL, value } (one entry), or a SEQUENCE of those
// (several), with the result length form: 0x81 for 128..254, 0x82 for 255..65535. Writes into
// buffer[0..*size); -3 with the needed size in *size when it does not fit, -4 for a bad OID
// text, -7 for a content that needs more than two length bytes, -2 for no entries.
int CreateSEQ(std::span<const SeqEntry> entries, uint8_t* buffer, int* size);

}  // namespace qm::tag

namespace qm::tag {
// A byte count as the storage size tag shows it: "1023Byte", "2KB", "1MB", "233GB"; units of
// 1024, rounded half up.
std::string FormatStorageSize(unsigned long long bytes);
}  // namespace qm::tag
