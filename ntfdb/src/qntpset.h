// The request to the trap-registration helper program "qntpset.exe".
#pragma once

#include <string>

namespace qm::ntfdb {

inline constexpr int kRegisterTrap = 1;
inline constexpr int kUnregisterTrap = 9;

// Asks the helper to register (1) or remove (9) this computer as trap destination of the
// printer at `address`. 0 when the helper acknowledged; -2 for another command; -1 when the
// end of an earlier helper could not be awaited; -102 the helper could not be started;
// -103 it did not come up; -104 no acknowledgement. Callers trace the result and go on.
int RequestTrapRegistration(int command, const std::string& address);

// Hands the request to this process's registration thread and returns at once: the watch or
// send record that asked for it is written and its store lock freed without waiting for the
// helper, which may take its whole wait when a printer does not answer. Requests are made in
// the order queued; a failure is traced, as the synchronous request's is. What is still
// queued when the process ends is made before it ends (the library is never unloaded before
// that), so a program that registers a watch and ends still gets its printer registered.
void QueueTrapRegistration(int command, const std::string& address);

// Every wait of the handshake ends after this long (QM_QNTPSET_WAIT_MS overrides it for
// tests): a helper that never answers must not hold the store lock of every writer.
unsigned HandshakeWaitMs();

}  // namespace qm::ntfdb
