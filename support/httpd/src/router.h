// Maps a request path onto what answers it: a file, a CGI program, the page interpreter.
// Every file it names lies inside the document root or an alias folder, symbolic links
// included; anything else is refused.
#pragma once

#include <string>

#include "settings.h"

namespace qm::httpd {

inline constexpr const char* kPageRoute = "/qm";

struct Target {
    enum Kind { Static, Cgi, Page, Redirect, NotFound, Forbidden } kind = NotFound;
    std::string file;            // Static, Cgi: real path of the file or program
    std::string mimeType;        // Static
    std::string scriptName;      // Cgi: URL path of the program
    std::string pathInfo;        // Cgi: the rest of the URL after the program
    std::string pathTranslated;  // Cgi: document root + PATH_INFO
    std::string location;        // Redirect
    bool nph = false;            // Cgi: the program writes its own status line
};

// `path` is the decoded URL path (it begins with "/").
Target Route(const Settings& settings, const std::string& path);

// The MIME type for a file name by the ExtType list (extension compared without case);
// "application/octet-stream" when none matches.
std::string MimeTypeFor(const Settings& settings, const std::string& fileName);

}  // namespace qm::httpd
