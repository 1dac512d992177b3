// qmreg: reads and writes the installation's registry from the command line.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "qm/platform/paths.h"
#include "qm/platform/registry.h"
#include "qm/platform/tool_options.h"

namespace {

using namespace qm::platform;

constexpr const char* kUsage =
    "usage: qmreg [--root DIR] COMMAND ...\n"
    "  get    KEY [NAME]            print one value (or all values of KEY)\n"
    "  set    KEY NAME TEXT         store a text value (creates the key)\n"
    "  setnum KEY NAME NUMBER       store a 32-bit number (decimal or 0x-hex)\n"
    "  list   KEY                   list the subkeys and values of KEY\n"
    "  delete KEY [NAME]            delete a value, or KEY with everything below it\n"
    "KEY starts with its root: HKEY_LOCAL_MACHINE\\SOFTWARE\\... (HKLM, HKCU, HKCR, HKU).\n"
    "The root of the installation is --root, else $QM_ROOT, else the parent of bin/.\n";

bool SplitKey(const std::string& text, RegRoot* root, std::string* path) {
    auto slash = text.find_first_of("\\/");
    std::string head = text.substr(0, slash);
    if (!ParseRegRoot(head, root)) return false;
    *path = slash == std::string::npos ? "" : text.substr(slash + 1);
    return true;
}

void PrintValue(const RegValue& v) {
    if (v.type == kRegDword) std::printf("%s\tREG_DWORD\t%u\n", v.name.c_str(), v.number);
    else std::printf("%s\tREG_SZ\t%s\n", v.name.c_str(), v.text.c_str());
}

int Fail(int rc, const char* what) {
    std::fprintf(stderr, "qmreg: %s: %s (error %d)\n", what,
                 rc == 2 ? "not found" : rc == 87 ? "bad key path" : "cannot write the registry",
                 rc);
    return kExitFailure;
}

}  // namespace

int main(int argc, char** argv) {
    ToolOptions options("qmreg", kUsage);
    if (auto exit = options.Parse(argc, argv)) return *exit;
    const std::vector<std::string>& args = options.operands();
    if (args.empty()) return options.UsageText();
    const std::string& cmd = args[0];
    RegRoot root;
    std::string path;
    if (args.size() < 2) return options.Usage("missing KEY");
    if (!SplitKey(args[1], &root, &path)) return options.Usage("bad KEY " + args[1]);
    if (cmd == "get" && (args.size() == 2 || args.size() == 3)) {
        if (args.size() == 3) {
            RegValue v;
            int rc = RegGetValue(root, path, args[2], &v);
            if (rc != 0) return Fail(rc, args[2].c_str());
            std::printf("%s\n", v.type == kRegDword ? std::to_string(v.number).c_str()
                                                    : v.text.c_str());
            return 0;
        }
        std::vector<RegValue> values;
        int rc = RegListValues(root, path, &values);
        if (rc != 0) return Fail(rc, args[1].c_str());
        for (const auto& v : values) PrintValue(v);
        return 0;
    }
    if (cmd == "set" && args.size() == 4) {
        int rc = RegSetString(root, path, args[2], args[3], true);
        return rc == 0 ? 0 : Fail(rc, args[1].c_str());
    }
    if (cmd == "setnum" && args.size() == 4) {
        char* end = nullptr;
        unsigned long n = std::strtoul(args[3].c_str(), &end, 0);
        if (args[3].empty() || *end != '\0' || n > 0xFFFFFFFFul) {
            return options.Usage("not a 32-bit number: " + args[3]);
        }
        int rc = RegSetNumber(root, path, args[2], static_cast<uint32_t>(n), true);
        return rc == 0 ? 0 : Fail(rc, args[1].c_str());
    }
    if (cmd == "list" && args.size() == 2) {
        std::vector<std::string> keys;
        int rc = RegListSubkeys(root, path, &keys);
        if (rc != 0) return Fail(rc, args[1].c_str());
        for (const auto& k : keys) std::printf("[%s]\n", k.c_str());
        std::vector<RegValue> values;
        RegListValues(root, path, &values);
        for (const auto& v : values) PrintValue(v);
        return 0;
    }
    if (cmd == "delete" && (args.size() == 2 || args.size() == 3)) {
        int rc = args.size() == 3 ? RegDeleteValue(root, path, args[2]) : RegDeleteKey(root, path);
        return rc == 0 ? 0 : Fail(rc, args[1].c_str());
    }
    return options.Usage("unknown command or wrong number of arguments: " + cmd);
}
