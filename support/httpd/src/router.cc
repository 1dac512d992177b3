// Request path → target, with the containment checks that keep requests inside the roots.
#include "router.h"

#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <vector>

namespace qm::httpd {

namespace {

bool EndsWithNoCase(const std::string& s, const std::string& suffix) {
    return s.size() >= suffix.size() &&
           strcasecmp(s.c_str() + s.size() - suffix.size(), suffix.c_str()) == 0;
}

std::string Extension(const std::string& name) {
    auto slash = name.rfind('/');
    auto dot = name.rfind('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return {};
    return name.substr(dot);
}

bool HasExtension(const std::vector<Pair>& list, const std::string& name) {
    std::string ext = Extension(name);
    if (ext.empty()) return false;
    for (const auto& p : list) {
        std::string e = p.first.empty() || p.first[0] == '.' ? p.first : "." + p.first;
        if (strcasecmp(e.c_str(), ext.c_str()) == 0) return true;
    }
    return false;
}

// A decoded path is acceptable when none of its segments can climb or smuggle a separator,
// and none names a hidden file or folder: the authorization and password files live in the
// served folders under names that start with ".", and such names are never served or run.
bool SafeSegments(const std::string& path) {
    size_t pos = 0;
    while (pos <= path.size()) {
        size_t next = path.find('/', pos);
        if (next == std::string::npos) next = path.size();
        std::string seg = path.substr(pos, next - pos);
        if ((!seg.empty() && seg[0] == '.') || seg.find('\\') != std::string::npos ||
            seg.find('\0') != std::string::npos) {
            return false;
        }
        pos = next + 1;
    }
    return true;
}

std::string RealPath(const std::string& p) {
    char buf[PATH_MAX];
    return realpath(p.c_str(), buf) ? std::string(buf) : std::string();
}

bool Inside(const std::string& realBase, const std::string& realFile) {
    return !realBase.empty() && !realFile.empty() &&
           (realFile == realBase ||
            (realFile.size() > realBase.size() &&
             realFile.compare(0, realBase.size(), realBase) == 0 &&
             (realBase == "/" || realFile[realBase.size()] == '/')));
}

// A link inside the root may point at a hidden file of the root: what it resolves to is
// checked as well as what the request named.
bool HiddenBelow(const std::string& realBase, const std::string& realFile) {
    return realFile.find("/.", realBase == "/" ? 0 : realBase.size()) != std::string::npos;
}

std::string WithSlashes(std::string alias) {
    if (alias.empty() || alias[0] != '/') alias.insert(alias.begin(), '/');
    if (alias.back() != '/') alias.push_back('/');
    return alias;
}

// The longest alias that prefixes `path`; `rest` gets what follows it.
const Pair* MatchAlias(const std::vector<Pair>& aliases, const std::string& path,
                       std::string* rest) {
    const Pair* best = nullptr;
    size_t bestLen = 0;
    for (const auto& a : aliases) {
        std::string prefix = WithSlashes(a.first);
        std::string bare = prefix.substr(0, prefix.size() - 1);
        bool hit = path.compare(0, prefix.size(), prefix) == 0 || (path == bare && !bare.empty());
        if (hit && prefix.size() > bestLen) {
            best = &a;
            bestLen = prefix.size();
            *rest = path.size() >= prefix.size() ? path.substr(prefix.size()) : std::string();
        }
    }
    return best;
}

bool IsRegular(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

bool IsDirectory(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

Target CgiTarget(const std::string& folder, const std::string& urlPrefix,
                 const std::string& rest, const Settings& s) {
    Target t;
    auto slash = rest.find('/');
    std::string script = rest.substr(0, slash);
    if (script.empty()) return t;
    std::string file = folder + "/" + script;
    // Pages link to the Windows program names ("Qmcgi.exe"); our programs have no suffix.
    if (!IsRegular(file) && EndsWithNoCase(script, ".exe")) {
        file = folder + "/" + script.substr(0, script.size() - 4);
    }
    std::string real = RealPath(file);
    if (real.empty() || !IsRegular(real)) return t;
    std::string realFolder = RealPath(folder);
    if (!Inside(realFolder, real) || HiddenBelow(realFolder, real)) {
        t.kind = Target::Forbidden;
        return t;
    }
    if (access(real.c_str(), X_OK) != 0) {
        t.kind = Target::Forbidden;
        return t;
    }
    t.kind = Target::Cgi;
    t.file = real;
    t.scriptName = urlPrefix + script;
    t.pathInfo = slash == std::string::npos ? "" : rest.substr(slash);
    t.pathTranslated = t.pathInfo.empty() ? "" : s.serverRoot + t.pathInfo;
    t.nph = strncasecmp(script.c_str(), "nph-", 4) == 0;
    return t;
}

}  // namespace

std::string MimeTypeFor(const Settings& settings, const std::string& fileName) {
    std::string ext = Extension(fileName);
    if (!ext.empty()) {
        for (const auto& p : settings.extType) {
            std::string e = p.first.empty() || p.first[0] == '.' ? p.first : "." + p.first;
            if (strcasecmp(e.c_str(), ext.c_str()) == 0) return p.second;
        }
    }
    return "application/octet-stream";
}

Target Route(const Settings& s, const std::string& path) {
    Target t;
    if (path.empty() || path[0] != '/' || !SafeSegments(path)) {
        t.kind = Target::Forbidden;
        return t;
    }
    if (path == kPageRoute) {
        t.kind = Target::Page;
        return t;
    }
    std::string rest;
    if (const Pair* exec = MatchAlias(s.execAlias, path, &rest)) {
        return CgiTarget(exec->second, WithSlashes(exec->first), rest, s);
    }
    std::string base = s.serverRoot;
    std::string urlPrefix = "/";
    if (const Pair* alias = MatchAlias(s.pathAlias, path, &rest)) {
        base = alias->second;
        urlPrefix = WithSlashes(alias->first);
    } else {
        rest = path.substr(1);
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    std::string file = rest.empty() ? base : base + "/" + rest;
    if (IsDirectory(file)) {
        if (!path.empty() && path.back() != '/') {
            t.kind = Target::Redirect;
            t.location = path + "/";
            return t;
        }
        file += (file.back() == '/' ? "" : "/") + s.welcome;
    }
    std::string real = RealPath(file);
    if (real.empty()) return t;  // not found
    std::string realBase = RealPath(base);
    if (!Inside(realBase, real) || HiddenBelow(realBase, real)) {
        t.kind = Target::Forbidden;  // a link that leads out of the root, or to a hidden file
        return t;
    }
    if (!IsRegular(real)) {
        t.kind = Target::Forbidden;
        return t;
    }
    if (HasExtension(s.execExtType, real)) {
        auto slash = rest.rfind('/');
        std::string dir = slash == std::string::npos ? base : base + "/" + rest.substr(0, slash);
        std::string prefix = slash == std::string::npos ? urlPrefix
                                                        : urlPrefix + rest.substr(0, slash + 1);
        std::string name = slash == std::string::npos ? rest : rest.substr(slash + 1);
        return CgiTarget(dir, prefix, name, s);
    }
    t.kind = Target::Static;
    t.file = real;
    t.mimeType = MimeTypeFor(s, real);
    return t;
}

}  // namespace qm::httpd
