// A private folder for a fuzz target's files. It lies under $TMPDIR when set, so a campaign can
// put it on a memory file system: the stores sync what they write, and on a disk those syncs
// cost the fuzzer three quarters of its executions.
#pragma once

#include <stdlib.h>

#include <cstdlib>
#include <string>

namespace qm_fuzz {

inline std::string ScratchDir(const char* name) {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/" + name + ".XXXXXX";
    if (!mkdtemp(pattern.data())) std::abort();
    return pattern;
}

}  // namespace qm_fuzz
