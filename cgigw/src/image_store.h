// Storing an uploaded image under the document root and sending a stored one back.
#pragma once

#include <cstdio>
#include <string>

#include "gateway.h"

namespace qm::cgigw {

enum class StoreResult { kStored, kExists, kFailed };

// Puts the upload at `target` in one step: the name appears only with the whole file behind
// it, and an existing file (or link) of that name is never replaced. No symbolic link below
// the document root is followed, so a link cannot carry the file out of it.
StoreResult StoreUpload(const std::string& upload, const ImageTarget& target);

// Copies a regular file to `out` in pieces of 1024 bytes, flushing after each; nothing when
// the file is missing, not a regular file, or reached through a symbolic link.
void SendFile(const ImageTarget& target, std::FILE* out);

}  // namespace qm::cgigw
