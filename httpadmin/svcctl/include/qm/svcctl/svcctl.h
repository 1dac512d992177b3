/* Service control helpers: observe and control the HTTP server qmhttpd (the service
 * "QNQuinsward_Httpd") from the administration CGI, the control panel and the tray monitor.
 *
 * Here services are plain processes, so every operation goes through the named objects the
 * server keeps in its installation root: while it runs it holds a handle to the mutex
 * "__MUTEX__QNQuinsward_Httpd" and owns it while paused; "__STOP__QNQuinsward_Httpd" stops it
 * and "__PAUSE__QNQuinsward_Httpd" toggles between running and paused. The installation root
 * is the caller's ($QM_ROOT, else the parent of the program's folder).
 *
 * Results of the four operations: 0 success, 1 the state did not arrive in time, -1 error or
 * not applicable. With `noWait` set an operation returns 0 as soon as the request has been
 * delivered. Nothing here writes to the console or a log; callers print their own messages.
 * The helpers are meant for one thread of each program; several programs may operate at once,
 * since each operation re-reads the state first. */
#ifndef QM_SVCCTL_SVCCTL_H
#define QM_SVCCTL_SVCCTL_H

#include <stddef.h>

#ifdef __cplusplus
extern "C" {
#endif

enum {
    QM_SERVER_UNKNOWN = -1,
    QM_SERVER_STOPPED = 0,
    QM_SERVER_RUNNING = 1,
    QM_SERVER_PAUSED = 2
};

/* Platform class: 2 here (services are plain processes). `version` (may be NULL) receives the
 * kernel's major version shifted left 16 bits, or-ed with the minor version. */
int GetPlatform(unsigned* version);

/* QM_SERVER_STOPPED, _RUNNING, _PAUSED, or _UNKNOWN when it cannot be told. */
int GetServerState(void);

/* Starts the installed qmhttpd (InstallationPath/qmhttpd, else sbin/qmhttpd of the
 * installation) detached; waits up to 5 s for it to run unless `noWait`. A paused server is
 * not started again (-1). */
int StartServer(int noWait);
int StopServer(int noWait);
int PauseServer(int noWait);
int ContinueServer(int noWait);

/* Copies InstallationPath + "/servicelog.txt" into `buf` (NUL-terminated). 0, or -1 when the
 * registry value cannot be read or the text does not fit. */
int ServiceLogPath(char* buf, size_t size);

/* Copies the last line of the log at `logPath` that begins with "[Error]" (lines are read up
 * to 127 characters each) into `buf`, without its line end; "" when there is none or the log
 * cannot be read. Returns the length copied. */
size_t LastErrorLine(const char* logPath, char* buf, size_t size);

#ifdef __cplusplus
}
#endif

#endif /* QM_SVCCTL_SVCCTL_H */
