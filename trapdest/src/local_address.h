// The address this computer registers as a printer's trap destination.
#pragma once

#include <string>

namespace qm::trapdest {

// Registry value naming the address to register instead of the computer name's first address
// (text, dotted IPv4), under kSetupKey.
inline constexpr const char* kSetupKey = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";
inline constexpr const char* kAddressSetting = "TrapDestinationAddress";

struct LocalAddress {
    std::string address;     // dotted text, at most 15 characters; empty when none was found
    std::string source;      // "setting" or the computer name that was resolved
    bool loopback = false;   // 127.0.0.0/8: a printer cannot send traps there
    std::string why;         // why no address was found
};

// The address setting when it is set, else the first IPv4 address of the computer name.
// Makes no SNMP traffic, and no network traffic beyond name resolution.
LocalAddress DiscoverLocalAddress();

// "%d.%d.%d.%d" of four bytes in network order.
std::string DottedText(const unsigned char bytes[4]);

// True for a dotted IPv4 text (four decimal parts 0..255).
bool IsDottedAddress(const std::string& text);

}  // namespace qm::trapdest
