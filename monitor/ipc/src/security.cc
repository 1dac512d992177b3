// The platform class, asked of the platform layer once per process.
#include "qm/ipc/security.h"

#include "qm/platform/clock.h"

namespace qm::ipc {

int PlatformClass() {
    static const int cls = qm::platform::PlatformClass();
    return cls;
}

bool UsesOpenSecurity() { return PlatformClass() == 3; }

}  // namespace qm::ipc
