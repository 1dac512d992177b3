// Request kind 5: the walk of a whole subtree, gathered into one response message.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "exchange.h"
#include "qm/snmp/message.h"
#include "transport.h"

namespace qm::mibgw {

struct WalkPlan {
    snmp::Oid root;
    snmp::SnmpVersion version = snmp::SnmpVersion::kV2c;
    std::string community;
    int maxRepetitions = 25;
    size_t maxResponse = 4u << 20;
};

struct WalkOutcome {
    int code = 0;         // MIB_OK or the failing call's code
    int detail = 0;       // MIBGetErrorNo value
    int agentStatus = 0;  // error-status of an answer that ended the walk with an error
    int agentIndex = 0;
};

// Runs the walk. `firstId` is the id of the first request, which the caller may already have
// sent (`firstSent`). The response is a GetResponse PDU carrying `firstId`, error-status 0 and
// every binding that lies below the root, in the agent's order.
WalkOutcome RunWalk(UdpPeer& peer, const WalkPlan& plan, const Timing& timing, RequestIds& ids,
                    int32_t firstId, bool firstSent, std::vector<uint8_t>* response);

// The first request of a walk (get-bulk on v2c, get-next on v1) from `from`.
std::vector<uint8_t> WalkRequest(const WalkPlan& plan, const snmp::Oid& from, int32_t requestId);

}  // namespace qm::mibgw
