/* The contract between the page interpreter and a tag library (QMTAG or any library with the
 * same calling convention), and the output callback that both share with the host.
 *
 * A tag library exports, by these exact names:
 *   TAGInitialize  (host context, host value, output callback, 0) -> processor handle, a
 *                  non-negative 32-bit value, or a negative value when it cannot start;
 *   TAGRelease     (processor handle), optional, called once when the interpreter is released;
 *   TAGEndRequest  (processor handle), optional: called once at the end of every request that
 *                  called the library, on the thread that ran that request, after its page
 *                  stopped (finished, failed, cancelled, or its client gone) and before the
 *                  end-of-page output call. The library ends what that request left open
 *                  (discovery sessions, say). Its result is ignored;
 *   TAGConcurrentCalls () -> non-zero, optional: the library keeps each calling thread's
 *                  result apart (valid until that thread's next call) and serialises its own
 *                  state, so the interpreter does not serialise calls into it; the library
 *                  may then let other requests' calls run while one waits on the network;
 *   tag functions  (argument count, argument vector) -> 32-bit signed code.
 *
 * Argument vector of a tag function call (room for QM_TAG_MAX_ARGV entries, unused ones null):
 *   argv[0]  int32_t*               the processor handle that TAGInitialize returned
 *   argv[1]  const unsigned char**  result slot, preset to null; the function stores a pointer
 *                                   to its BER-encoded result there, or leaves it null
 *   argv[2+] the template's arguments in order: int32_t* for an INTEGER, const char* (zero
 *            terminated) for a text, a null pointer for NULL
 * argc is the number of template arguments plus 2. The result buffer stays owned by the library;
 * the interpreter reads it before it calls into that library again and never frees it. Calls
 * into one library are serialised by the interpreter, so a library may keep its result buffer
 * in its processor object, unless the library declares TAGConcurrentCalls.
 *
 * The host context and host value are opaque to the interpreter: it hands them back unchanged
 * (they are pointer-sized here so that a host can pass the address of its own state). */
#ifndef QMINTPR_TAG_LIBRARY_H
#define QMINTPR_TAG_LIBRARY_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QM_TAG_MAX_ARGS 64                    /* template arguments per call */
#define QM_TAG_MAX_ARGV (QM_TAG_MAX_ARGS + 2) /* entries in the argument vector */
#define QM_OUTPUT_HTML 1                      /* output kind for page text */
#define QM_OUTPUT_ERROR 4                     /* output kind a tag library uses for an error text */

/* The host's sink for page output. The interpreter always passes kind QM_OUTPUT_HTML; a call
 * with count 0 and bytes null marks the end of the page. */
typedef int32_t (*QmOutputCallback)(void* hostContext, int32_t kind, int32_t count,
                                    const char* bytes);

typedef int32_t (*QmTagInitializeFn)(void* hostContext, void* hostValue, QmOutputCallback output,
                                     int32_t reserved);
typedef int32_t (*QmTagReleaseFn)(int32_t processorHandle);
typedef int32_t (*QmTagFunction)(int32_t argc, void** argv);

#define QM_TAG_INITIALIZE_NAME "TAGInitialize"
#define QM_TAG_RELEASE_NAME "TAGRelease"
#define QM_TAG_END_REQUEST_NAME "TAGEndRequest"
#define QM_TAG_CONCURRENT_CALLS_NAME "TAGConcurrentCalls"
typedef int32_t (*QmTagConcurrentCallsFn)(void);
typedef int32_t (*QmTagEndRequestFn)(int32_t processorHandle);

#ifdef __cplusplus
}
#endif

#endif /* QMINTPR_TAG_LIBRARY_H */
