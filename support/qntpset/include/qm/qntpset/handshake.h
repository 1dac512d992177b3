// The trap registration handshake between the notification database and the helper program
// qntpset ("qntpset.exe"): the names of its kernel objects, the layout of its request block,
// and the requesting side.
//
// The helper, while it serves, holds the mutex "QntpsetMutex" (existence marks it as running),
// the auto-reset event "QntpsetEvent" and the shared block "QntpsetrMap" (kRequestBlockSize
// bytes). A request is the command as decimal text and its NUL, then the printer's address
// and its NUL, written at the start of the block; the requester sets the event, the helper
// wakes, copies and clears the block, registers or removes the trap destination, and sets the
// event again as the acknowledgement. While the helper is ending (after kDefaultIdleSeconds
// without requests) the event "QntpsetEventChkEndDll" exists; requesters wait for it before
// they look for the helper, so none of them talks to a helper that is going away.
#pragma once

#include <cstddef>

#include "qm/ipc/names.h"

namespace qm::qntpset {

inline constexpr const char* kMutexName = ipc::kQntpsetMutex;
inline constexpr const char* kEventName = ipc::kQntpsetEvent;
inline constexpr const char* kBlockName = ipc::kQntpsetMap;
inline constexpr const char* kEndingEventName = ipc::kQntpsetEventChkEndDll;
// Serialises requesters: the one event carries both a request and its acknowledgement, so two
// requests in flight at once could take each other's acknowledgement.
inline constexpr const char* kRequesterMutexName = ipc::kQntpsetRequester;
inline constexpr const char* kProgramName = "qntpset.exe";

// "9" NUL "255.255.255.255" NUL is 18 bytes; the rest is room, zero-filled.
inline constexpr size_t kRequestBlockSize = 32;
inline constexpr size_t kMaxAddressLength = 15;

inline constexpr int kCommandRegister = 1;    // a device got its first "DV" or "GR" handle
inline constexpr int kCommandUnregister = 9;  // its last one went

inline constexpr int kDefaultIdleSeconds = 60;

// Result codes of RequestTrapRegistration.
inline constexpr int kRequestOk = 0;
inline constexpr int kRequestFailed = -1;       // the ending helper could not be waited for, or
                                                // no round could place the request
inline constexpr int kRequestBadCommand = -2;   // command other than 1 or 9, or a bad address
inline constexpr int kRequestNoStart = -102;    // qntpset could not be started
inline constexpr int kRequestNoMutex = -103;    // started, but it did not come up in 5 s
inline constexpr int kRequestNoAck = -104;      // the acknowledgement failed, or the helper died

// Asks the helper to register (1) or remove (9) this computer as the trap destination of the
// printer at `address` (dotted IPv4), starting the helper when it is not running, and waits
// for the acknowledgement. The helper's own outcome is not reported (it is traced there).
// Safe to call from any thread of any process.
int RequestTrapRegistration(int command, const char* address);

// Request block coding, shared by both sides. Encode returns false when the request does not
// fit; Decode reads only `size` bytes and fails on anything but "1"/"9" and a dotted address.
bool EncodeRequest(int command, const char* address, char* block, size_t size);
bool DecodeRequest(const char* block, size_t size, int* command, char address[kMaxAddressLength + 1]);

}  // namespace qm::qntpset
