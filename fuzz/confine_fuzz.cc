// Path confinement against arbitrary names: whatever the name, an accepted result lies inside
// the root, and nothing crashes. The first byte picks the flags.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "qm/platform/confine.h"
#include "scratch.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string root = [] {
        return qm_fuzz::ScratchDir("qm-confine-fuzz");
    }();
    if (size == 0) return 0;
    unsigned flags = data[0] & 3u;
    std::string_view name(reinterpret_cast<const char*>(data + 1), size - 1);
    std::string out;
    if (qm::platform::ConfinePath(root, name, flags, &out) == qm::platform::kConfineOk) {
        if (out.compare(0, root.size(), root) != 0 || (out.size() > root.size() && out[root.size()] != '/')) {
            std::abort();
        }
        if (out.find("/../") != std::string::npos) std::abort();
    }
    return 0;
}
