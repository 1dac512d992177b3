/* The notification database (QNTFDB): receivers and watches (handles), send and status
 * records, the send queue of the notification service and the polling settings of the
 * monitor, kept in seven ISAM file sets of the store "CTREESTD" under <install>/<DBPath>.
 *
 * The monitor and the notification service load this library by name and bind these
 * exports by name; both use the same files at once from their own processes.
 *
 * Conventions
 *  - Every export returns a 32-bit result: 0 success, -1 failure, and where stated -31 no
 *    (more) record, -3 the caller's buffer is too small (the needed size, text length plus
 *    one, is written back), 100 the end of a walk, -300/-301 an alert already known / new.
 *  - The caller owns every buffer. Texts copied into fixed fields are cut to the field.
 *  - A device is an array of seven text pointers: identity parts 1 to 5 (at most 11, 15,
 *    23, 15 and 7 characters are kept), the record flag as one decimal digit, and a text of
 *    up to 67 characters. DBDeleteDevice, DBSetOnOff, DBReadOnOff, DBDeleteOnOff and
 *    DBSetPolling read only what they need of it. DBSendHandleCheck and DBGetHandleData
 *    instead take the identity laid out as at the start of a send record (parts at 0, 12,
 *    28, 52 and 68), since the notification service hands them the send record it holds.
 *  - A handle is a text of at most 15 characters whose first two give its kind: "DV",
 *    "GR", "PR" or "CS".
 *  - Threads: DBInitialize once per process. The exports marked (own store context) set up
 *    and end the store for the calling thread themselves when it has none; every other
 *    export works in the calling thread's store context (DBOpenStatusDB gives one for the
 *    status walk). A thread started with DBCreateThread ends with DBExitThread.
 *  - Trap registration: the first "DV"/"GR" watch or send record of a printer asks the
 *    helper program "qntpset" to register this computer as the printer's trap destination
 *    (command 1), the last one gone asks it to remove it (command 9). The export only queues
 *    the request: a thread of the library makes the requests in order, so no export waits
 *    for the helper. Every wait of that handshake is bounded (30 s); its outcome never
 *    changes the export's result. The queued requests are made before the process ends. */
#ifndef QNTFDB_H
#define QNTFDB_H

#ifdef __cplusplus
extern "C" {
#endif

#define QNTFDB_API __attribute__((visibility("default")))

#define NTFDB_OK 0
#define NTFDB_ERROR (-1)
#define NTFDB_BUFFER_TOO_SMALL (-3)
#define NTFDB_NO_RECORD (-31)
#define NTFDB_END 100
#define NTFDB_ALERT_KNOWN (-300)
#define NTFDB_ALERT_NEW (-301)

/* Sizes of the caller's structures. */
#define NTFDB_NOTICE_SIZE 200         /* address 0 (16), text 16 (132), 148 (24), 172 (24),
                                         destination number (32-bit) at 196 */
#define NTFDB_SEND_RECORD_SIZE 452    /* identity texts at 0..75, decimal texts of 12 bytes at
                                         76 time, 88 kind, 100 alert index, 112 severity,
                                         124 training level, 136 group, 148 group index,
                                         160 location, 172 code; description 184 (256);
                                         printer alert time 440 (12) */
#define NTFDB_STATUS_POSITION_SIZE 92 /* time, identity (76), kind, alert index, 4 zero */
#define NTFDB_STATUS_RECORD_SIZE 100  /* identity texts 0..75, then 32-bit kind 76, alert
                                         index 80, group 84, group index 88, code 92, time 96 */
#define NTFDB_POLLING_RECORD_SIZE 128 /* handle 0 (16), identity texts at 16, 28, 44, 68, 84,
                                         notification interval at 120 */

typedef void (*DBThreadFunction)(void* argument);

/* Start and end of a program that uses the library, and its store threads. */
QNTFDB_API int DBInitialize(const char* installFolder);
QNTFDB_API int DBInitialize2(const char* installFolder);
QNTFDB_API int DBRelease(void);
QNTFDB_API int DBRelease2(void);
QNTFDB_API int DBCreateThread(DBThreadFunction function, void* argument);
QNTFDB_API int DBExitThread(void);

/* The system record. DBReadConfig: own store context; "%d,%d,%d,%d" = maximum log size,
 * retention days, CSV switch, percentage; *size is set to the text length plus one. */
QNTFDB_API int DBSetConfig(const char* maxSize, const char* days, int percent, short csv);
QNTFDB_API int DBReadConfig(char* buffer, int* size);

/* Handles and watches. */
QNTFDB_API int DBGetHandleCounter(void);
QNTFDB_API int DBSetHandleDevice(const char* handle, const char* const* device);
QNTFDB_API int DBReadHandle(const char* handle);
QNTFDB_API int DBDeleteHandle(const char* handle);
QNTFDB_API int DBEndHandle(void);
QNTFDB_API int DBDeleteDevice(const char* handle, const char* const* device);

/* Send records and notice destinations. DBSendHandleCheck, DBGetHandleData and
 * DBGetHandleNotice, DBDeleteNotice: own store context. */
QNTFDB_API int DBSetHandleSend(const char* handle, const char* const* device, int interval);
QNTFDB_API int DBSendHandleCheck(const char* handle, const char* identity);
QNTFDB_API int DBGetHandleData(const char* handle, const char* identity, int* flag, char* buffer, int* size);
QNTFDB_API int DBSetHandleNotice(const char* handle, const void* notice);
QNTFDB_API int DBGetHandleNotice(const char* handle, void* notice);
/* The registered notice destinations in handle order: the first whose handle comes after
 * `handle` (NULL or "" for the first of all). Its handle goes to `next` (16 bytes) and its
 * notice, laid out as for DBSetHandleNotice, to `notice`; 0, or -31 after the last. Own store
 * context. */
QNTFDB_API int DBNextHandleNotice(const char* handle, char* next, void* notice);
QNTFDB_API int DBGetUDP(const char* address, const char* number, char* buffer, int* size);
QNTFDB_API int DBDeleteNotice(const char* handle);
QNTFDB_API int DBDeleteNotice2(const char* handle);

/* Alerts and the status walk of the monitor. DBSetSendData: own store context; the record
 * text holds eleven fields separated by line feeds (time, kind, alert index, severity,
 * training level, group, group index, location, code, description, printer time); the
 * length is not used. DBReadStatusDB walks the records of the device whose identity the
 * status record holds (all devices when it is empty). */
QNTFDB_API int DBSetSendData(const char* const* device, const char* text, int length);
QNTFDB_API int DBOpenStatusDB(int* fileNumber);
QNTFDB_API int DBReadStatusDB(int fileNumber, void* statusRecord);
QNTFDB_API int DBUpdateSendDB(int fileNumber, int kind, void* statusRecord);
QNTFDB_API int DBCloseStatusDB(void);

/* Log entries (own store context): line-feed-separated texts starting with the date
 * "%Y/%m/%d" and the time "%H:%M:%S"; alert log: alert index, severity, training level,
 * group, group index, location, code, description, printer time; consumables: supply type,
 * supply index, maximum capacity, level; counters: counter unit, life count. */
QNTFDB_API int DBSetLogData(const char* const* device, const char* text, int length);
QNTFDB_API int DBSetConsData(const char* const* device, const char* text, int length);
QNTFDB_API int DBSetPrtCntData(const char* const* device, const char* text, int length);

/* The send queue of the notification service (DBReadSendDB, DBReadFirstSend: own store
 * context). */
QNTFDB_API int DBReadSendDB(void* position, char* sendRecord);
QNTFDB_API int DBDeleteSendDB(void* position);
QNTFDB_API int DBReadFirstSend(const char* handle, char* sendRecord, int* flag, char* buffer, int* size);

/* On/off record and polling settings (DBSetOnOff, DBReadOnOff, DBDeleteOnOff,
 * DBReadSendPolling: own store context). */
QNTFDB_API int DBSetOnOff(const char* const* device, const char* text, int length);
QNTFDB_API int DBReadOnOff(const char* const* device);
QNTFDB_API int DBDeleteOnOff(const char* const* device);
QNTFDB_API int DBSetPolling(const char* const* device, int first, int second, int third);
QNTFDB_API int DBReadSendPolling(void* pollingRecord);
/* The next device after the one in the record (start with a zeroed record) that has a
 * running watch: identity texts at 16, 28, 44, 68, 84, then 32-bit record flag 92,
 * "DV"/"GR" count 96, "PR" count 100, "CS" count 104, third interval 108, first 112,
 * second 116 (128 bytes); -31 at the end. Own store context. */
QNTFDB_API int DBReadLogPolling(void* pollingRecord);

/* Reading the log. DBSetLogMode: mode 1 stops, mode 2 restarts the logging of every watch of
 * the handle (own store context; -31 when the handle has no watch). DBOpenLogDB opens a
 * reading for the handle's kind of entries between the from date and the to date
 * ("%Y/%m/%d", null or "" for no bound) and writes the cursor text (at most 256 characters)
 * into `cursor`, which must hold more than 256 bytes (else -3; *size is set to 257); -31 when
 * the handle watches nothing. DBReadLogDB gives the next line and updates the cursor: 0, 100
 * at the end (*size 0), -3 when the line does not fit (*size = its length plus one). The
 * files stay open in the calling thread (with a store context made for it when it had none)
 * until DBCloseLogDB, which ends every reading of the thread. Lines:
 *   "DV": date,time,alert index,severity,group,group index,location,training level,code,
 *         description,printer alert time
 *   "GR": date,time,identity 1-5,the watch's text, then as "DV" from the alert index on
 *   "CS": date,time,supply type,level in per cent of the maximum (-1 when unknown)
 *   "PR": date,time,counter unit,life count */
QNTFDB_API int DBSetLogMode(const char* handle, int mode);
QNTFDB_API int DBOpenLogDB(const char* handle, const char* from, const char* to, char* cursor, int* size);
QNTFDB_API int DBReadLogDB(char* cursor, char* buffer, int* size);
QNTFDB_API int DBCloseLogDB(void);

/* Maintenance (own store context): compaction of one file set each (no program may have it
 * open: the "NtfDBCompact" protocol keeps them away), deletion of log entries by age and by
 * size. DBDeleteSize measures the ntclog data file with its write-ahead log and, when the
 * system record asks for it, writes each removed entry to the daily CSV files first. */
QNTFDB_API int DBCompactCtl(void);
QNTFDB_API int DBCompactDev(void);
QNTFDB_API int DBCompactHdl(void);
QNTFDB_API int DBCompactLog(void);
QNTFDB_API int DBCompactSts(void);
QNTFDB_API int DBCompactTo(void);
QNTFDB_API int DBDeleteTerm(void);
QNTFDB_API int DBDeleteSize(void);

#ifdef __cplusplus
}
#endif

#endif /* QNTFDB_H */
