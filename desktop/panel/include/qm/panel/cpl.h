/* The control panel entry of libQMPANEL.so: one exported function, CPlApplet, that a control
 * panel runner (qmcplrun here) drives with these messages:
 *
 *   CPL_INIT, CPL_GETCOUNT        -> the number of applets (1)
 *   CPL_NEWINQUIRE(i, NEWCPLINFO*) fills the record of applet i; returns 0
 *   CPL_DBLCLK(i, lData)          runs the applet: its open routine (lData) shows the dialogs
 *   CPL_SELECT, CPL_STOP, CPL_EXIT -> 0
 *
 * The record keeps the field order of its Windows ancestor; its size is this platform's
 * (sizeof(NEWCPLINFO)), since lData carries a pointer. The icon is named, not a handle: the
 * runner finds the picture by that name. */
#ifndef QM_PANEL_CPL_H
#define QM_PANEL_CPL_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    CPL_INIT = 1,
    CPL_GETCOUNT = 2,
    CPL_INQUIRE = 3,
    CPL_SELECT = 4,
    CPL_DBLCLK = 5,
    CPL_STOP = 6,
    CPL_EXIT = 7,
    CPL_NEWINQUIRE = 8
};

typedef struct NEWCPLINFO {
    uint32_t dwSize;
    uint32_t dwFlags;
    uint32_t dwHelpContext;
    intptr_t lData;
    const char* hIcon; /* the icon's name, "PPANEL" */
    char szName[32];
    char szInfo[64];
    char szHelpFile[128];
} NEWCPLINFO;

typedef long (*CPlAppletFn)(void* hwndCPl, unsigned msg, intptr_t lParam1, intptr_t lParam2);

long CPlApplet(void* hwndCPl, unsigned msg, intptr_t lParam1, intptr_t lParam2);

#ifdef __cplusplus
}
#endif

#endif /* QM_PANEL_CPL_H */
