/* Trace library: every module writes its trace records through these two calls.
 *
 * A record is written when (level & threshold) != 0. The threshold comes from the
 * environment variable QM_TRACE (decimal or 0x-hex) when set, else from the registry value
 * "Level" under HKEY_LOCAL_MACHINE\SOFTWARE\OvrelNet\OvrelNetQuinsward\Trace, else it is
 * QB_TRACE_ERROR (errors only). Records go to <root>/log/qbtrace.log, one line each:
 *   2026/12/08 14:03:07.123 pid.tid LLLL module(line) text
 * A call below the threshold returns after one load and one test; a trace file that cannot
 * be written is ignored. Safe from any thread and any number of processes. */
#ifndef QBUTIL_H
#define QBUTIL_H

#ifdef __cplusplus
extern "C" {
#endif

#define QB_TRACE_ERROR 0x8800u
#define QB_TRACE_INFO 0x80u
#define QB_TRACE_DETAIL 0x1u
#define QB_TRACE_ALL 0xFFFFFFFFu

void QbTrace(unsigned int level, const char* module, int line, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 4, 5)))
#endif
    ;
void QbDump(unsigned int level, const char* module, int line, const void* bytes, int count);

/* Replaces the threshold for this process (tests, tools). */
void QbSetTraceLevel(unsigned int mask);
unsigned int QbGetTraceLevel(void);

#ifdef __cplusplus
}
#endif

#endif /* QBUTIL_H */
