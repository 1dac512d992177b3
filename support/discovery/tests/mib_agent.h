// Small SNMP agents for discovery tests and benchmarks: any number of loopback addresses on one
// port, each serving its own MIB from a sorted map with the SNMPv1 and SNMPv2c rules agents
// follow (v1 answers a missing object with noSuchName and the request's bindings).
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "qm/snmp/message.h"

namespace qm::testsupport {

using Mib = std::map<snmp::Oid, std::vector<uint8_t>>;

// A printer's MIB: Printer-MIB row, hrDeviceTable with a printer row at `index`, one Ethernet
// interface with `mac` (12 hex digits), and the private arc when `privateArc`.
Mib PrinterMib(uint32_t index, const std::string& mac, bool privateArc);
void SetText(Mib& mib, const char* oid, const std::string& text);
void SetInteger(Mib& mib, const char* oid, int64_t value);
void SetOid(Mib& mib, const char* oid, const char* value);
void SetOctets(Mib& mib, const char* oid, const std::vector<uint8_t>& bytes);

// Answers a decoded request from `mib`; empty when the request is not one an agent answers.
std::vector<uint8_t> Respond(const Mib& mib, const snmp::Message& request);

class MibAgents {
public:
    explicit MibAgents(uint16_t port) : port_(port) {}
    ~MibAgents();
    // Binds address:port (host order address); false when the address cannot be bound.
    bool Add(uint32_t address, Mib mib);
    void Start();
    int requests() const { return requests_.load(); }
    // The next `n` requests are received and left unanswered, as a lossy network would.
    void DropNext(int n) { dropsLeft_ = n; }

private:
    void Loop();
    struct Agent {
        int fd;
        Mib mib;
    };
    uint16_t port_;
    std::vector<Agent> agents_;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::atomic<int> dropsLeft_{0};
    std::thread thread_;
};

uint32_t Ip(const char* dotted);

}  // namespace qm::testsupport
