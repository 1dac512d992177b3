// Starting programs (the CreateProcess counterpart).
#pragma once

#include <string>
#include <vector>

namespace qm::platform {

// Starts `argv[0]` (a path, or a name looked up in the installation's bin/, sbin/, then PATH)
// detached from the caller: its own session, no zombie left behind, standard streams on
// /dev/null. `workDir` empty keeps the caller's folder. Returns 0 once the program has been
// executed, or the Windows error number (2 when it does not exist) when it could not be.
int StartDetached(const std::vector<std::string>& argv, const std::string& workDir = {},
                  int* pid = nullptr);

}  // namespace qm::platform
