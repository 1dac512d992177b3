// Platform class and the security the services' shared objects carry.
//
// Class 3 (an NT service manager) would give every object another process must open a
// world-accessible descriptor. Here services are plain processes (class 2), so no object
// carries attributes: the objects live under the installation root's run/ folder, and who may
// open them is decided by that folder's permissions, for private and open objects alike.
#pragma once

namespace qm::ipc {

// 1 Win32s, 2 services as plain processes, 3 NT services; 0 when it cannot be told. Worked out
// once and cached.
int PlatformClass();

// Whether objects other processes open get the open security record (class 3 only).
bool UsesOpenSecurity();

}  // namespace qm::ipc
