// QMMONITOR: the tray monitor. One instance per installation; a second start asks the first
// to refresh its icon ("-stop": to exit) and ends.
#include <signal.h>

#include <QApplication>
#include <QMetaObject>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qm/desktop/desktop.h"
#include "qm/desktop/qt_support.h"
#include "qm/svcctl/svcctl.h"
#include "tray.h"
#include "tray_window.h"

namespace {

constexpr const char* kUsage =
    "usage: QMMONITOR [--root DIR] [-stop]\n"
    "Shows the state of the HTTP server (qmhttpd) as an icon in the notification area, with a\n"
    "menu to start, stop, pause and continue it and to open its control panel applet.\n"
    "One instance runs per installation: a second start makes the first refresh its icon.\n"
    "  --root DIR   installation root (default: $QM_ROOT, else the parent of sbin/)\n"
    "  -stop        ask the running instance to exit\n"
    "The icon hides while the registry value tasktray (HKEY_LOCAL_MACHINE\\SOFTWARE\\OvrelNet\\\n"
    "OvrelNetQuinsward\\Httpd) is 0; it is refreshed through the event __REFRESH__QMmonitor.\n";

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> rest;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--help" || a == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        }
        if (a == "--root") {
            if (i + 1 >= argc) {
                std::fputs("QMMONITOR: --root needs a folder (see --help)\n", stderr);
                return 2;
            }
            setenv("QM_ROOT", argv[++i], 1);
            continue;
        }
        rest.push_back(a);
    }
    using qm::desktop::MonitorIdentity;
    const bool stop = qm::tray::ParseInvocation(rest) == qm::tray::Invocation::Stop;
    if (MonitorIdentity::Exists()) {
        MonitorIdentity::Send(stop ? qm::desktop::kMsgClose : qm::desktop::kMsgRefresh);
        return 0;
    }
    if (stop) return 0;  // nothing runs that could be stopped

    char logPath[1024];
    if (ServiceLogPath(logPath, sizeof logPath) != 0) {
        std::fputs("QMMONITOR: the HTTP server's InstallationPath cannot be read\n", stderr);
        return 1;
    }

    // SIGTERM and SIGINT close the monitor as Exit does; one thread takes them.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    QApplication app(argc, argv);
    app.setQuitOnLastWindowClosed(false);
    qm::desktop::ServerOps ops;
    qm::desktop::QtMessages messages;
    qm::desktop::Launcher launcher;
    qm::tray::TrayMonitor monitor(ops, messages, launcher);
    monitor.SetOnClosed([&app] { app.quit(); });

    MonitorIdentity identity;
    int rc = identity.Claim([&monitor](int message) {
        QMetaObject::invokeMethod(&monitor, [&monitor, message] { monitor.HandleMessage(message); },
                                  Qt::QueuedConnection);
    });
    if (rc != 0) {
        // Another instance claimed the identity a moment before us.
        MonitorIdentity::Send(qm::desktop::kMsgRefresh);
        return 0;
    }
    std::thread([&monitor, stopSignals] {
        int sig = 0;
        if (sigwait(&stopSignals, &sig) == 0) {
            QMetaObject::invokeMethod(&monitor, [&monitor] { monitor.Close(); },
                                      Qt::QueuedConnection);
        }
    }).detach();
    if (monitor.Start() != 0) {
        std::fputs("QMMONITOR: cannot create the refresh event\n", stderr);
        return 1;
    }
    int result = app.exec();
    identity.Release();
    return result;
}
