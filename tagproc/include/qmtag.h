/* Tag library QMTAG (libQMTAG.so): the tag functions page templates call.
 *
 * TAGInitialize creates a processor and returns its handle (above 0), or -1 when the SNMP
 * gateway, the discovery library or the configuration database could not start. TAGRelease
 * ends it (-2 for an unknown handle). Every tag function takes (argument count, argument
 * vector) as described in qmintpr/tag_library.h and returns:
 *     0     success; the result slot points to a BER block owned by the processor, valid
 *           until the next call on the same processor
 *    -2     bad arguments (count, NULL argument, empty device key), or a component error
 *    -3     a rejected device key, or a component error that means bad input
 *    -4     no data (an empty table)
 *  -122     the printer did not answer
 * On every failure the result slot points to a BER NULL (0x05 0x00).
 *
 * Calls of different threads on one processor run side by side: each thread has its own
 * result buffer (valid until that thread's next call on the processor, or its TAGEndRequest),
 * its own last result (TAGGetLastError) and, for the length of a call, its own gateway handle,
 * and no lock is held while a call waits for a printer. A slow printer delays only the pages
 * that ask it. Hosts need not serialise calls (TAGConcurrentCalls says so to the page
 * interpreter); calls on one discovery session run one after the other. */
#ifndef QMTAG_H
#define QMTAG_H

#include <stdint.h>

#include "qmintpr/tag_library.h"

#ifdef __cplusplus
extern "C" {
#endif

#define QMTAG_EXPORT __attribute__((visibility("default")))

QMTAG_EXPORT int32_t TAGInitialize(void* hostContext, void* hostValue, QmOutputCallback output, int32_t reserved);
QMTAG_EXPORT int32_t TAGRelease(int32_t handle);
QMTAG_EXPORT int32_t TAGGetLastError(int32_t argc, void** argv);
/* The host's request on the calling thread ended (qmintpr/tag_library.h): every discovery
 * session that request opened and did not end is ended now, its search stopped, and All
 * Devices left as it was; every log reading it left open is closed. 0, or -2 for an unknown
 * handle. */
QMTAG_EXPORT int32_t TAGEndRequest(int32_t handle);
/* 1: calls from several threads may overlap (qmintpr/tag_library.h). */
QMTAG_EXPORT int32_t TAGConcurrentCalls(void);

/* MIB data: (device key, OID list) / (device key, OID) / (key, OID, BER type, value text). */
QMTAG_EXPORT int32_t TAGGetMIBData(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGGetNextMIBData(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGGetEntryMIBData(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGSetMIBData(int32_t argc, void** argv);

/* Printer attributes: (device key), and (device key, storage description). */
QMTAG_EXPORT int32_t TAGGetPrinterType(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGGetPrinterColor(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGGetSignalType(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGGetPaperType(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGGetDeviceName(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGGetStorageSize(int32_t argc, void** argv);

/* Settings, groups and devices kept by the configuration database: (setting key),
 * (group, item), (device key, item), (mode ALL|SUBCURRENT|SUBADD, group), (device key),
 * (model, item), (mode, first option, field name, change handler, size). */
QMTAG_EXPORT int32_t TAGGetQMInfo(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGGetGroupInfo(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGGetDeviceInfo(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGGetGroupNameList(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGGetIPHostName(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGGetModelInfo(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGCreateHTMLGroupList(int32_t argc, void** argv);

/* Discovery: (search parameter in hexadecimal, group, list mode, description filter, three
 * state flags, IP filter, MAC filter, name filter) -> INTEGER session; (session) -> the next
 * device key, -4 at the end; (session) -> ends it. A search registers what it found as the
 * All Devices list when it has run to its end (the call that returns -4); a search ended
 * earlier (by TAGEndDeviceDiscovery, the end of its request, or as abandoned) leaves the list
 * as it was. A session unused for longer than its search budget (bits 16..23 of the search
 * parameter, 0 = 60 s; 0 for a listing) plus 30 s (QM_DISCOVERY_IDLE_MARGIN_S) is ended by the
 * next discovery call of any session. */
QMTAG_EXPORT int32_t TAGStartDeviceDiscovery(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGGetDiscoveryResult(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGEndDeviceDiscovery(int32_t argc, void** argv);

/* Logs: (group name, any text) / (device key, kind "0" alert, "1" counters, "2" supplies)
 * -> INTEGER log handle; (log handle) -> the next record as a table of its comma-separated
 * fields, row i = { NULL, field i }, -4 and NULL at the end; (log handle) -> closes it, NULL.
 * A handle serves only the request (thread) that opened it and only the tags of its kind
 * (group or device); any other is -2. Readings a request leaves open end with it
 * (TAGEndRequest); one request holds at most 16 at once (a further open is -2). */
QMTAG_EXPORT int32_t TAGOpenGroupLog(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGReadGroupLog(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGCloseGroupLog(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGOpenDeviceLog(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGReadDeviceLog(int32_t argc, void** argv);
QMTAG_EXPORT int32_t TAGCloseDeviceLog(int32_t argc, void** argv);

#ifdef __cplusplus
}
#endif

#endif /* QMTAG_H */
