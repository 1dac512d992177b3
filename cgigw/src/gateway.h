// Pieces shared by the two CGI gateways: the document root, safe target paths under it, the
// installation directory from InstallData.txt, and the request text handed to the server.
#pragma once

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "qm/cgi/cgi_request.h"

namespace qm::cgigw {

// The document root: PATH_TRANSLATED without the tail that PATH_INFO maps to (either slash
// form); PATH_TRANSLATED whole when PATH_INFO is empty or is not its tail.
std::string DocumentRoot(std::string_view pathInfo, std::string_view pathTranslated);

inline constexpr std::size_t kMaxTargetPath = 259;

// The file under `root` that a client-given name means, or nullopt when the name would leave
// the root (absolute, drive letter, ".." after backslashes become slashes), the root is
// unknown (empty), or the path would pass 259 characters.
std::optional<std::string> TargetPath(std::string_view root, std::string_view name);

// An image file under the document root, as Qmcgipst may store or send it: `folder` (""
// or "a/b") and `file` are relative to `root`.
struct ImageTarget {
    std::string root, folder, file;
};

// The image a client-given name means, or nullopt unless TargetPath accepts it, the name ends
// in ".gif" (any case) and none of its pieces starts with "." (hidden files, such as the
// server's authorization files, are never written or read).
std::optional<ImageTarget> ImagePath(std::string_view root, std::string_view name);

// The installation directory: the line after the first line holding "<!--" in the file, read
// in pieces of at most 79 characters. nullopt when the file cannot be opened; "" when it has
// no such line.
std::optional<std::string> ReadInstallDirectory(const std::string& file);

inline constexpr std::size_t kMaxRequestText = 204799;

// The "|"-separated text for the serving process: directory, service (the pair "service" or
// "qmintpr"), SERVER_ROOT, twenty CGI variables, then every other pair. False when it would
// pass kMaxRequestText characters.
bool BuildRequestText(const cgi::CgiRequest& req, std::string_view installDir, std::string* out);

// Writes a line followed by LF.
void PutLine(std::FILE* out, std::string_view line);

}  // namespace qm::cgigw
