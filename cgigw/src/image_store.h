// Storing an uploaded image under the document root and sending a stored one back.
#pragma once

#include <cstdio>
#include <string>

namespace qm::cgigw {

enum class StoreResult { kStored, kExists, kFailed };

// Puts the upload at `target` in one step: the name appears only with the whole file behind
// it, and an existing file (or link) of that name is never replaced.
StoreResult StoreUpload(const std::string& upload, const std::string& target);

// Copies a regular file to `out` in pieces of 1024 bytes, flushing after each; nothing when
// the file is missing or not a regular file.
void SendFile(const std::string& path, std::FILE* out);

}  // namespace qm::cgigw
