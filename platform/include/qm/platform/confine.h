// Keeping a name given by a request, a form or a template inside the folder it must stay in.
//
// Contract: ConfinePath joins `root` and the relative `name` and says whether the result stays
// inside `root`, first by the name's text (no "..", no absolute names, no NUL, no backslash
// unless backslashes separate, no dot-names where refused) and then on the file system (no
// symbolic link, in the root's own path or below it, may lead out). The checks see the tree as
// it is at the call; a caller that must also survive a later swap opens with O_NOFOLLOW or
// checks the opened file again. Thread-safe (no state); no exceptions escape it.
#pragma once

#include <string>
#include <string_view>

namespace qm::platform {

enum ConfineFlag : unsigned {
    // Backslashes separate folders, as in Windows-style names ("img\\a.gif"); a drive colon is
    // then refused as well. Without it a backslash anywhere refuses the name.
    kConfineBackslashSeparates = 1u << 0,
    // Refuses every part that begins with a dot (hidden files, files under construction), in
    // the name and in what it resolves to (a link to a hidden file is refused too).
    kConfineRefuseDotNames = 1u << 1,
};

enum ConfineResult : int {
    kConfineOk = 0,
    kConfineRefused = 1,  // the name itself may not be used (climbs, absolute, bad characters)
    kConfineOutside = 2,  // the name is fine, but a symbolic link leads out of the root
    kConfineNoRoot = 3,   // the root does not exist
};

// On kConfineOk `out` holds the resolved path: the real path of the target when it exists,
// else the real path of its deepest existing folder followed by the rest of the name (so a file
// about to be created can be confined too). An empty name (or one of separators and "." parts
// only) stands for the root itself. "." parts are skipped, empty parts ("a//b") too.
ConfineResult ConfinePath(std::string_view root, std::string_view name, unsigned flags,
                          std::string* out);

}  // namespace qm::platform
