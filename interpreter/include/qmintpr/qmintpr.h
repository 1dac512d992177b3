/* The three exports of the page interpreter library (libqmintpr.so), as a host loads them.
 *
 * ServiceInitialize creates the service object (null when memory runs out); the host owns it
 * until ServiceRelease. Service runs one request: `params` is writable text of name=value pairs
 * separated by "|" which the interpreter splits in place (the host must not use it again). All
 * output goes through the callback with kind 1, and every request ends with one call
 * (context, 1, 0, null) whose result Service returns. Service may run on many threads at once.
 * ServiceRelease releases every loaded tag library (TAGRelease, then unload) and returns 0.
 * A negative result from the callback stops the request: nothing more is written and the page
 * ends at its next statement (the final end-of-page call is still made).
 *
 * ServiceWithCancel runs one request like Service and also watches `*cancel` (may be null):
 * once another thread makes it non-zero (the client went away, the request ran past its time,
 * the server stops) the page writes nothing more and ends at its next statement, loop turn
 * or tag call; a tag call already running is not interrupted. The host keeps the flag alive
 * until the call returns and sets it with an atomic store.
 *
 * When a request ends, however it ends, every tag library it called that exports
 * TAGEndRequest is told so on the request's thread (qmintpr/tag_library.h). */
#ifndef QMINTPR_QMINTPR_H
#define QMINTPR_QMINTPR_H

#include <stdint.h>

#include "qmintpr/tag_library.h"

#if defined(__GNUC__)
#define QMINTPR_API __attribute__((visibility("default")))
#else
#define QMINTPR_API
#endif

#ifdef __cplusplus
extern "C" {
#endif

QMINTPR_API void* ServiceInitialize(void* hostContext, void* hostValue, QmOutputCallback output);
QMINTPR_API int32_t Service(void* service, char* params);
QMINTPR_API int32_t ServiceWithCancel(void* service, char* params, const int32_t* cancel);
QMINTPR_API int32_t ServiceRelease(void* service);

typedef void* (*QmServiceInitializeFn)(void*, void*, QmOutputCallback);
typedef int32_t (*QmServiceFn)(void*, char*);
typedef int32_t (*QmServiceWithCancelFn)(void*, char*, const int32_t*);
typedef int32_t (*QmServiceReleaseFn)(void*);

#ifdef __cplusplus
}
#endif

#endif /* QMINTPR_QMINTPR_H */
