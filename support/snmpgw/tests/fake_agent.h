// An in-process UDP agent on 127.0.0.1 whose answers a test scripts, to provoke the cases a
// real agent never shows: silence, late or foreign answers, malformed datagrams.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <map>
#include <span>
#include <thread>
#include <vector>

#include "qm/snmp/message.h"

namespace qm::testsupport {

using Datagram = std::vector<uint8_t>;

class FakeAgent {
public:
    // `handler` gets each request (decoded, and raw) and returns the datagrams to send back.
    // The agent listens on `address` (a loopback address) and `port` (0: any free one).
    using Handler = std::function<std::vector<Datagram>(const snmp::Message&, std::span<const uint8_t>)>;
    explicit FakeAgent(Handler handler, const char* address = "127.0.0.1", uint16_t port = 0);
    ~FakeAgent();
    uint16_t port() const { return port_; }
    int requests() const { return requests_.load(); }

private:
    void Loop();
    Handler handler_;
    int fd_ = -1;
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    std::atomic<int> requests_{0};
    std::thread thread_;
};

// Encodes a response to `request` carrying `bindings` (OID, complete value element).
Datagram Answer(const snmp::Message& request,
                const std::vector<std::pair<snmp::Oid, Datagram>>& bindings, int errorStatus = 0,
                int errorIndex = 0, int32_t requestId = -1);

// A small MIB that answers get, get-next and get-bulk like an agent, from a sorted map.
class FakeMib {
public:
    void Set(const char* oid, Datagram value);
    std::vector<Datagram> Respond(const snmp::Message& request) const;
    std::map<snmp::Oid, Datagram> objects;
};

}  // namespace qm::testsupport
