// Simulated printers for tests: starts snmpsim agents through scripts/printers.sh in a private
// state folder on loopback, and stops exactly those agents again.
#pragma once

#include <string>
#include <vector>

namespace qm::testsupport {

class SimulatedPrinters {
public:
    // Starts one agent per file on 127.0.0.<first + k>:<port>. ok() is false (and why() says
    // why) when snmpsim is not installed or the agents did not come up.
    SimulatedPrinters(const std::vector<std::string>& files, int first);
    ~SimulatedPrinters();
    SimulatedPrinters(const SimulatedPrinters&) = delete;
    SimulatedPrinters& operator=(const SimulatedPrinters&) = delete;

    bool ok() const { return ok_; }
    const std::string& why() const { return why_; }
    int port() const { return port_; }
    std::string address(size_t k) const;

private:
    std::string state_;
    int port_ = 0;
    int first_ = 0;
    bool ok_ = false;
    std::string why_;
};

// True when `program` is found on PATH.
bool HaveProgram(const char* program);
// Runs a shell command and returns its standard output.
std::string RunCommand(const std::string& command, int* status = nullptr);
// A UDP port that was free on 127.0.0.1 a moment ago.
int FreeUdpPort();

}  // namespace qm::testsupport
