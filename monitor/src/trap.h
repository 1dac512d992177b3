// SNMP version 1 traps: recognising one in a datagram, and the socket that receives them.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

#include "qm/platform/owners.h"

namespace qm::monitor {

// True when the datagram is an SNMPv1 trap: SEQUENCE { INTEGER version, OCTET STRING
// community, Trap-PDU [4] { OBJECT IDENTIFIER enterprise, IpAddress agent, INTEGER generic,
// INTEGER specific, ... } }. Reads nothing outside the datagram, whatever it holds.
bool IsV1Trap(std::span<const uint8_t> datagram);

// A UDP socket bound to the trap port on every local address.
class TrapSocket {
public:
    TrapSocket() = default;
    TrapSocket(const TrapSocket&) = delete;
    TrapSocket& operator=(const TrapSocket&) = delete;

    // 0, or -1 (the error text in `error`).
    int Open(int port, std::string* error);
    // Receives one datagram of up to 1023 bytes and the sender's dotted address. -1 when the
    // socket failed or was shut down.
    int Receive(std::span<uint8_t> buffer, size_t* size, std::string* sender);
    // Wakes a blocked Receive for good (it then fails); safe from another thread.
    void Shutdown();

private:
    platform::UniqueFd fd_;
    std::atomic<bool> down_{false};
};

}  // namespace qm::monitor
