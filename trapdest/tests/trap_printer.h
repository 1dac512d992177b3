// Simulated printers with writable trap destination slots, and the slots read back through
// net-snmp's snmpget, a peer independent of our gateway.
#pragma once

#include <memory>
#include <string>

#include "simulator.h"

namespace qm::trapdest::test {

inline constexpr const char* kSlot1 = "1.3.6.1.4.1.40404.1.1.3.1.2.7.0";
inline constexpr const char* kSlot2 = "1.3.6.1.4.1.40404.1.1.3.1.2.8.0";
inline constexpr const char* kEnable1 = "1.3.6.1.4.1.40404.1.1.3.1.2.9.0";
inline constexpr const char* kEnable2 = "1.3.6.1.4.1.40404.1.1.3.1.2.10.0";

struct Slots {
    std::string address1, address2;
    int enabled1 = -1, enabled2 = -1;
    bool operator==(const Slots&) const = default;
};
std::ostream& operator<<(std::ostream& out, const Slots& s);

// One snmpsim agent whose slots start as given, on 127.0.0.<last>.
class TrapPrinter {
public:
    TrapPrinter(const Slots& initial, int last);
    ~TrapPrinter();
    bool ok() const { return sim_ && sim_->ok(); }
    std::string why() const;
    int port() const { return sim_->port(); }
    std::string address() const { return sim_->address(0); }
    // The four objects as the printer holds them now; false when it does not answer.
    bool Read(Slots* out) const;

private:
    std::string folder_;
    std::unique_ptr<testsupport::SimulatedPrinters> sim_;
};

// Points the gateway of the current root at `port` with short time-outs, and names the
// address to register (empty: leave the computer name's address in force).
void ConfigureRoot(int port, const std::string& trapAddress, int version = 0);

}  // namespace qm::trapdest::test
