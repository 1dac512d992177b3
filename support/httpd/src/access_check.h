// Per-directory access control: the IP access file and the authorization file that govern a
// request are the nearest ones up its alias path (its folder first, then each parent, up to
// the document root), found the same way the administration pages show them. The page route
// "/qm" is the alias of the template folder html/, so "/qm/en" is html/en/.
#pragma once

#include <string>
#include <string_view>

#include "settings.h"

namespace qm::httpd {

struct AccessDecision {
    enum Kind { kAllow, kUnauthorized, kForbidden } kind = kAllow;
    std::string realm;  // kUnauthorized: the realm of the authorization file
};

// `aliasPath` is the URL path of the folder the request reaches ("" for the document root,
// "/docs/a", "/qm/en"); `remoteAddr` the client's address; `authorization` the request's
// Authorization header. An IP access file admits only the addresses it lists; an authorization
// file asks for Basic credentials of a user in its password file (name any case, password
// exact). A file that cannot be read shuts its folder rather than opening it.
AccessDecision CheckAccess(const Settings& settings, std::string_view aliasPath,
                           std::string_view remoteAddr, std::string_view authorization);

// The alias path that governs a request for the decoded URL `path`: its folder.
std::string FolderAliasPath(std::string_view path);

// The alias path of a template run in `language`: "/qm/<language>" for a plain name, else "/qm".
std::string TemplateAliasPath(std::string_view language);

}  // namespace qm::httpd
