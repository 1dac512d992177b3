// Qmonmgr: the monitor service. On this platform the service body runs in the foreground
// process; SIGTERM and SIGINT stop it as the control command "9" does.
#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <thread>

#include "monitor.h"
#include "ntfdb_api.h"
#include "qm/ipc/names.h"
#include "qm/ipc/objects.h"
#include "qm/ipc/security.h"
#include "qm/platform/tool_options.h"
#include "QBUtil.h"

namespace {

constexpr char kUsage[] =
    "Usage: Qmonmgr [--root DIR]\n"
    "The monitor service: polls the watched printers' alerts, supplies and counters, receives\n"
    "their SNMPv1 traps, and records what it finds in the notification database.\n"
    "It runs in the foreground until it gets the control command 9 (qmonctl stop), SIGTERM\n"
    "or SIGINT. Settings (registry, HKEY_LOCAL_MACHINE\\SOFTWARE\\OvrelNet\\OvrelNetQuinsward):\n"
    "  Setup\\InstallPath                        installation folder (default: this root)\n"
    "  Notification_Service\\QMONMGR\\CompactInterval  minutes between maintenance passes (1 day)\n"
    "  Notification_Service\\QMONMGR\\TrapPort   UDP port traps arrive on (162)\n"
    "and bin/ntccnf.ini [QWM_DBConf] DBPath (ntf).\n"
    "Exit codes: 0 after a stop; 255 (-1) when a monitor already runs or a database function is\n"
    "missing; 252 (-4) when the database library cannot be loaded.\n"
    "Options:\n"
    "  --root DIR   installation root (default: $QM_ROOT, else the parent of bin/)\n"
    "  -h, --help   this text\n";

}  // namespace

int main(int argc, char** argv) {
    qm::platform::ToolOptions options("Qmonmgr", kUsage);
    if (auto code = options.Parse(argc, argv)) return *code;
    if (!options.operands().empty()) return options.Usage("unexpected operand " + options.operands()[0]);

    {
        qm::ipc::NamedMutex running;
        if (running.Open(qm::ipc::kMonitorMutex) == 0) {
            std::fprintf(stderr, "Qmonmgr: a monitor already runs for this installation\n");
            return -1;
        }
    }
    // Signals go to one waiting thread, never to a worker in the middle of a database call.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    qm::monitor::MonitorConfig config = qm::monitor::ReadMonitorConfig();
    qm::monitor::NtfDbApi api;
    qm::platform::UniqueLibrary library;
    const char* missing = nullptr;
    int rc = qm::monitor::BindNtfDb(&api, &library, &missing);
    if (rc == -4) {
        std::fprintf(stderr, "Qmonmgr: the notification database library QNTFDB cannot be loaded\n");
        return -4;
    }
    if (rc != 0) {
        std::fprintf(stderr, "Qmonmgr: QNTFDB has no function %s\n", missing ? missing : "?");
        return -1;
    }
    if (qm::ipc::PlatformClass() != 2) return -1;

    qm::monitor::Monitor monitor(api, config);
    std::thread([&monitor, stopSignals] {
        int sig = 0;
        if (sigwait(&stopSignals, &sig) == 0) monitor.RequestStop();
    }).detach();
    rc = monitor.Run();
    QbTrace(QB_TRACE_INFO, "QMONMGR", __LINE__, "QMONMGR: stopped (%d)", rc);
    // Workers started through the database library may still be leaving their last call;
    // the library stays loaded until the process ends.
    library.release();
    return 0;
}
