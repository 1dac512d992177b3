// qmconf: reads and writes the stored settings (the QMC_ items) of an installation root, so
// administrators and the demo script can set the discovery addresses without a page.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qm/platform/paths.h"
#include "qmdbmgr.h"

namespace {

void Usage(FILE* out) {
    std::fprintf(out,
                 "usage: qmconf [--root DIR] get ITEM...\n"
                 "       qmconf [--root DIR] set ITEM VALUE [ITEM VALUE]...\n"
                 "Reads or writes settings items (e.g. QMC_BroadIPLocal, QMC_BroadIPAdr6) of the\n"
                 "configuration database of an installation root (default: $QM_ROOT, else the\n"
                 "parent of this program's folder). get prints one value per line; an item never\n"
                 "written prints an empty line. Values are at most %d characters.\n",
                 DB_SETTING_DATA_SIZE - 1);
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    size_t at = 0;
    if (at + 1 < args.size() && args[at] == "--root") {
        setenv("QM_ROOT", args[at + 1].c_str(), 1);
        at += 2;
    }
    if (at < args.size() && (args[at] == "--help" || args[at] == "-h")) {
        Usage(stdout);
        return 0;
    }
    if (at >= args.size()) {
        Usage(stderr);
        return 2;
    }
    std::string command = args[at++];
    std::vector<std::string> rest(args.begin() + static_cast<long>(at), args.end());
    if ((command == "get" && rest.empty()) || (command == "set" && (rest.empty() || rest.size() % 2 != 0)) ||
        (command != "get" && command != "set")) {
        Usage(stderr);
        return 2;
    }
    // The database lives in "..\conf\" seen from bin/, as for every program of the suite.
    std::string bin = qm::platform::RootPath("bin");
    if (chdir(bin.c_str()) != 0) {
        std::fprintf(stderr, "qmconf: no folder %s\n", bin.c_str());
        return 1;
    }
    if (DBMgrInitialize() != 0) {
        std::fprintf(stderr, "qmconf: the configuration database did not start\n");
        return 1;
    }
    int status = 0;
    if (command == "get") {
        for (const auto& item : rest) {
            char data[DB_SETTING_DATA_SIZE] = {};
            if (item.size() > DB_SETTING_ITEM_MAX || DBReadQMInfo(item.c_str(), data) != 0) {
                std::fprintf(stderr, "qmconf: cannot read %s\n", item.c_str());
                status = 1;
                continue;
            }
            data[sizeof data - 1] = 0;
            std::printf("%s\n", data);
        }
    } else {
        for (size_t i = 0; i < rest.size(); i += 2) {
            if (rest[i].size() > DB_SETTING_ITEM_MAX || rest[i + 1].size() >= DB_SETTING_DATA_SIZE ||
                DBWriteQMInfo(rest[i].c_str(), rest[i + 1].c_str()) != 0) {
                std::fprintf(stderr, "qmconf: cannot write %s\n", rest[i].c_str());
                status = 1;
            }
        }
    }
    DBMgrRelease();
    return status;
}
