// Qntfmgr: the notification service. A plain process here; SIGTERM and SIGINT stop it as the
// command "9" does, so every receiver gets its goodbye.
#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <string>
#include <thread>

#include "QBUtil.h"
#include "qm/ipc/names.h"
#include "qm/ipc/objects.h"
#include "qm/ipc/security.h"
#include "qm/platform/paths.h"
#include "qm/platform/tool_options.h"
#include "service.h"

namespace {

constexpr char kUsage[] =
    "Usage: Qntfmgr [--root DIR]\n"
    "The notification service: sends the notices the monitor records to the registered\n"
    "receivers as acknowledged UDP datagrams. It is started by the registration tool (qmntf),\n"
    "takes its commands through the block \"QntfmgrMap\" (1/2 HANDLE start a receiver, 8 HANDLE\n"
    "ends one without goodbye, 9 stops), and ends by itself when its last receiver is gone.\n"
    "The database lies under the parent of the current folder (run it from <root>/bin; --root\n"
    "changes to DIR/bin first). SIGTERM and SIGINT act as the command 9.\n"
    "Settings (registry, HKEY_LOCAL_MACHINE\\Software\\OvrelNet\\OvrelNetQuinsward\\\n"
    "Notification_Service\\QNTFMGR): UdpPort (7000; 5001-65535, the first local port is one\n"
    "above), UdpDefaultTimeout (1 s, doubled per try), UdpRetryCount (4), UdpCheckInterval (90 s).\n"
    "Exit codes: 0 after a stop; 255 (-1) when a service already runs or start-up failed.\n"
    "Options:\n"
    "  --root DIR   installation root (default: $QM_ROOT, else the parent of bin/)\n"
    "  -h, --help   this text\n";

}  // namespace

int main(int argc, char** argv) {
    qm::platform::ToolOptions options("Qntfmgr", kUsage);
    if (auto code = options.Parse(argc, argv)) return *code;
    if (!options.operands().empty()) return options.Usage("unexpected operand " + options.operands()[0]);
    if (!options.root().empty() && chdir((qm::platform::InstallRoot() + "/bin").c_str()) != 0) {
        std::fprintf(stderr, "Qntfmgr: %s/bin does not exist\n", qm::platform::InstallRoot().c_str());
        return -1;
    }
    if (qm::ipc::PlatformClass() == 0) return -1;
    {
        qm::ipc::NamedMutex served;
        if (served.Open(qm::ipc::kNotifierMutex) == 0) {
            std::fprintf(stderr, "Qntfmgr: a notification service already runs for this installation\n");
            return -1;
        }
    }
    char cwd[4096];
    if (!getcwd(cwd, sizeof cwd)) return -1;
    std::string folder(cwd);
    const size_t slash = folder.find_last_of('/');
    folder = slash == 0 ? "/" : folder.substr(0, slash);

    // Signals go to one waiting thread, never into a delivery thread's system call.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    qm::notifier::Service service(folder);
    std::thread([&service, stopSignals] {
        int sig = 0;
        if (sigwait(&stopSignals, &sig) == 0) service.RequestStop();
    }).detach();
    int rc = service.Run();
    QbTrace(QB_TRACE_INFO, "QNTFMGR", __LINE__, "QNTFMGR: ended (%d)", rc);
    std::fflush(nullptr);
    _exit(rc == 0 ? 0 : 255);
}
