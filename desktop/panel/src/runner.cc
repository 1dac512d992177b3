// qmcplrun: the control panel runner. Loads an applet library, asks it for its applets and
// opens the first one, the way the tray monitor's "Http Server Property" opens the applet.
#include <cstdio>
#include <string>

#include "qm/panel/cpl.h"
#include "qm/platform/library.h"
#include "qm/platform/tool_options.h"

namespace {

constexpr const char* kUsage =
    "usage: qmcplrun [--root DIR] [--list] [LIBRARY]\n"
    "Opens a control panel applet: loads LIBRARY (default QMPANEL, found in the installation's\n"
    "bin/), calls its CPlApplet and opens its first applet.\n"
    "  --root DIR   installation root (default: $QM_ROOT, else the parent of sbin/)\n"
    "  --list       print each applet's name and description (tab-separated) and exit\n"
    "Exit status: 0 the applet ran, 1 it could not be loaded or opened, 2 wrong call.\n";

}  // namespace

int main(int argc, char** argv) {
    bool list = false;
    qm::platform::ToolOptions options("qmcplrun", kUsage);
    options.Flag("list", &list);
    if (auto rc = options.Parse(argc, argv)) return *rc;
    if (options.operands().size() > 1) return options.Usage("too many operands");
    std::string name = options.operands().empty() ? "QMPANEL" : options.operands()[0];
    // "libQMPANEL.so" and "QMPANEL.cpl" name the same library as "QMPANEL".
    if (name.rfind("lib", 0) == 0 && name.find('/') == std::string::npos) name.erase(0, 3);
    for (const char* ext : {".so", ".cpl"}) {
        std::string e = ext;
        if (name.size() > e.size() && name.compare(name.size() - e.size(), e.size(), e) == 0) {
            name.resize(name.size() - e.size());
        }
    }
    auto lib = qm::platform::LoadLibraryByName(name);
    if (!lib) {
        std::fprintf(stderr, "qmcplrun: cannot load %s: %s\n", name.c_str(),
                     qm::platform::LibraryError().c_str());
        return 1;
    }
    auto applet = reinterpret_cast<CPlAppletFn>(qm::platform::LibrarySymbol(lib, "CPlApplet"));
    if (!applet) {
        std::fprintf(stderr, "qmcplrun: %s exports no CPlApplet\n", name.c_str());
        return 1;
    }
    if (applet(nullptr, CPL_INIT, 0, 0) == 0) {
        std::fprintf(stderr, "qmcplrun: %s refused to initialise\n", name.c_str());
        return 1;
    }
    long count = applet(nullptr, CPL_GETCOUNT, 0, 0);
    int rc = count > 0 ? 0 : 1;
    for (long i = 0; i < count; ++i) {
        NEWCPLINFO info{};
        info.dwSize = sizeof info;
        if (applet(nullptr, CPL_NEWINQUIRE, i, reinterpret_cast<intptr_t>(&info)) != 0) {
            rc = 1;
            continue;
        }
        if (list) {
            std::printf("%s\t%s\n", info.szName, info.szInfo);
        } else if (i == 0) {
            if (applet(nullptr, CPL_DBLCLK, i, info.lData) != 0) {
                std::fprintf(stderr, "qmcplrun: %s did not open (is InstallationPath set?)\n",
                             info.szName);
                rc = 1;
            }
        }
        applet(nullptr, CPL_STOP, i, info.lData);
    }
    applet(nullptr, CPL_EXIT, 0, 0);
    // The applet library stays loaded until the end: its Qt objects are torn down at exit.
    return rc;
}
