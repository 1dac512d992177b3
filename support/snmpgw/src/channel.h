// The 17-byte channel record: how to reach one device, as stored by the callers.
//
//   0     0x51 ('Q'), marks a record of this gateway
//   1     layout version, 1
//   2     transport, 1 = UDP over IPv4 (IPX is never produced)
//   3     SNMP version, 0 = SNMPv1, 1 = SNMPv2c
//   4..7  IPv4 address, network order
//   8..9  agent port, network order
//   10    flags: bit 0 = the version was learnt by probing the device
//   11..15 zero
//   16    check byte: the XOR of bytes 0..15 with 0xA5, so an all-zero record is invalid
#pragma once

#include <cstdint>

#include "qm/snmp/message.h"

namespace qm::mibgw {

inline constexpr int kChannelSize = 17;

struct Channel {
    uint32_t address = 0;  // host order
    uint16_t port = 0;
    snmp::SnmpVersion version = snmp::SnmpVersion::kV2c;
    bool probed = false;
};

void EncodeChannel(const Channel& channel, uint8_t out[kChannelSize]);
// False when the bytes are not a well-formed record of this layout.
bool DecodeChannel(const uint8_t in[kChannelSize], Channel* out);

}  // namespace qm::mibgw
