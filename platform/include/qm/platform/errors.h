// The Windows error numbers the suite's callers compare against. The platform layer reports
// every failure with one of these, so code written against Win32 semantics keeps working.
#pragma once

#include <cstdint>

namespace qm::platform {

inline constexpr int kOk = 0;
inline constexpr int kErrFileNotFound = 2;       // ERROR_FILE_NOT_FOUND
inline constexpr int kErrPathNotFound = 3;       // ERROR_PATH_NOT_FOUND
inline constexpr int kErrAccessDenied = 5;       // ERROR_ACCESS_DENIED
inline constexpr int kErrInvalidHandle = 6;      // ERROR_INVALID_HANDLE
inline constexpr int kErrNotEnoughMemory = 8;    // ERROR_NOT_ENOUGH_MEMORY
inline constexpr int kErrBadNetPath = 53;        // ERROR_BAD_NETPATH
inline constexpr int kErrInvalidParameter = 87;  // ERROR_INVALID_PARAMETER
inline constexpr int kErrInsufficientBuffer = 122;
inline constexpr int kErrInvalidName = 123;      // ERROR_INVALID_NAME
inline constexpr int kErrModNotFound = 126;      // ERROR_MOD_NOT_FOUND
inline constexpr int kErrProcNotFound = 127;     // ERROR_PROC_NOT_FOUND
inline constexpr int kErrAlreadyExists = 183;    // ERROR_ALREADY_EXISTS
inline constexpr int kErrNoData = 232;           // ERROR_NO_DATA (pipe being closed)
inline constexpr int kErrMoreData = 234;         // ERROR_MORE_DATA
inline constexpr int kWaitTimeout = 258;         // WAIT_TIMEOUT
inline constexpr int kErrNotOwner = 288;         // ERROR_NOT_OWNER
inline constexpr int kErrKeyDeleted = 1018;      // ERROR_KEY_DELETED
inline constexpr int kErrGenFailure = 31;        // ERROR_GEN_FAILURE

inline constexpr uint32_t kInfinite = 0xFFFFFFFFu;  // INFINITE time-out

// Windows Sockets error numbers.
inline constexpr int kWsaEintr = 10004;
inline constexpr int kWsaEacces = 10013;
inline constexpr int kWsaEinval = 10022;
inline constexpr int kWsaEwouldblock = 10035;
inline constexpr int kWsaEmsgsize = 10040;
inline constexpr int kWsaEaddrinuse = 10048;
inline constexpr int kWsaEaddrnotavail = 10049;
inline constexpr int kWsaEnetunreach = 10051;
inline constexpr int kWsaEconnreset = 10054;
inline constexpr int kWsaEtimedout = 10060;
inline constexpr int kWsaEconnrefused = 10061;
inline constexpr int kWsaEhostunreach = 10065;

// Maps an errno value onto the nearest Windows error number (for files and kernel objects).
int WinErrorFromErrno(int err);
// Maps an errno value from a socket call onto its Windows Sockets number (WSAGetLastError).
int WsaErrorFromErrno(int err);

}  // namespace qm::platform
