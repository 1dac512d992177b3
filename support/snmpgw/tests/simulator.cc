// Starting and stopping snmpsim agents for the gateway's tests.
#include "simulator.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>

namespace qm::testsupport {

bool HaveProgram(const char* program) {
    return std::system((std::string("command -v ") + program + " >/dev/null 2>&1").c_str()) == 0;
}

std::string RunCommand(const std::string& command, int* status) {
    std::string out;
    FILE* p = ::popen(command.c_str(), "r");
    if (!p) {
        if (status) *status = -1;
        return out;
    }
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
    int rc = ::pclose(p);
    if (status) *status = WIFEXITED(rc) ? WEXITSTATUS(rc) : -1;
    return out;
}

int FreeUdpPort() {
    int fd = ::socket(AF_INET, SOCK_DGRAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(fd);
    return ntohs(a.sin_port);
}

SimulatedPrinters::SimulatedPrinters(const std::vector<std::string>& files, int first) : first_(first) {
    if (!HaveProgram("snmpsimd")) {
        why_ = "snmpsimd is not installed (Debian package snmpsim; scripts/setup.sh installs it)";
        return;
    }
    char tmpl[] = "/tmp/qm-sim-XXXXXX";
    if (!::mkdtemp(tmpl)) {
        why_ = "cannot make a state folder";
        return;
    }
    state_ = tmpl;
    port_ = FreeUdpPort();
    std::string cmd = std::string(QM_SOURCE_DIR) + "/scripts/printers.sh start --state " + state_ +
                      " --port " + std::to_string(port_) + " --first " + std::to_string(first);
    for (const auto& f : files) cmd += " '" + f + "'";
    int status = 0;
    std::string out = RunCommand(cmd + " 2>&1", &status);
    ok_ = status == 0;
    if (!ok_) why_ = "printers.sh start failed: " + out;
}

SimulatedPrinters::~SimulatedPrinters() {
    if (state_.empty()) return;
    RunCommand(std::string(QM_SOURCE_DIR) + "/scripts/printers.sh stop --state " + state_ + " 2>&1");
    std::error_code ec;
    std::filesystem::remove_all(state_, ec);
}

std::string SimulatedPrinters::address(size_t k) const {
    return "127.0.0." + std::to_string(first_ + static_cast<int>(k));
}

}  // namespace qm::testsupport
