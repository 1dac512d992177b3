// One printer conversation through the SNMP gateway: initialise, open the channel, read and
// set single objects, close, release - the calls and their order that the exports make.
#pragma once

#include <string>
#include <vector>

namespace qm::trapdest {

// What reading a destination slot gave.
enum class SlotState {
    kFailed,   // no usable answer (silence, agent error, no such object, malformed value)
    kEmpty,    // no content, or 0.0.0.0
    kAddress,  // an address, in SlotRead::address
};

struct SlotRead {
    SlotState state = SlotState::kFailed;
    std::string address;
};

class PrinterSession {
public:
    PrinterSession() = default;
    // Closes and releases whatever is still open (on an early return or an exception).
    ~PrinterSession();
    PrinterSession(const PrinterSession&) = delete;
    PrinterSession& operator=(const PrinterSession&) = delete;

    // MIBInitialize; false when the gateway gives no handle.
    bool Initialise();
    // MIBGetChannelInfo then MIBOpen with the printer's address; false when either fails.
    bool Open(const char* printer);
    // Get of one object and its value read as a destination address.
    SlotRead ReadAddress(const char* oid);
    // Encodes the value (BER type 64 IpAddress or 2 INTEGER), builds the set request and sends
    // it; the answer is not read. True when the request went out.
    bool Set(const char* oid, int type, const char* value);
    // MIBClose once MIBOpen was called, whether it succeeded or not; false when it fails.
    bool Close();
    // MIBRelease: false when it fails.
    bool Release();

private:
    int handle_ = 0;
    bool opened_ = false;  // MIBOpen was called and MIBClose not yet
    std::vector<unsigned char> packet_;
    std::vector<unsigned char> response_;
    std::vector<unsigned char> value_;
};

}  // namespace qm::trapdest
