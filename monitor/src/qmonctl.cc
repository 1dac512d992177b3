// qmonctl: sends the monitor its control commands through "MapServiceCtrl".
#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "qm/ipc/control.h"
#include "qm/ipc/names.h"
#include "qm/ipc/objects.h"
#include "qm/platform/tool_options.h"

namespace {

constexpr char kUsage[] =
    "Usage: qmonctl [--root DIR] [--timeout SECONDS] COMMAND\n"
    "Controls the running monitor service (Qmonmgr) of an installation.\n"
    "Commands:\n"
    "  pause      stop polling and trap handling until continue (command 1)\n"
    "  continue   resume and rebuild the polling list (command 2)\n"
    "  reload     rebuild the polling list from the notification database (command 5)\n"
    "  stop       end the monitor (command 9)\n"
    "  status     print \"running\" or \"stopped\"\n"
    "Options:\n"
    "  --timeout SECONDS  how long to wait for the monitor's acknowledgement (30)\n"
    "  --root DIR         installation root (default: $QM_ROOT, else the parent of bin/)\n"
    "  -h, --help         this text\n"
    "Exit codes: 0 done; 1 the monitor does not run or did not acknowledge; 2 wrong call.\n";

}  // namespace

int main(int argc, char** argv) {
    long timeout = 30;
    qm::platform::ToolOptions options("qmonctl", kUsage);
    options.Value("timeout", [&](const char* v) {
        char* end = nullptr;
        timeout = std::strtol(v, &end, 10);
        return end && *end == '\0' && timeout > 0 && timeout <= 86400;
    });
    if (auto code = options.Parse(argc, argv)) return *code;
    if (options.operands().size() != 1) return options.UsageText();
    const std::string& command = options.operands()[0];
    if (command == "status") {
        qm::ipc::NamedMutex running;
        const bool up = running.Open(qm::ipc::kMonitorMutex) == 0;
        std::puts(up ? "running" : "stopped");
        return up ? 0 : 1;
    }
    static const std::map<std::string, const char*> kCommands = {
        {"pause", qm::ipc::kCmdPause},
        {"continue", qm::ipc::kCmdContinue},
        {"reload", qm::ipc::kCmdReload},
        {"stop", qm::ipc::kCmdStop}};
    auto it = kCommands.find(command);
    if (it == kCommands.end()) return options.Usage("unknown command " + command);
    int rc = qm::ipc::SendControlCommand(qm::ipc::kMonitorControlMap, qm::ipc::kMonitorControlEvent,
                                         it->second, static_cast<uint32_t>(timeout * 1000));
    if (rc == qm::ipc::kControlNoService) {
        std::fprintf(stderr, "qmonctl: the monitor does not run\n");
        return 1;
    }
    if (rc != 0) {
        std::fprintf(stderr, "qmonctl: the monitor did not acknowledge %s (%d)\n", command.c_str(), rc);
        return 1;
    }
    return 0;
}
