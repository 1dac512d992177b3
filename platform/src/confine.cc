// Path confinement: the text checks first (cheap, and they decide most hostile names), then
// the file system's word on symbolic links.
#include "qm/platform/confine.h"

#include <limits.h>
#include <stdlib.h>

#include <cerrno>
#include <vector>

namespace qm::platform {

namespace {

bool RealPath(const std::string& path, std::string* out) {
    char buf[PATH_MAX];
    if (!::realpath(path.c_str(), buf)) return false;
    out->assign(buf);
    return true;
}

bool Inside(const std::string& realRoot, const std::string& realPath) {
    if (realPath == realRoot) return true;
    if (realRoot == "/") return !realPath.empty() && realPath[0] == '/';
    return realPath.size() > realRoot.size() &&
           realPath.compare(0, realRoot.size(), realRoot) == 0 && realPath[realRoot.size()] == '/';
}

// A link inside the root may lead to a hidden name of the root: what a name resolves to is
// checked as well as the name itself.
bool HiddenBelow(const std::string& realRoot, const std::string& realPath) {
    return realPath.find("/.", realRoot == "/" ? 0 : realRoot.size()) != std::string::npos;
}

}  // namespace

ConfineResult ConfinePath(std::string_view root, std::string_view name, unsigned flags,
                          std::string* out) {
    if (out) out->clear();
    if (!out || root.empty() || root.find('\0') != std::string_view::npos) return kConfineNoRoot;
    const bool backslashes = (flags & kConfineBackslashSeparates) != 0;
    const bool refuseDots = (flags & kConfineRefuseDotNames) != 0;
    if (name.size() >= PATH_MAX || name.find('\0') != std::string_view::npos) return kConfineRefused;
    if (backslashes && name.find(':') != std::string_view::npos) return kConfineRefused;
    if (!backslashes && name.find('\\') != std::string_view::npos) return kConfineRefused;
    auto isSeparator = [&](char c) { return c == '/' || (backslashes && c == '\\'); };
    if (!name.empty() && isSeparator(name.front())) return kConfineRefused;

    std::vector<std::string_view> parts;
    size_t start = 0;
    for (size_t i = 0; i <= name.size(); ++i) {
        if (i < name.size() && !isSeparator(name[i])) continue;
        std::string_view part = name.substr(start, i - start);
        start = i + 1;
        if (part.empty()) continue;
        if (part == "..") return kConfineRefused;
        if (part.front() == '.' && refuseDots) return kConfineRefused;
        if (part == ".") continue;
        parts.push_back(part);
    }

    std::string realRoot;
    if (!RealPath(std::string(root), &realRoot)) return kConfineNoRoot;
    std::string joined = realRoot;
    for (std::string_view part : parts) {
        if (joined != "/") joined.push_back('/');
        joined.append(part);
    }
    // The usual case, an existing target: one resolution decides. What counts is where the
    // name finally leads; a link that leaves and comes back into the root does no harm.
    std::string real;
    if (RealPath(joined, &real)) {
        if (!Inside(realRoot, real)) return kConfineOutside;
        if (refuseDots && HiddenBelow(realRoot, real)) return kConfineRefused;
        *out = std::move(real);
        return kConfineOk;
    }
    if (errno != ENOENT && errno != ENOTDIR) return kConfineOutside;  // link loop, no access
    // A missing target: walk down while the path exists, so that a link on the way is resolved;
    // the parts past the first missing one cannot be links.
    std::string resolved = realRoot;
    size_t i = 0;
    for (; i < parts.size(); ++i) {
        std::string next = resolved == "/" ? "/" : resolved + "/";
        next.append(parts[i]);
        if (!RealPath(next, &real)) {
            if (errno == ENOENT || errno == ENOTDIR) break;
            return kConfineOutside;  // a loop of links, or a folder we may not look into
        }
        if (!Inside(realRoot, real)) return kConfineOutside;
        if (refuseDots && HiddenBelow(realRoot, real)) return kConfineRefused;
        resolved = std::move(real);
    }
    for (; i < parts.size(); ++i) {
        if (resolved != "/") resolved.push_back('/');
        resolved.append(parts[i]);
    }
    if (resolved.size() >= PATH_MAX) return kConfineRefused;
    *out = std::move(resolved);
    return kConfineOk;
}

}  // namespace qm::platform
