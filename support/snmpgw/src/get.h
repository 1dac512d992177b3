// Request kinds 0 and 1: a get or get-next of several objects, made to work with agents that
// cannot answer the whole request at once.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "exchange.h"
#include "qm/snmp/message.h"
#include "transport.h"

namespace qm::mibgw {

struct GetPlan {
    snmp::SnmpVersion version = snmp::SnmpVersion::kV2c;
    std::string community;
    uint8_t type = snmp::pdu::kGet;  // kGet or kGetNext
    std::vector<snmp::Oid> oids;
};

struct GetOutcome {
    int code = 0;         // MIB_OK or the failing call's code
    int detail = 0;       // MIBGetErrorNo value
    int agentStatus = 0;  // error-status and error-index (of the caller's request) of an
    int agentIndex = 0;   // answer that ended the get with an error
};

// Runs the get whose first request (id `firstId`, already sent when `firstSent`) asks for every
// OID of the plan, and copes with two limits real agents have:
// - an SNMPv1 agent refuses a whole get with noSuchName when one object is missing: the get is
//   asked again without that object, and the object is answered with noSuchObject, as SNMPv2c
//   agents answer it (net-snmp's tools retry the same way);
// - an agent whose messages are small (484 bytes is all SNMP guarantees) answers tooBig: the
//   objects are asked in halves until every part fits.
// The response is one GetResponse carrying `firstId` with one binding per OID of the plan, in
// order; when the first answer needs no help it is returned unchanged.
GetOutcome RunGet(UdpPeer& peer, const GetPlan& plan, const Timing& timing, RequestIds& ids,
                  int32_t firstId, bool firstSent, std::vector<uint8_t>* response);

std::vector<uint8_t> GetRequest(const GetPlan& plan, const std::vector<size_t>& which, int32_t requestId);

}  // namespace qm::mibgw
