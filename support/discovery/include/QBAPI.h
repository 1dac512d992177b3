/* Printer discovery: finds printers on the network by SNMP and hands them out one at a time.
 *
 * Call QBInitialize once before anything else and QBRelease when done (calls nest: every
 * QBInitialize needs its QBRelease; the last one ends every search still running).
 *
 * A search is started with a list of what to ask, runs in the background, and is read with
 * QBGetDiscoveryResult until that returns QB_FINISHED. QBTerminateDiscovery stops it at once
 * and frees it; the handle is then invalid. Several searches may run at once, from any threads;
 * one search must be read by one thread at a time.
 *
 * Search list: pairs of texts {protocol, list}. Protocol "IP" (case-insensitive); "IPX" is
 * refused with QB_E_PROTOCOL on this platform. The list holds entries separated by ";":
 *   "a.b.c.d"          one device, asked by unicast;
 *   "a.b.c.d|m.m.m.m"  a broadcast address and its subnet mask: one broadcast probe, and with
 *                      QB_PARAM_SWEEP also a unicast probe of every host address of the subnet;
 *   "Local"            (case-insensitive) the broadcast address of every local IPv4 interface
 *                      that has one (swept likewise with QB_PARAM_SWEEP).
 * Empty entries are ignored; an address given several times is asked once.
 *
 * Search parameter (a 32-bit number; the tag processor passes it as hexadecimal text):
 *   bits  0..7   answer time-out per request in units of 100 ms; 0 = 10 (one second)
 *   bits  8..11  retries: how often an unanswered request is sent again (0..15)
 *   bit  12      QB_PARAM_SWEEP: sweep every host address of broadcast subnets by unicast too
 *                (many networks drop broadcast SNMP); subnets larger than /16 are not swept,
 *                and one search sweeps at most 262144 addresses in all
 *   bit  13      QB_PARAM_V2C: ask with SNMPv2c instead of SNMPv1
 *   bits 16..23  time budget of the whole search in seconds; 0 = 60. The search ends when the
 *                budget is spent even if requests are still unanswered.
 *   bits 24..27  pacing: at most (value + 1) requests per millisecond; 0 = one per millisecond
 * A parameter of 0 therefore means: 1 s time-out, no retry, no sweep, SNMPv1, 60 s budget,
 * 1000 requests per second.
 *
 * The agents' UDP port is the installation's SnmpPort setting (Setup key, default 161), the same
 * one the SNMP gateway uses; the read community is "tarlow".
 *
 * Result text: "IP;IPX;MAC;index": dotted IP address, IPX address (always empty here), MAC
 * address as 12 upper-case hexadecimal digits (empty when the printer did not reveal one), and
 * the hrDeviceIndex of the printer's row in hexadecimal. It never exceeds the size
 * QBStartDiscovery reports, terminating zero included.
 */
#ifndef QBAPI_H
#define QBAPI_H

#ifdef __cplusplus
extern "C" {
#endif

/* Device types (returned through QBGetDiscoveryResult's type argument). */
#define QB_DEVTYPE_PRINTER_MIB 1     /* answers the Printer-MIB (a prtGeneralTable row) */
#define QB_DEVTYPE_PRINTER_PRIVATE 2 /* Printer-MIB, and also the private 1.3.6.1.4.1.40404 arc */
#define QB_DEVTYPE_HOST_PRINTER 3    /* no Printer-MIB, but a printer row in hrDeviceTable */

#define QB_PARAM_TIMEOUT_MASK 0x000000FFu
#define QB_PARAM_RETRY_MASK 0x00000F00u
#define QB_PARAM_SWEEP 0x00001000u
#define QB_PARAM_V2C 0x00002000u
#define QB_PARAM_BUDGET_MASK 0x00FF0000u
#define QB_PARAM_PACE_MASK 0x0F000000u

/* Results. */
#define QB_OK 0
#define QB_E_FAILED (-1)       /* the system refused a resource (socket, thread) */
#define QB_E_NOT_READY (-2)    /* QBGetDiscoveryResult: the wait ran out, the search goes on */
#define QB_FINISHED (-3)       /* the search ended and every result has been returned */
#define QB_E_HANDLE (-5)       /* no search with this handle */
#define QB_E_LIST (-9)         /* malformed search list (bad address, mask or entry) */
#define QB_E_PARAM (-13)       /* null or invalid argument */
#define QB_E_PROTOCOL (-15)    /* protocol not "IP" (IPX does not exist here) */
#define QB_E_NOT_INIT (-19)    /* QBInitialize was not called */

/* Prepares the library; 0, or QB_E_FAILED. */
int QBInitialize(void);
/* Stops and frees every search, and undoes one QBInitialize; 0. */
int QBRelease(void);

/* Starts a search. `pairs` holds 2 * count texts: protocol, list, protocol, list... (the tag
 * processor passes one pair). `param` as above. `resultSize` receives the buffer size that
 * QBGetDiscoveryResult needs. Returns a search handle above 0, or a negative result. */
int QBStartDiscovery(const char* const* pairs, int count, unsigned long param, int* resultSize);

/* Returns the next printer found: its text into `buffer` (at least the reported size) and its
 * type into `deviceType`; result 0. Waits up to `waitMs` milliseconds for it while the search
 * runs (-1 waits as long as the search runs, 0 does not wait; QB_E_NOT_READY when the wait ran
 * out). QB_FINISHED once the search ended and everything was returned. */
int QBGetDiscoveryResult(int handle, int waitMs, int* deviceType, char* buffer);

/* Stops a search at once and frees it; 0, or QB_E_HANDLE. */
int QBTerminateDiscovery(int handle);

#ifdef __cplusplus
}
#endif

#endif
