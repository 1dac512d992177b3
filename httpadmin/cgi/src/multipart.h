// The multipart/form-data body parser behind CgiRequest.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qm::cgi::detail {

struct MultipartPart {
    std::string tempFile;  // "" when the part stored no file
    int slot = -1;         // upload registry slot of tempFile
    std::string contentType;
};

struct MultipartResult {
    std::string query;  // name=value&... with names and values url-encoded
    std::vector<MultipartPart> parts;
};

// Parses `body` with the boundary named in `contentType`. False when the body goes beyond the
// fixed capacities; every file it created is then already deleted and `out` is empty. A
// content type without "boundary=" gives true with no parts.
bool ParseMultipart(std::string_view contentType, std::string_view body, MultipartResult* out);

}  // namespace qm::cgi::detail
