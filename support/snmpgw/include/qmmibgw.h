/* SNMP gateway (libqmmibgw.so): SNMPv1/v2c over UDP/IPv4 behind an integer handle.
 *
 * One exchange: MIBOpen, MIBCreate...Packet, MIBSend, MIBReceive, read the bindings,
 * MIBClose. Every call returns 0 on success or one of the negative codes below.
 *
 * Buffers follow one rule: *length holds the buffer's size on entry. When the buffer is
 * absent or too small the call returns MIB_ERR_BUFFER (-108) and sets *length to the size
 * needed; call again with a buffer of that size. On success *length is the number of bytes
 * written (for OID text: the characters plus the terminating zero).
 *
 * Request kinds of MIBCreateGetRequestSNMPPacket:
 *   0  get of all the given OIDs in one request;
 *   1  get-next of the given OIDs;
 *      for both, the answer holds one binding per OID, in order, even from agents that cannot
 *      answer the request whole: an agent that answers tooBig is asked again in halves, and an
 *      SNMPv1 agent that refuses a get with noSuchName is asked again without the object it
 *      named, which then reads as noSuchObject (0x80 0x00), as SNMPv2c agents answer it;
 *   5  walk of the subtree below the one given OID (get-bulk on SNMPv2c, get-next on v1)
 *      until the agent leaves the subtree; MIBReceive returns the whole walk as one response
 *      whose bindings are read by index, in the agent's order (column by column for tables).
 *      When nothing lies below the OID, the OID itself is read with a get, so a walk of a
 *      scalar such as "1.3.6.1.2.1.1.5.0" yields that one object.
 *
 * The "number" argument of both packet builders: for kind 5 on SNMPv2c it is the
 * max-repetitions of each get-bulk request when it lies between 2 and 255; 1 (or anything
 * else) means "no preference" and takes the installation's SnmpMaxRepetitions setting.
 * Kinds 0 and 1 and set requests ignore it.
 *
 * Settings (registry, HKEY_LOCAL_MACHINE\SOFTWARE\OvrelNet\OvrelNetQuinsward\Setup, read at
 * MIBInitialize): SnmpPort (161), SnmpTimeout in ms (1000), SnmpRetries (2), SnmpVersion
 * (0 probe, 1 SNMPv1 only, 2 SNMPv2c only; 0), SnmpMaxRepetitions (25), SnmpProbeCommunity
 * ("tarlow"), SnmpMaxResponse in bytes (4194304).
 *
 * Handles may be used from several threads, but calls on one handle must not overlap in a
 * way that interleaves two exchanges; each caller normally owns its handle. */
#ifndef QMMIBGW_H
#define QMMIBGW_H

#ifdef __cplusplus
extern "C" {
#endif

/* Size of the channel record filled by MIBGetChannelInfo and stored by callers. */
#define MIB_CHANNEL_SIZE 17

/* Result codes. */
#define MIB_OK 0
#define MIB_ERR_FAILED (-1)          /* the exchange failed; MIBGetErrorNo tells why */
#define MIB_ERR_PARAM (-2)           /* bad argument: null pointer, bad OID or value text, bad kind */
#define MIB_ERR_STALE_CHANNEL (-3)   /* MIBOpen: the channel record no longer fits the device */
#define MIB_ERR_HANDLE (-101)        /* unknown handle */
#define MIB_ERR_NOT_OPEN (-102)      /* no device open, or nothing sent to receive an answer for */
#define MIB_ERR_MALFORMED (-103)     /* the agent's answer cannot be decoded */
#define MIB_ERR_NO_BINDING (-104)    /* binding index past the last binding */
#define MIB_ERR_AGENT (-105)         /* the agent answered with an error status (MIBGetAgentError) */
#define MIB_ERR_SOCKET (-106)        /* socket could not be created, connected or written */
#define MIB_ERR_IPX (-107)           /* IPX addresses are not supported on this platform */
#define MIB_ERR_BUFFER (-108)        /* buffer absent or too small; needed size in *length */
#define MIB_ERR_TOO_LARGE (-109)     /* a walk's answer exceeds SnmpMaxResponse */
#define MIB_ERR_TYPE (-110)          /* MIBBEREncode: unsupported BER type */
#define MIB_ERR_RESOURCES (-111)     /* out of handles or memory */
#define MIB_ERR_NO_ANSWER (-122)     /* the device did not answer within time-out and retries */

/* Options of MIBSetOption: per-handle overrides of the registry settings (tools, tests). */
#define MIB_OPT_PORT 1
#define MIB_OPT_TIMEOUT_MS 2
#define MIB_OPT_RETRIES 3
#define MIB_OPT_VERSION 4            /* 0 probe, 1 SNMPv1, 2 SNMPv2c */
#define MIB_OPT_MAX_REPETITIONS 5

/* BER types of MIBBEREncode (value text in brackets). */
#define MIB_BER_INTEGER 2            /* decimal, -2147483648..2147483647 */
#define MIB_BER_OCTET_STRING 4       /* the text's bytes */
#define MIB_BER_NULL 5               /* ignored */
#define MIB_BER_OID 6                /* dotted */
#define MIB_BER_IPADDRESS 64         /* dotted quad */
#define MIB_BER_COUNTER32 65         /* decimal, unsigned 32-bit */
#define MIB_BER_GAUGE32 66
#define MIB_BER_TIMETICKS 67
#define MIB_BER_COUNTER64 70         /* decimal, unsigned 64-bit */

/* Every handle is independent of the others: calls on different handles run side by side
 * (a handle waiting for a slow device holds up no other), while calls on one handle wait for
 * each other. MIBInitializeLike makes a handle with the settings `handle` has now (registry
 * values as read at its start, and its MIBSetOption overrides), without waiting for a call
 * running on it: for callers that keep several handles alike, one per exchange in flight. */
int MIBInitialize(void);
int MIBInitializeLike(int handle);
int MIBRelease(int handle);
int MIBSetOption(int handle, int option, int value);

/* Fills the 17-byte channel record for a device. With SnmpVersion 0 it probes the device
 * (SNMPv2c first, then SNMPv1) to learn its version; a device that answers neither gives
 * MIB_ERR_FAILED with MIBGetErrorNo() == MIB_ERR_NO_ANSWER. An IPX address without an IP
 * address gives MIB_ERR_IPX. */
int MIBGetChannelInfo(int handle, const char* ip, const char* ipx, unsigned char* channel);
/* Opens the device; MIB_ERR_STALE_CHANNEL when the record is damaged, was made for another
 * address or for another agent port than the current settings. No traffic. */
int MIBOpen(int handle, const char* ip, const char* ipx, const unsigned char* channel);
int MIBClose(int handle);

int MIBCreateGetRequestSNMPPacket(int handle, int kind, int number, const char* community,
                                  int count, const char* const* oids, int* length,
                                  unsigned char* packet);
/* values[i] points to one complete BER element (from MIBBEREncode). */
int MIBCreateSetRequestSNMPPacket(int handle, int number, const char* community, int count,
                                  const char* const* oids, const unsigned char* const* values,
                                  int* length, unsigned char* packet);
int MIBSend(int handle, int length, const unsigned char* packet);
/* Waits for the answer to the last MIBSend (re-sending on time-out as configured). No answer:
 * MIB_ERR_FAILED with MIBGetErrorNo() == MIB_ERR_NO_ANSWER. After MIB_ERR_BUFFER the answer
 * is kept for the next call. */
int MIBReceive(int handle, int* length, unsigned char* response);

int MIBGetBERDataFromSNMPPacket(int handle, int index, int responseLength,
                                const unsigned char* response, int* length, unsigned char* buffer);
int MIBGetchObjectIDFromSNMPPacket(int handle, int index, int responseLength,
                                   const unsigned char* response, int* length, char* buffer);
int MIBBEREncode(int handle, int type, const char* value, int* length, unsigned char* buffer);

/* Detail of the last failure on this handle (0 when the last call succeeded). */
int MIBGetErrorNo(int handle);
/* The error-status and error-index of the last answer that carried one (MIB_ERR_AGENT). */
int MIBGetAgentError(int handle, int* status, int* index);

#ifdef __cplusplus
}
#endif

#endif /* QMMIBGW_H */
