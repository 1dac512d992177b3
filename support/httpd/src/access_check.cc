// Enforcing the access files the administration pages write.
#include "access_check.h"

#include <arpa/inet.h>
#include <strings.h>

#include <cstring>
#include <vector>

#include "qm/access/access_files.h"
#include "qm/cgi/coding.h"
#include "qm/platform/paths.h"
#include "router.h"

namespace qm::httpd {

namespace {

// Compares without stopping at the first difference, so the time taken tells nothing.
bool SameSecret(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (size_t i = 0; i < a.size(); ++i) {
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    }
    return diff == 0;
}

bool ClientAddress(std::string_view remote, uint8_t out[4]) {
    if (remote.substr(0, 7) == "::ffff:") remote.remove_prefix(7);
    std::string text(remote);
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) return false;
    std::memcpy(out, &a.s_addr, 4);
    return true;
}

access::AliasMap MapOf(const Settings& s) {
    access::AliasMap m;
    m.serverRoot = s.serverRoot;
    for (const auto* list : {&s.pathAlias, &s.execAlias}) {
        for (const auto& p : *list) m.aliases.push_back({p.first, p.second});
    }
    m.aliases.push_back({kPageRoute, platform::RootPath("html")});
    return m;
}

}  // namespace

std::string FolderAliasPath(std::string_view path) {
    size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash));
}

std::string TemplateAliasPath(std::string_view language) {
    bool plain = !language.empty() && language[0] != '.';
    for (char c : language) {
        bool ok = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '_' || c == '-';
        plain = plain && ok;
    }
    return plain ? std::string(kPageRoute) + "/" + std::string(language) : std::string(kPageRoute);
}

AccessDecision CheckAccess(const Settings& s, std::string_view aliasPath,
                           std::string_view remoteAddr, std::string_view authorization) {
    AccessDecision d;
    access::AliasMap map = MapOf(s);
    if (auto ip = access::FindNearest(map, aliasPath, s.readAccessIP)) {
        access::IpList list;
        uint8_t client[4];
        if (!list.Read(ip->file) || !ClientAddress(remoteAddr, client) || !list.Admits(client)) {
            d.kind = AccessDecision::kForbidden;
            return d;
        }
    }
    auto auth = access::FindNearest(map, aliasPath, s.readAccessAuthorization);
    if (!auth) return d;
    access::AuthFile file;
    bool readable = access::ReadAuthFile(auth->file, &file);
    d.realm = file.realm;
    d.kind = AccessDecision::kUnauthorized;
    if (!readable || !access::IsBareFileName(file.userFile)) return d;
    if (authorization.size() < 6 || strncasecmp(authorization.data(), "Basic ", 6) != 0) return d;
    std::string decoded = cgi::Base64Decode(authorization.substr(6));
    size_t colon = decoded.find(':');
    if (colon == std::string::npos) return d;
    auto dir = access::PasswordFolder(s.serverRoot, s.authorizationPasswordDirectory);
    std::vector<access::User> users;
    if (!dir || !access::ReadPasswordFile(*dir + "/" + file.userFile, &users)) return d;
    const access::User* u = access::FindUser(users, std::string_view(decoded).substr(0, colon));
    if (u && SameSecret(u->password, std::string_view(decoded).substr(colon + 1))) {
        d.kind = AccessDecision::kAllow;
    }
    return d;
}

}  // namespace qm::httpd
