// Shared libraries loaded by name at run time (the LoadLibrary / GetProcAddress counterparts).
//
// "QNTFDB", "ctreestd", "QMRR.dll" and "QMTAG" resolve to lib<Name>.so: first in the
// installation root's bin/, then beside the platform library itself, then on the normal
// search path. Names compare without regard to case, as they did on the original platform.
#pragma once

#include <string>
#include <string_view>

namespace qm::platform {

using LibraryHandle = void*;

// Loads the library; nullptr when it cannot be found or loaded (LibraryError() tells why).
LibraryHandle LoadLibraryByName(std::string_view name);
// The exported symbol by its exact name, or nullptr.
void* LibrarySymbol(LibraryHandle lib, const char* symbol);
// A function that the library itself defines, by its exact name; nullptr when the name is
// missing, is not a function, or resolves into another object (one of the library's
// dependencies, such as the C library). For binding names that come from page templates.
void* LibraryOwnFunction(LibraryHandle lib, const char* symbol);
// Drops one reference; 0 on success.
int FreeLibraryHandle(LibraryHandle lib);
// Text of the last failure of the calling thread.
std::string LibraryError();
// The file a name resolves to, or "" when nothing matches (exposed for tests and diagnostics).
std::string ResolveLibraryPath(std::string_view name);

}  // namespace qm::platform
