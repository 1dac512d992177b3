// One request/answer exchange with an agent: re-sends on time-out, ignores late and foreign
// datagrams, and accepts only the answer that carries the request's id.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "qm/snmp/message.h"
#include "transport.h"

namespace qm::mibgw {

struct Timing {
    int timeoutMs = 1000;
    int retries = 2;
};

struct Expected {
    int32_t requestId = 0;
    snmp::SnmpVersion version = snmp::SnmpVersion::kV2c;
    std::string community;
};

// Returns 0 with the answer in `answer` (already checked to decode as a full message), or
// MIB_ERR_FAILED with *detail set to MIB_ERR_NO_ANSWER, MIB_ERR_MALFORMED or MIB_ERR_SOCKET.
// When `alreadySent` is set the first transmission was made by the caller.
int Exchange(UdpPeer& peer, std::span<const uint8_t> request, const Expected& expected,
             const Timing& timing, bool alreadySent, std::vector<uint8_t>* answer, int* detail);

// Sequence of request ids of one handle. Ids stay within 0x01000000..0x7FFFFFFF so that their
// encoding is always four bytes: a packet built twice (the buffer-sizing call and the real
// one) has the same length.
class RequestIds {
public:
    RequestIds();
    int32_t Next();

private:
    uint32_t next_;
};

}  // namespace qm::mibgw
