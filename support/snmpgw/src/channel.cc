// Packing and checking of the channel record.
#include "channel.h"

#include <cstring>

namespace qm::mibgw {

namespace {
constexpr uint8_t kMagic = 0x51;
constexpr uint8_t kLayout = 1;
constexpr uint8_t kUdpIpv4 = 1;

uint8_t CheckByte(const uint8_t* bytes) {
    uint8_t check = 0xA5;
    for (int i = 0; i < kChannelSize - 1; ++i) check ^= bytes[i];
    return check;
}
}  // namespace

void EncodeChannel(const Channel& channel, uint8_t out[kChannelSize]) {
    std::memset(out, 0, kChannelSize);
    out[0] = kMagic;
    out[1] = kLayout;
    out[2] = kUdpIpv4;
    out[3] = static_cast<uint8_t>(channel.version);
    out[4] = static_cast<uint8_t>(channel.address >> 24);
    out[5] = static_cast<uint8_t>(channel.address >> 16);
    out[6] = static_cast<uint8_t>(channel.address >> 8);
    out[7] = static_cast<uint8_t>(channel.address);
    out[8] = static_cast<uint8_t>(channel.port >> 8);
    out[9] = static_cast<uint8_t>(channel.port);
    out[10] = channel.probed ? 1 : 0;
    out[16] = CheckByte(out);
}

bool DecodeChannel(const uint8_t in[kChannelSize], Channel* out) {
    if (in[0] != kMagic || in[1] != kLayout || in[2] != kUdpIpv4 || in[3] > 1) return false;
    if (in[16] != CheckByte(in)) return false;
    out->version = static_cast<snmp::SnmpVersion>(in[3]);
    out->address = (uint32_t{in[4]} << 24) | (uint32_t{in[5]} << 16) | (uint32_t{in[6]} << 8) | in[7];
    out->port = static_cast<uint16_t>((in[8] << 8) | in[9]);
    out->probed = (in[10] & 1) != 0;
    return out->port != 0;
}

}  // namespace qm::mibgw
