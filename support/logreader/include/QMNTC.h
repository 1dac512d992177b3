/* The log reader QMNTC: reads a device's or a group's log, named by the log handle text kept
 * in the configuration database, line by line out of the notification database.
 *
 * Order of calls: NTCInitialize, NTCStartReadLog (first with buffer (void*)-1 and size 0 to
 * learn the size of the reader buffer: -3 and *size set; then again with a buffer of that
 * size), NTCReadLog until it answers 100, NTCEndReadLog, NTCRelease. Initialize and Release
 * are counted: the database stays loaded while any reading of the process needs it.
 *
 * A reading belongs to the thread that started it and is read and ended on that thread.
 * Results: 0, 100 no line left (length 0), -3 buffer too small (size written back), -31 the
 * log handle names nothing, -1 failure. */
#ifndef QMNTC_H
#define QMNTC_H

#ifdef __cplusplus
extern "C" {
#endif

#define QMNTC_API __attribute__((visibility("default")))

QMNTC_API int NTCInitialize(void);
/* fromDate and toDate: "%Y/%m/%d" or null (no bound). */
QMNTC_API int NTCStartReadLog(unsigned long threadId, const char* logHandle, const char* fromDate,
                              const char* toDate, void* readerBuffer, int* size);
/* *length holds the line buffer's size on entry and the line's length on return. */
QMNTC_API int NTCReadLog(unsigned long threadId, void* readerBuffer, char* line, int* length);
QMNTC_API int NTCEndReadLog(unsigned long threadId, void* readerBuffer);
QMNTC_API int NTCRelease(void);

#ifdef __cplusplus
}
#endif

#endif /* QMNTC_H */
