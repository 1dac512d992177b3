// Formatting of binding values for the command-line tool.
#include "format.h"

#include <cstdio>

namespace qm::snmptool {

namespace {

std::string Hex(std::span<const uint8_t> bytes) {
    std::string out;
    char b[4];
    for (size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(b, sizeof b, i ? " %02X" : "%02X", bytes[i]);
        out += b;
    }
    return out;
}

bool Printable(std::span<const uint8_t> bytes) {
    for (uint8_t c : bytes) {
        if ((c < 0x20 || c > 0x7E) && c != '\n' && c != '\r' && c != '\t') return false;
    }
    return true;
}

}  // namespace

std::string FormatValue(std::span<const uint8_t> element) {
    using namespace qm::snmp;
    BerElement e;
    if (ReadElement(element, &e) != BerStatus::kOk) return "Hex-STRING: " + Hex(element);
    int64_t s = 0;
    uint64_t u = 0;
    switch (e.tag) {
        case tag::kInteger:
            if (DecodeInteger(e.content, &s) == BerStatus::kOk) return "INTEGER: " + std::to_string(s);
            break;
        case tag::kOctetString:
            if (Printable(e.content)) {
                return "STRING: \"" + std::string(e.content.begin(), e.content.end()) + "\"";
            }
            return "Hex-STRING: " + Hex(e.content);
        case tag::kNull:
            return "NULL";
        case tag::kOid: {
            Oid oid;
            if (DecodeOid(e.content, &oid) == BerStatus::kOk) return "OID: " + OidToText(oid);
            break;
        }
        case tag::kIpAddress:
            if (e.content.size() == 4) {
                char b[20];
                std::snprintf(b, sizeof b, "%u.%u.%u.%u", e.content[0], e.content[1], e.content[2], e.content[3]);
                return std::string("IpAddress: ") + b;
            }
            break;
        case tag::kCounter32:
        case tag::kGauge32:
        case tag::kTimeTicks:
        case tag::kCounter64:
            if (DecodeUnsigned(e.content, &u) == BerStatus::kOk) {
                const char* name = e.tag == tag::kCounter32 ? "Counter32"
                                   : e.tag == tag::kGauge32 ? "Gauge32"
                                   : e.tag == tag::kTimeTicks ? "Timeticks"
                                                              : "Counter64";
                return std::string(name) + ": " + std::to_string(u);
            }
            break;
        case tag::kNoSuchObject:
            return "No Such Object available on this agent at this OID";
        case tag::kNoSuchInstance:
            return "No Such Instance currently exists at this OID";
        case tag::kEndOfMibView:
            return "No more variables left in this MIB View";
        default:
            break;
    }
    char b[8];
    std::snprintf(b, sizeof b, "0x%02X", e.tag);
    return std::string("Opaque (tag ") + b + "): " + Hex(e.content);
}

}  // namespace qm::snmptool
