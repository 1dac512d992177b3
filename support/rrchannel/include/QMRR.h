/* The request/response channel as the CGI programs and the scripting component see it: four
 * calls that hand a request text to the serving process and read its answer chunk by chunk.
 *
 * The library is loaded at run time by name ("QMRR.dll" → libQMRR.so) and the four calls are
 * bound by these exact names. Each thread has its own channel: one open request at a time
 * per thread, from ShMemOpen to ShMemClose. Every wait on the server (sending, or reading the
 * next frame) gives up after 10 minutes, or $QM_RR_TIMEOUT_MS milliseconds when set. */
#ifndef QMRR_H
#define QMRR_H

#ifdef __cplusplus
extern "C" {
#endif

/* Connects to the serving process of this installation and hands over the request text
 * (NUL-terminated, at most 204799 characters). 1 when the server took the request, 0 when
 * there is no server, it refused, or the text is empty or too long. An exchange still open on
 * this thread is closed first. */
int ShMemOpen(const char* request);

/* Sends count bytes of upload data in data mode `mode` (1 or 2). Returns count when all were
 * accepted, -1 on failure. A count of 0 ends the upload and returns 0; no further writes are
 * possible after it. */
int ShMemWrite(int mode, int count, const char* data);

/* Reads the next piece of the answer into buffer (up to capacity bytes) and its data mode into
 * *mode (1 text, 2 binary; a chunk larger than capacity comes in several pieces of the same
 * mode). Returns the byte count, 0 at the end of the answer, or a negative code: -1 nothing
 * open, -2 connection lost, -3 time-out, -4 or the server's own negative code when the server
 * failed, -5 bad arguments. Ends the upload first if the caller did not. */
int ShMemRead(int* mode, int capacity, char* buffer);

/* Ends the exchange and drops the connection. Non-zero when an exchange was open. */
int ShMemClose(void);

typedef int (*ShMemOpenFn)(const char*);
typedef int (*ShMemWriteFn)(int, int, const char*);
typedef int (*ShMemReadFn)(int*, int, char*);
typedef int (*ShMemCloseFn)(void);

#ifdef __cplusplus
}
#endif

#endif /* QMRR_H */
