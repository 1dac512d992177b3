// Runs templates through qmpage in a throw-away installation root.
#include "page_runner.h"

#include <fstream>

#include "qm/platform/registry.h"
#include "simulator.h"

namespace qm::tag::test {

namespace {
constexpr const char* kSetup = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";
}

PageSite::PageSite(int snmpPort, int timeoutMs, int retries) : root_(std::make_unique<qm::testing::TempRoot>()) {
    using qm::platform::RegRoot;
    qm::platform::RegSetNumber(RegRoot::LocalMachine, kSetup, "SnmpPort", static_cast<uint32_t>(snmpPort), true);
    qm::platform::RegSetNumber(RegRoot::LocalMachine, kSetup, "SnmpTimeout", static_cast<uint32_t>(timeoutMs), true);
    qm::platform::RegSetNumber(RegRoot::LocalMachine, kSetup, "SnmpRetries", static_cast<uint32_t>(retries), true);
}

std::string PageSite::Run(const std::string& name, const std::string& text,
                          const std::map<std::string, std::string>& fields) {
    std::ofstream(root_->path() + "/html/en/" + name, std::ios::binary) << text;
    std::string cmd = "'" + qm::testing::BuildBinFolder() + "/qmpage' --root '" + root_->path() +
                      "' 'LANGUAGE=en|TEMPLATE=" + name;
    for (const auto& [k, v] : fields) cmd += "|" + k + "=" + v;
    cmd += "' 2>&1";
    return qm::testsupport::RunCommand(cmd);
}

std::string Key(const std::string& ip, const std::string& index) { return "1;" + ip + ";;;" + index; }

}  // namespace qm::tag::test
