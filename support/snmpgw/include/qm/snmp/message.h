// SNMPv1/v2c messages on top of the BER coder: building requests and decoding responses,
// shared by the SNMP gateway, the discovery library and anything else that talks to agents.
//
// Decoding keeps spans into the caller's buffer, so a decoded message is valid only while
// that buffer lives and is unchanged.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "qm/snmp/ber.h"

namespace qm::snmp {

enum class SnmpVersion : int { kV1 = 0, kV2c = 1 };

namespace pdu {
inline constexpr uint8_t kGet = 0xA0;
inline constexpr uint8_t kGetNext = 0xA1;
inline constexpr uint8_t kResponse = 0xA2;
inline constexpr uint8_t kSet = 0xA3;
inline constexpr uint8_t kTrapV1 = 0xA4;
inline constexpr uint8_t kGetBulk = 0xA5;
inline constexpr uint8_t kInform = 0xA6;
inline constexpr uint8_t kTrapV2 = 0xA7;
inline constexpr uint8_t kReport = 0xA8;
}  // namespace pdu

// SNMP error-status values an agent can put into a response.
namespace errstat {
inline constexpr int kNoError = 0;
inline constexpr int kTooBig = 1;
inline constexpr int kNoSuchName = 2;
inline constexpr int kBadValue = 3;
inline constexpr int kReadOnly = 4;
inline constexpr int kGenErr = 5;
}  // namespace errstat
const char* ErrorStatusName(int status);

// One binding of a request to build: the OID and the complete BER element of its value
// (a NULL element for reads).
struct OutBinding {
    Oid oid;
    std::vector<uint8_t> value;
};

// A request PDU. For get-bulk, `nonRepeaters`/`maxRepetitions` take the places of
// error-status and error-index.
struct Request {
    SnmpVersion version = SnmpVersion::kV2c;
    std::string community;
    uint8_t type = pdu::kGet;
    int32_t requestId = 0;
    int32_t nonRepeaters = 0;
    int32_t maxRepetitions = 0;
    std::vector<OutBinding> bindings;
};

std::vector<uint8_t> EncodeRequest(const Request& request);

// The frame every SNMP message shares: version, community, a PDU of `type` with its three
// integers (request id, then error status and index, or non-repeaters and max-repetitions)
// and the binding list. OpenPdu writes up to the opened list; the caller adds the bindings;
// ClosePdu ends list, PDU and message.
struct PduMarks {
    size_t message = 0, body = 0, list = 0;
};
PduMarks OpenPdu(BerWriter& w, SnmpVersion version, std::string_view community, uint8_t type,
                 int32_t requestId, int32_t first = 0, int32_t second = 0);
void ClosePdu(BerWriter& w, const PduMarks& marks);

// A binding as decoded: its OID arcs and the value element inside the message buffer.
struct Binding {
    Oid oid;
    std::span<const uint8_t> oidElement;  // the OBJECT IDENTIFIER element, tag included
    BerElement value;
};

// Any non-trap-v1 message: response, request or report.
struct Message {
    SnmpVersion version = SnmpVersion::kV1;
    std::string_view community;
    uint8_t type = 0;
    int32_t requestId = 0;
    int32_t errorStatus = 0;  // non-repeaters for get-bulk
    int32_t errorIndex = 0;   // max-repetitions for get-bulk
    std::vector<Binding> bindings;
};

// Full decode with every binding's OID. Versions other than 0 and 1, v1 trap PDUs, trailing
// bytes after the message and any malformed element are refused.
BerStatus DecodeMessage(std::span<const uint8_t> bytes, Message* out);

// Light decode of the header only (version, community, PDU type, request id, error fields),
// for filtering datagrams before paying for the bindings.
BerStatus DecodeHeader(std::span<const uint8_t> bytes, Message* out);

// Locates binding `index` (from 0) of a message without decoding the others' OIDs.
// kOutOfRange when the message holds fewer bindings.
BerStatus FindBinding(std::span<const uint8_t> bytes, size_t index, BerElement* oidElement,
                      BerElement* value);

}  // namespace qm::snmp
