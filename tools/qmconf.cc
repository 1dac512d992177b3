// qmconf: reads and writes the stored settings (the QMC_ items) of an installation root, so
// administrators and the demo script can set the discovery addresses without a page.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qm/platform/paths.h"
#include "qm/platform/tool_options.h"
#include "qmdbmgr.h"

namespace {

std::string UsageText() {
    char text[640];
    std::snprintf(text, sizeof text,
                  "usage: qmconf [--root DIR] get ITEM...\n"
                  "       qmconf [--root DIR] set ITEM VALUE [ITEM VALUE]...\n"
                  "Reads or writes settings items (e.g. QMC_BroadIPLocal, QMC_BroadIPAdr6) of the\n"
                  "configuration database of an installation root (default: $QM_ROOT, else the\n"
                  "parent of this program's folder). get prints one value per line; an item never\n"
                  "written prints an empty line. Values are at most %d characters.\n",
                  DB_SETTING_DATA_SIZE - 1);
    return text;
}

}  // namespace

int main(int argc, char** argv) {
    qm::platform::ToolOptions options("qmconf", UsageText());
    if (auto exit = options.Parse(argc, argv)) return *exit;
    const std::vector<std::string>& args = options.operands();
    if (args.empty()) return options.UsageText();
    const std::string& command = args[0];
    std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command != "get" && command != "set") return options.Usage("unknown command " + command);
    if (rest.empty()) return options.Usage(command + " needs ITEM");
    if (command == "set" && rest.size() % 2 != 0) return options.Usage("set needs ITEM VALUE pairs");
    // The database lives in "..\conf\" seen from bin/, as for every program of the suite.
    std::string bin = qm::platform::RootPath("bin");
    if (chdir(bin.c_str()) != 0) {
        std::fprintf(stderr, "qmconf: no folder %s\n", bin.c_str());
        return qm::platform::kExitFailure;
    }
    if (DBMgrInitialize() != 0) {
        std::fprintf(stderr, "qmconf: the configuration database did not start\n");
        return qm::platform::kExitFailure;
    }
    int status = 0;
    if (command == "get") {
        for (const auto& item : rest) {
            char data[DB_SETTING_DATA_SIZE] = {};
            if (item.size() > DB_SETTING_ITEM_MAX || DBReadQMInfo(item.c_str(), data) != 0) {
                std::fprintf(stderr, "qmconf: cannot read %s\n", item.c_str());
                status = qm::platform::kExitFailure;
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
                status = qm::platform::kExitFailure;
            }
        }
    }
    DBMgrRelease();
    return status;
}
