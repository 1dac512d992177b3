// The installation root and the one place where the suite's backslash paths become POSIX paths.
#pragma once

#include <string>
#include <string_view>

namespace qm::platform {

// The installation root: $QM_ROOT when set and not empty, else the parent of the folder that
// holds the running executable. Never ends with a slash (unless it is "/").
std::string InstallRoot();

// <root>/<relative>, with `relative` converted by ToPosixPath first.
std::string RootPath(std::string_view relative);

// Turns a path written the Windows way ("..\\conf\\QMCONFIG", "C:\\Quinsward\\bin") into a
// POSIX path: backslashes become slashes, a drive prefix ("C:") is dropped, and runs of
// separators collapse to one. A path that is already POSIX comes back unchanged.
std::string ToPosixPath(std::string_view path);

// The full path of the running program (the GetModuleFileName counterpart); "" when unknown.
std::string ExecutablePath();

// Creates a folder and its parents; true when it exists afterwards.
bool MakeDirectories(const std::string& path);

}  // namespace qm::platform
