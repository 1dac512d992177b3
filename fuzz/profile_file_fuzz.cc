// Feeds arbitrary bytes to the profile file reader.
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <string>

#include "qm/platform/profile.h"
#include "scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::string file = [] {
        return qm_fuzz::ScratchDir("qmfuzz-ini") + "/ntccnf.ini";
    }();
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    char buf[128];
    for (const char* key : {"DBPath", "CSVPath", "", "a"}) {
        size_t n = qm::platform::GetPrivateProfileString("QWM_DBConf", key, "dflt", buf,
                                                        sizeof buf, file.c_str());
        if (n >= sizeof buf || buf[n] != '\0') abort();
    }
    return 0;
}
