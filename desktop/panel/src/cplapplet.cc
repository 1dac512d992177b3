// CPlApplet, the control panel entry of libQMPANEL.so (see cpl.h).
#include "qm/panel/cpl.h"

#include <cstring>

#include "qm/panel/dialogs.h"
#include "qm/panel/panel.h"

namespace {

// Nothing opens when the server's installation is not known (no service log path).
int OpenRoutine() { return qm::panel::OpenApplet(); }

void CopyText(char* out, size_t size, const char* text) {
    std::strncpy(out, text, size - 1);
    out[size - 1] = '\0';
}

}  // namespace

extern "C" long CPlApplet(void* /*hwndCPl*/, unsigned msg, intptr_t lParam1, intptr_t lParam2) {
    // Nothing may escape into the runner, which is a C caller.
    try {
        switch (msg) {
            case CPL_INIT:
            case CPL_GETCOUNT:
                return 1;
            case CPL_NEWINQUIRE: {
                if (lParam1 != 0 || lParam2 == 0) return 1;
                auto* info = reinterpret_cast<NEWCPLINFO*>(lParam2);
                std::memset(info, 0, sizeof *info);
                info->dwSize = sizeof *info;
                info->lData = reinterpret_cast<intptr_t>(&OpenRoutine);
                info->hIcon = "PPANEL";
                CopyText(info->szName, sizeof info->szName, qm::panel::Text(200));
                CopyText(info->szInfo, sizeof info->szInfo, qm::panel::Text(300));
                return 0;
            }
            case CPL_DBLCLK: {
                // The record's data is the applet's open routine; only ours is run.
                if (lParam2 != reinterpret_cast<intptr_t>(&OpenRoutine)) return 1;
                return OpenRoutine() == 0 ? 0 : 1;
            }
            case CPL_SELECT:
            case CPL_STOP:
            case CPL_EXIT:
            default:
                return 0;
        }
    } catch (...) {
        return 1;
    }
}
