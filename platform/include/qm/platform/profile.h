// Profile files ("ntccnf.ini"): the GetPrivateProfileString behaviour the suite relies on.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace qm::platform {

// Copies the value of `key` in `section` of `file` (a Windows or POSIX path) into `buffer`,
// truncated to size-1 characters and zero-terminated; `fallback` (nullptr = "") when the file,
// section or key is missing. Section and key names compare without regard to case; blanks
// around the value and one pair of enclosing quotes are removed. Returns the length copied.
size_t GetPrivateProfileString(const char* section, const char* key, const char* fallback,
                               char* buffer, size_t size, const char* file);

// Convenience for C++ callers: the value as a string (up to 127 characters, as the services
// read it with their 128-byte buffers).
std::string ReadProfileString(std::string_view section, std::string_view key,
                              std::string_view fallback, const std::string& file);

}  // namespace qm::platform
