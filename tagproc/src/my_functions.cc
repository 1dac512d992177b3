// Helpers shared by every tag: device key parsing, OID lists, BER reading and the result encoder.
#include "my_functions.h"

#include <cstring>

#include "QBUtil.h"
#include "qm/snmp/ber.h"

namespace qm::tag {

namespace {

constexpr const char* kModule = "MyFunctions";

// Hexadecimal field to decimal text; false for anything but hexadecimal digits. An empty field
// gives `empty`. At most 8 digits reach here, so the value fits 32 bits.
bool HexToDecimal(std::string_view field, const char* empty, std::string* out) {
    if (field.empty()) {
        *out = empty;
        return true;
    }
    uint32_t value = 0;
    for (char c : field) {
        uint32_t digit;
        if (c >= '0' && c <= '9') digit = static_cast<uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f') digit = static_cast<uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F') digit = static_cast<uint32_t>(c - 'A' + 10);
        else return false;
        value = value * 16 + digit;
    }
    *out = std::to_string(value);
    return true;
}

}  // namespace

int SetDevKeyInfo(std::string_view text, DeviceKey* out) {
    std::string_view fields[5];
    size_t count = 0;
    size_t pos = 0;
    while (count < 5) {
        size_t semi = text.find(';', pos);
        fields[count++] = text.substr(pos, semi == std::string_view::npos ? text.npos : semi - pos);
        if (semi == std::string_view::npos) {
            pos = text.size();
            break;
        }
        pos = semi + 1;
    }
    if (count < 5) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "nNumOfFactor ERROR = %d\n", static_cast<int>(count));
        return -3;
    }
    struct Limit {
        size_t max;
        const char* trace;
    };
    static constexpr Limit kLimits[5] = {{8, "nDevTypeSize ERROR = %d\n"},
                                         {15, "nIPAdrSize ERROR = %d\n"},
                                         {20, "nIPXAdrSize ERROR = %d\n"},
                                         {12, "nMacAdrSize ERROR = %d\n"},
                                         {8, "nDevIndexSize ERROR = %d\n"}};
    for (size_t i = 0; i < 5; ++i) {
        if (fields[i].size() > kLimits[i].max) {
            QbTrace(QB_TRACE_ERROR, kModule, __LINE__, kLimits[i].trace, static_cast<int>(fields[i].size()));
            return -3;
        }
    }
    DeviceKey key;
    // A type or index that is not hexadecimal would otherwise turn silently into another
    // device's index (a walk of the wrong printer row), so the key is refused.
    if (!HexToDecimal(fields[0], "0", &key.type)) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "nDevType ERROR = %.*s\n", static_cast<int>(fields[0].size()),
                fields[0].data());
        return -3;
    }
    if (!HexToDecimal(fields[4], "1", &key.index)) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "nDevIndex ERROR = %.*s\n", static_cast<int>(fields[4].size()),
                fields[4].data());
        return -3;
    }
    // The database key is the text up to the end of the fifth field.
    size_t keyEnd = static_cast<size_t>(fields[4].data() - text.data()) + fields[4].size();
    key.dbKey = std::string(text.substr(0, keyEnd));
    key.ip = std::string(fields[1]);
    key.ipx = std::string(fields[2]);
    key.mac = std::string(fields[3]);
    *out = std::move(key);
    return 0;
}

std::vector<std::string> SplitOidList(std::string_view list) {
    std::vector<std::string> out;
    size_t pos = 0;
    while (true) {
        size_t semi = list.find(';', pos);
        out.emplace_back(list.substr(pos, semi == std::string_view::npos ? list.npos : semi - pos));
        if (semi == std::string_view::npos) break;
        pos = semi + 1;
    }
    return out;
}

int GetBERInfo(std::span<const uint8_t> bytes, BerInfo* out) {
    if (out == nullptr) return kBerNoOutput;
    // Every tag byte is taken as it stands; the tag functions check the tags they expect.
    snmp::BerElement e;
    if (snmp::ReadElement(bytes, &e, true) != snmp::BerStatus::kOk) return kBerMissing;
    out->tag = e.tag;
    out->content = e.content;
    return 0;
}

int DecodeINT(std::span<const uint8_t> content, int32_t* out) {
    if (out == nullptr) return kBerNoOutput;
    // An empty INTEGER reads as 0 here; agents that send one mean "nothing".
    if (content.empty()) {
        *out = 0;
        return 0;
    }
    return snmp::DecodeInt32(content, out) == snmp::BerStatus::kOk ? 0 : kBerMissing;
}

int DecodeUINT(std::span<const uint8_t> content, uint32_t* out) {
    if (out == nullptr) return kBerNoOutput;
    if (content.empty()) {
        *out = 0;
        return 0;
    }
    return snmp::DecodeUint32(content, out) == snmp::BerStatus::kOk ? 0 : kBerMissing;
}

int DecodeSTR(std::span<const uint8_t> content, char* buffer, int* size) {
    if (size == nullptr) return kBerNoOutput;
    if (content.size() >= static_cast<size_t>(INT32_MAX)) return kBerMissing;
    int needed = static_cast<int>(content.size()) + 1;
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return kBerBufferSmall;
    }
    if (!content.empty()) std::memcpy(buffer, content.data(), content.size());
    buffer[content.size()] = 0;
    *size = needed;
    return 0;
}

int CreateSEQ(std::span<const SeqEntry> entries, uint8_t* buffer, int* size) {
    if (size == nullptr || entries.empty()) return kBerBadInput;
    snmp::BerWriter w(snmp::LengthForm::kWide255);
    size_t outer = entries.size() > 1 ? w.Open(snmp::tag::kSequence) : 0;
    for (const SeqEntry& e : entries) {
        size_t mark = w.Open(snmp::tag::kSequence);
        if (e.oid) {
            if (w.AddOidText(*e.oid) != snmp::BerStatus::kOk) return kBerBadOid;
        } else {
            w.AddNull();
        }
        w.AddRaw(e.value);
        if (w.Close(mark) != snmp::BerStatus::kOk) return kBerTooLong;
    }
    if (entries.size() > 1 && w.Close(outer) != snmp::BerStatus::kOk) return kBerTooLong;
    const std::vector<uint8_t>& bytes = w.bytes();
    int needed = static_cast<int>(bytes.size());
    if (buffer == nullptr || *size < needed) {
        *size = needed;
        return kBerBufferSmall;
    }
    std::memcpy(buffer, bytes.data(), bytes.size());
    *size = needed;
    return 0;
}

// A byte count as pages show it: Byte below 1 KB, else KB, MB or GB rounded half up.
std::string FormatStorageSize(unsigned long long bytes) {
    struct Unit {
        unsigned long long limit, divisor;
        const char* name;
    };
    static constexpr Unit kUnits[] = {{1024ULL, 1ULL, "Byte"},
                                      {1048576ULL, 1024ULL, "KB"},
                                      {1073741824ULL, 1048576ULL, "MB"},
                                      {~0ULL, 1073741824ULL, "GB"}};
    for (const Unit& u : kUnits) {
        if (bytes < u.limit || u.divisor == 1073741824ULL) {
            // Half up without overflow: the quotient plus one when the remainder is half or more.
            unsigned long long q = bytes / u.divisor;
            if (u.divisor > 1 && bytes % u.divisor >= u.divisor / 2) ++q;
            return std::to_string(q) + u.name;
        }
    }
    return {};
}

}  // namespace qm::tag
