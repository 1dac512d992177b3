// What one answering agent tells us, step by step: whether it is a printer, its device index,
// its MAC address. Pure logic over decoded SNMP messages, so it can be tested and fuzzed
// without a network.
//
// Objects used:
//   prtGeneralConfigChanges 1.3.6.1.2.1.43.5.1.1.1.<i>   a Printer-MIB printer, i its hrDeviceIndex
//   hrDeviceType            1.3.6.1.2.1.25.3.2.1.2.<i>   value hrDevicePrinter (…25.3.1.5): printer row
//   ipAdEntIfIndex          1.3.6.1.2.1.4.20.1.2.<ip>    the interface that carries the address we reached
//   ifPhysAddress           1.3.6.1.2.1.2.2.1.6.<ifIndex> the MAC address of that interface
//   the private arc         1.3.6.1.4.1.40404             present or not
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "qm/snmp/message.h"

namespace qm::discovery {

enum class Step {
    kProbe,     // get-next of the probe columns
    kHrWalk,    // get-next along hrDeviceType looking for a printer row
    kIfIndex,   // get ipAdEntIfIndex.<address>
    kPhys,      // get ifPhysAddress.<ifIndex>
    kPhysWalk,  // get-next along ifPhysAddress for the first real MAC address
    kDone,      // a printer, fully described
    kDropped,   // not a printer, or it stopped answering before we knew
};

// The request a device's current step needs.
struct Ask {
    uint8_t pduType = snmp::pdu::kGetNext;
    std::vector<snmp::Oid> oids;
};

class Device {
public:
    explicit Device(uint32_t address);  // host byte order

    uint32_t address() const { return address_; }
    Step step() const { return step_; }
    Ask NextAsk() const;
    // Feeds the answer to the current step's request and moves on. An answer that does not fit
    // the question (wrong binding count, malformed values) drops the device.
    void Absorb(const snmp::Message& answer);
    // The current step's request went unanswered after every retry.
    void GiveUp();

    // Valid once step() is kDone.
    int DeviceType() const;
    uint32_t DeviceIndex() const { return printerMib_ ? prtIndex_ : hrIndex_; }
    const std::string& Mac() const { return mac_; }
    // "IP;IPX;MAC;index" (IPX empty).
    std::string ResultText() const;

    // The probe every search sends first, to unicast and broadcast addresses alike.
    static Ask FirstProbe();

private:
    void AbsorbProbe(const snmp::Message& answer);
    void AfterRecognition();
    void FallBackToFirstMac();
    bool TakeMac(const snmp::BerElement& value);

    uint32_t address_;
    Step step_ = Step::kProbe;
    std::vector<int> probeColumns_;  // which probe columns the next probe still asks
    bool printerMib_ = false;
    bool hrPrinter_ = false;
    bool privateArc_ = false;
    uint32_t prtIndex_ = 0;
    uint32_t hrIndex_ = 0;
    uint32_t ifIndex_ = 0;
    snmp::Oid hrCursor_;
    snmp::Oid physCursor_;
    int walkSteps_ = 0;
    std::string firstMac_;
    std::string mac_;
};

}  // namespace qm::discovery
