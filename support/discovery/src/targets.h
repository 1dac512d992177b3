// What a search asks: the search list text turned into unicast and broadcast destinations.
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

namespace qm::discovery {

// Addresses in host byte order.
struct Destination {
    uint32_t address = 0;
    bool broadcast = false;
};

// A local IPv4 interface that can broadcast.
struct LocalSegment {
    uint32_t address = 0;
    uint32_t netmask = 0;
};

// The broadcast-capable IPv4 interfaces of this network namespace (loopback excluded).
std::vector<LocalSegment> LocalSegments();

// Parses one search list ("a.b.c.d", "a.b.c.d|m.m.m.m" and "Local" entries separated by ";")
// into destinations, each address once, unicast entries first. With `sweep`, every host address
// of a broadcast subnet (at most a /16) is added as a unicast destination too. `local` supplies
// the segments that "Local" stands for. False when an entry is malformed.
bool BuildDestinations(std::string_view list, bool sweep, const std::vector<LocalSegment>& local,
                       std::vector<Destination>* out);

// Strict dotted-quad parse (four decimal parts 0..255); host byte order.
bool ParseIPv4(std::string_view text, uint32_t* out);
bool IsContiguousMask(uint32_t mask);

}  // namespace qm::discovery
