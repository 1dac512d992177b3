// Temporary upload files: created owner-only in the current folder, deleted with their request
// object, at exit, or when a fatal signal ends the process.
#pragma once

#include <string>

namespace qm::cgi::detail {

// Creates a new, empty, owner-only file with a name unique among concurrent processes
// ("./.qmcgi-XXXXXX"). Returns its open descriptor and fills `name` (relative, as the request
// object publishes it) and `slot` (for RemoveUploadFile); -1 when no file could be created.
int CreateUploadFile(std::string* name, int* slot);

// Deletes the file registered in `slot` (if it still exists) and frees the slot.
void RemoveUploadFile(int slot);

}  // namespace qm::cgi::detail
