// snmprec files with writecache slots, and reading them back with snmpget.
#include "trap_printer.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <sstream>
#include <thread>

#include "qm/platform/registry.h"

namespace qm::trapdest::test {

using platform::RegRoot;

std::ostream& operator<<(std::ostream& out, const Slots& s) {
    return out << "{" << s.address1 << "/" << s.enabled1 << ", " << s.address2 << "/" << s.enabled2 << "}";
}

TrapPrinter::TrapPrinter(const Slots& initial, int last) {
    char tmpl[] = "/tmp/qntrap-printer-XXXXXX";
    if (!::mkdtemp(tmpl)) return;
    folder_ = tmpl;
    // Agents started as root drop to "nobody", who must still read the data file.
    ::chmod(tmpl, 0755);
    std::string file = folder_ + "/trap-printer.snmprec";
    std::ofstream f(file);
    f << "1.3.6.1.2.1.1.1.0|4|Trap destination test printer\n"
      << "1.3.6.1.2.1.1.2.0|6|1.3.6.1.4.1.40404.1\n"
      << kSlot1 << "|64:writecache|value=" << initial.address1 << "\n"
      << kSlot2 << "|64:writecache|value=" << initial.address2 << "\n"
      << kEnable1 << "|2:writecache|value=" << initial.enabled1 << "\n"
      << kEnable2 << "|2:writecache|value=" << initial.enabled2 << "\n"
      << "1.3.6.1.4.1.40404.1.1.3.1.4.4.0|4|Trap-Test\n";
    f.close();
    sim_ = std::make_unique<testsupport::SimulatedPrinters>(std::vector<std::string>{file}, last);
}

TrapPrinter::~TrapPrinter() {
    sim_.reset();
    std::error_code ec;
    if (!folder_.empty()) std::filesystem::remove_all(folder_, ec);
}

std::string TrapPrinter::why() const { return sim_ ? sim_->why() : "cannot make a folder"; }

bool TrapPrinter::Read(Slots* out) const {
    // snmpsim answers from one thread in arrival order, so a read sent after our sets sees
    // them; retries only cover an agent slowed down by a loaded machine.
    std::string cmd = "snmpget -v2c -c tarlow -t 3 -r 3 -Oqv -Oe " + address() + ":" +
                      std::to_string(port()) + " " + kSlot1 + " " + kSlot2 + " " + kEnable1 + " " +
                      kEnable2 + " 2>/dev/null";
    int status = 0;
    std::istringstream lines(testsupport::RunCommand(cmd, &status));
    if (status != 0) return false;
    Slots s;
    if (!(lines >> s.address1 >> s.address2 >> s.enabled1 >> s.enabled2)) return false;
    *out = s;
    return true;
}

void ConfigureRoot(int port, const std::string& trapAddress, int version) {
    const char* setup = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";
    platform::RegSetNumber(RegRoot::LocalMachine, setup, "SnmpPort", static_cast<uint32_t>(port), true);
    platform::RegSetNumber(RegRoot::LocalMachine, setup, "SnmpTimeout", 500, true);
    platform::RegSetNumber(RegRoot::LocalMachine, setup, "SnmpRetries", 2, true);
    platform::RegSetNumber(RegRoot::LocalMachine, setup, "SnmpVersion", static_cast<uint32_t>(version), true);
    if (trapAddress.empty()) {
        platform::RegDeleteValue(RegRoot::LocalMachine, setup, "TrapDestinationAddress");
    } else {
        platform::RegSetString(RegRoot::LocalMachine, setup, "TrapDestinationAddress", trapAddress, true);
    }
}

}  // namespace qm::trapdest::test
