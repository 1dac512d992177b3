// Feeds arbitrary bytes to the registry file reader, then reads and rewrites through it.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <fstream>
#include <string>

#include "qm/platform/registry.h"
#include "scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string root = [] {
        std::string r = qm_fuzz::ScratchDir("qmfuzz-reg");
        setenv("QM_ROOT", r.c_str(), 1);
        return r;
    }();
    {
        std::ofstream out(root + "/registry", std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    using namespace qm::platform;
    std::vector<std::string> keys;
    std::vector<RegValue> values;
    RegListSubkeys(RegRoot::LocalMachine, "", &keys);
    for (const auto& k : keys) RegListValues(RegRoot::LocalMachine, k, &values);
    RegValue v;
    RegGetValue(RegRoot::LocalMachine, "SOFTWARE", "x", &v);
    // A write must re-read the damaged file and leave a file that reads back the new value.
    if (RegSetString(RegRoot::LocalMachine, "SOFTWARE\\F", "n", "v\"\\\n", true) == 0) {
        if (RegGetValue(RegRoot::LocalMachine, "SOFTWARE\\F", "n", &v) != 0 || v.text != "v\"\\\n") {
            abort();
        }
    }
    return 0;
}
