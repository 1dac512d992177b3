/* Resolver library (qmrslv11 / qmrslv22): host names of IP addresses by reverse lookup.
 *
 * LookupHostName(address, buffer, size): `address` is a dotted IPv4 (or textual IPv6)
 * address. On success the host name, NUL-terminated and cut to size - 1 characters, is in
 * `buffer` and the result is non-zero; 0 when the address is malformed, has no name, or the
 * name service did not answer within QM_RESOLVER_TIMEOUT_MS (default 3000 ms). A numeric
 * answer is no name. Safe from any thread. */
#ifndef QMRSLV_H
#define QMRSLV_H

#ifdef __cplusplus
extern "C" {
#endif

int LookupHostName(const char* address, char* buffer, int size);

#ifdef __cplusplus
}
#endif

#endif /* QMRSLV_H */
