// qntpset: the trap registration helper. The notification database starts it ("qntpset.exe")
// and hands it one printer at a time; it also registers a printer by hand.
#include <signal.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "local_address.h"
#include "qm/platform/registry.h"
#include "qm/platform/tool_options.h"
#include "qntrap.h"
#include "qm/qntpset/handshake.h"
#include "server.h"

namespace {

using namespace qm;

constexpr const char* kIdleSetting = "QntpsetIdleTime";

constexpr const char* kUsage =
    "usage: qntpset [--root DIR] [--idle-time SECONDS]\n"
    "       qntpset [--root DIR] --set PRINTER | --reset PRINTER\n"
    "Registers this computer as the trap destination of printers, so that they send their\n"
    "SNMP traps to the monitor.\n"
    "Without --set or --reset it serves the notification database: it holds the mutex\n"
    "\"QntpsetMutex\", takes one request at a time through the event \"QntpsetEvent\" and the\n"
    "block \"QntpsetrMap\" (command 1 registers, 9 removes, then the printer's address),\n"
    "acknowledges each, and ends after SECONDS without a request (default 60, or the number\n"
    "QntpsetIdleTime under HKEY_LOCAL_MACHINE\\SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup).\n"
    "  --idle-time SECONDS  end after SECONDS without a request (1..86400)\n"
    "  --set PRINTER     enter this computer into a free trap destination slot of PRINTER\n"
    "  --reset PRINTER   remove this computer from every slot of PRINTER\n"
    "  --root DIR        the installation root (else $QM_ROOT, else the parent of bin/)\n"
    "The address registered is the text TrapDestinationAddress under the Setup key above when\n"
    "set, else the first IPv4 address the computer name resolves to. Printers cannot send traps\n"
    "to a loopback address: where the name resolves to 127.x.x.x only, set TrapDestinationAddress\n"
    "(qmreg set 'HKLM\\SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup' TrapDestinationAddress A.B.C.D).\n";

void PrintAddressNote() {
    trapdest::LocalAddress self = trapdest::DiscoverLocalAddress();
    if (self.address.empty()) {
        std::printf("This computer has no address to register now: %s.\n", self.why.c_str());
    } else if (self.loopback) {
        std::printf("This computer would register as %s (%s): a loopback address, which printers\n"
                    "cannot send traps to. Set TrapDestinationAddress.\n",
                    self.address.c_str(), self.source.c_str());
    } else {
        std::printf("This computer registers as %s (%s).\n", self.address.c_str(), self.source.c_str());
    }
}

bool ParseSeconds(const char* text, long* out) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 1 || v > 86400) return false;
    *out = v;
    return true;
}

long IdleSeconds() {
    platform::RegValue v;
    if (platform::RegGetValue(platform::RegRoot::LocalMachine, trapdest::kSetupKey, kIdleSetting, &v) != 0) {
        return qntpset::kDefaultIdleSeconds;
    }
    long seconds = 0;
    if (v.type == platform::kRegDword) seconds = static_cast<long>(v.number);
    else if (!ParseSeconds(v.text.c_str(), &seconds)) seconds = 0;
    return seconds >= 1 && seconds <= 86400 ? seconds : qntpset::kDefaultIdleSeconds;
}

std::atomic<bool> g_stop{false};

void OnStop(int) { g_stop = true; }

int Registrar(int command, const std::string& address) {
    return command == qntpset::kCommandRegister ? QnConfigSetTrapIP(address.c_str())
                                                 : QnConfigReSetTrapIP(address.c_str());
}

}  // namespace

int main(int argc, char** argv) {
    long idle = 0;
    std::string set, reset;
    platform::ToolOptions options("qntpset", kUsage);
    options.Value("idle-time", [&](const char* v) { return ParseSeconds(v, &idle); })
        .Text("set", &set)
        .Text("reset", &reset);
    if (auto exit = options.Parse(argc, argv)) {
        if (*exit == platform::kExitOk) PrintAddressNote();
        return *exit;
    }
    if (!options.operands().empty()) return options.Usage("unexpected operand " + options.operands()[0]);
    if (!set.empty() && !reset.empty()) return options.Usage("give one of --set and --reset");
    const int command = !set.empty() ? qntpset::kCommandRegister : !reset.empty() ? qntpset::kCommandUnregister : 0;
    const std::string printer = !set.empty() ? set : reset;
    if (command != 0) {
        int rc = Registrar(command, printer);
        std::printf("%s %s: %d\n", command == qntpset::kCommandRegister ? "set" : "reset", printer.c_str(), rc);
        return rc == 0 ? platform::kExitOk : platform::kExitFailure;
    }
    qntpset::ServerOptions serving;
    serving.idle = std::chrono::seconds(idle > 0 ? idle : IdleSeconds());
    // SIGTERM and Ctrl-C end the helper the orderly way, as idleness does.
    serving.stop = &g_stop;
    struct sigaction action {};
    action.sa_handler = OnStop;
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    return qntpset::Serve(serving, Registrar);
}
