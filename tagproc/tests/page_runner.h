// Runs templates through qmpage in a throw-away installation root whose SNMP settings point at
// simulated printers on loopback, the way the HTTP server would run a page.
#pragma once

#include <map>
#include <memory>
#include <string>

#include "qm/testing/testing.h"

namespace qm::tag::test {

class PageSite {
public:
    // Gateway settings: agents on `snmpPort`; time-outs short enough that silent devices end
    // soon, with retries for simulated printers that miss an answer time on a busy machine.
    explicit PageSite(int snmpPort, int timeoutMs = 700, int retries = 2);
    // Writes html/en/<name> and runs it with the given request fields; returns the page text.
    std::string Run(const std::string& name, const std::string& text,
                    const std::map<std::string, std::string>& fields = {});
    const std::string& root() const { return root_->path(); }

private:
    std::unique_ptr<qm::testing::TempRoot> root_;
};

// "1;IP;;MAC;index" for a printer on loopback.
std::string Key(const std::string& ip, const std::string& index = "");

}  // namespace qm::tag::test
