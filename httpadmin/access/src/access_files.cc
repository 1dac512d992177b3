// Reading, writing and finding the per-directory access files.
#include "qm/access/access_files.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "qm/platform/confine.h"

namespace qm::access {

namespace {

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

// The files are read the way they always were: lines of at most 254 characters (a longer line
// continues as the next one).
template <typename Fn>
bool ForEachLine(const std::string& path, Fn fn) {
    File f(std::fopen(path.c_str(), "r"));
    if (!f) return false;
    char buf[255];
    while (std::fgets(buf, sizeof buf, f.get())) {
        std::string line(buf);
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
        fn(line);
    }
    return true;
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool StartsWithSegment(std::string_view path, std::string_view prefix) {
    if (prefix.empty()) return true;
    return path.size() >= prefix.size() && path.compare(0, prefix.size(), prefix) == 0 &&
           (path.size() == prefix.size() || path[prefix.size()] == '/');
}

}  // namespace

bool ReadAuthFile(const std::string& path, AuthFile* out) {
    *out = AuthFile{};
    return ForEachLine(path, [out](const std::string& line) {
        if (line.find(':') == std::string::npos) return;
        size_t sp = line.find(' ');
        std::string key = line.substr(0, sp);
        std::string value = sp == std::string::npos ? std::string() : line.substr(sp + 1);
        if (EqualsNoCase(key, "AuthType:")) out->type = value;
        else if (EqualsNoCase(key, "Realm:")) out->realm = value;
        else if (EqualsNoCase(key, "AuthUserFile:")) out->userFile = value;
    });
}

std::string FormatAuthFile(const AuthFile& a) {
    return "AuthType: " + a.type + "\nRealm: " + a.realm + "\nAuthUserFile: " + a.userFile + "\n";
}

bool ReadPasswordFile(const std::string& path, std::vector<User>* users) {
    users->clear();
    return ForEachLine(path, [users](const std::string& line) {
        size_t colon = line.find(':');
        if (colon == std::string::npos || users->size() >= kMaxUsers) return;
        users->push_back({line.substr(0, colon), line.substr(colon + 1)});
    });
}

std::string FormatPasswordFile(const std::vector<User>& users) {
    std::string out;
    for (const auto& u : users) out += u.name + ":" + u.password + "\n";
    return out;
}

const User* FindUser(const std::vector<User>& users, std::string_view name) {
    for (const auto& u : users) {
        if (EqualsNoCase(u.name, name)) return &u;
    }
    return nullptr;
}

std::optional<std::string> PasswordFolder(const std::string& serverRoot,
                                          const std::string& passwordDirectory) {
    std::string root = serverRoot;
    while (root.size() > 1 && root.back() == '/') root.pop_back();
    std::string rel = passwordDirectory;
    while (!rel.empty() && rel.front() == '/') rel.erase(rel.begin());
    while (!rel.empty() && rel.back() == '/') rel.pop_back();
    std::string resolved;
    if (root.empty() ||
        platform::ConfinePath(root, rel, 0, &resolved) != platform::kConfineOk) {
        return std::nullopt;
    }
    return rel.empty() ? root : root + "/" + rel;
}

bool IsBareFileName(std::string_view name) {
    if (name.empty() || name[0] == '.') return false;
    for (unsigned char c : name) {
        if (c == '/' || c == '\\' || c < 0x20 || c == 0x7F) return false;
    }
    return true;
}

bool IpAddress::IsPlain() const {
    return std::none_of(std::begin(part), std::end(part), [](int p) { return p == kIpWildcard; });
}

std::string IpAddress::Text() const {
    std::string out;
    for (int i = 0; i < 4; ++i) {
        if (i) out += '.';
        out += part[i] == kIpWildcard ? std::string("*") : std::to_string(part[i]);
    }
    return out;
}

bool ParseIpAddress(std::string_view text, IpAddress* out) {
    if (text.size() > 15) return false;
    IpAddress a;
    int index = 0;
    size_t pos = 0;
    for (;;) {
        size_t dot = text.find('.', pos);
        std::string_view piece =
            text.substr(pos, dot == std::string_view::npos ? std::string_view::npos : dot - pos);
        if (index >= 4) return false;
        int value = 0;
        bool wildcard = false;
        for (char c : piece) {
            if (c == ' ') continue;
            if (c >= '0' && c <= '9') {
                value = value * 10 + (c - '0');
                if (value > kIpWildcard) return false;
                continue;
            }
            if (c == '*') wildcard = true;
            else return false;
            break;  // whatever follows the "*" belongs to the wildcard
        }
        a.part[index++] = wildcard ? kIpWildcard : value;
        if (dot == std::string_view::npos) break;
        pos = dot + 1;
    }
    if (index != 4) return false;
    *out = a;
    return true;
}

int CompareIp(const IpAddress& a, const IpAddress& b) {
    for (int i = 0; i < 4; ++i) {
        if (a.part[i] != b.part[i]) return a.part[i] < b.part[i] ? -1 : 1;
    }
    return 0;
}

bool IpMatches(const IpAddress& entry, const uint8_t client[4]) {
    for (int i = 0; i < 4; ++i) {
        if (entry.part[i] != kIpWildcard && entry.part[i] != client[i]) return false;
    }
    return true;
}

bool IpList::Read(const std::string& path) {
    entries_.clear();
    return ForEachLine(path, [this](const std::string& line) {
        IpAddress a;
        if (line.find('.') != std::string::npos && ParseIpAddress(line, &a)) Insert(a);
    });
}

bool IpList::Insert(const IpAddress& a) {
    auto it = std::lower_bound(entries_.begin(), entries_.end(), a,
                               [](const IpAddress& x, const IpAddress& y) { return CompareIp(x, y) < 0; });
    if (it != entries_.end() && CompareIp(*it, a) == 0) return false;
    if (entries_.size() >= kMaxIpEntries) return false;
    entries_.insert(it, a);
    return true;
}

bool IpList::Remove(const IpAddress& a) {
    auto it = std::find_if(entries_.begin(), entries_.end(),
                           [&](const IpAddress& x) { return CompareIp(x, a) == 0; });
    if (it == entries_.end()) return false;
    entries_.erase(it);
    return true;
}

std::string IpList::Format() const {
    std::string out;
    for (const auto& e : entries_) out += e.Text() + "\n";
    return out;
}

bool IpList::Admits(const uint8_t client[4]) const {
    return std::any_of(entries_.begin(), entries_.end(),
                       [client](const IpAddress& e) { return IpMatches(e, client); });
}

WriteResult ReplaceFile(const std::string& target, std::string_view content) {
    size_t slash = target.rfind('/');
    std::string folder = slash == std::string::npos ? "." : target.substr(0, slash + 1);
    std::string temp = folder + ".qmtmpXXXXXX";
    int fd = mkstemp(temp.data());
    if (fd < 0) return WriteResult::kOpenFailed;
    fchmod(fd, 0640);
    size_t off = 0;
    bool ok = true;
    while (off < content.size()) {
        ssize_t n = ::write(fd, content.data() + off, content.size() - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            ok = false;
            break;
        }
        off += static_cast<size_t>(n);
    }
    ok = (::fsync(fd) == 0) && ok;
    ok = (::close(fd) == 0) && ok;
    if (!ok) {
        ::unlink(temp.c_str());
        return WriteResult::kOpenFailed;
    }
    if (std::rename(temp.c_str(), target.c_str()) != 0) {
        ::unlink(temp.c_str());
        return WriteResult::kRenameFailed;
    }
    return WriteResult::kOk;
}

std::string NormaliseAliasPath(std::string_view path) {
    while (!path.empty() && path.back() == '/') path.remove_suffix(1);
    return std::string(path);
}

bool IsInside(const std::string& base, const std::string& path) {
    std::string b = base;
    while (b.size() > 1 && b.back() == '/') b.pop_back();
    std::string_view rest;
    if (path == b) {
        rest = "";
    } else if (path.size() > b.size() && path.compare(0, b.size(), b) == 0 &&
               (b == "/" || path[b.size()] == '/')) {
        rest = std::string_view(path).substr(b == "/" ? 1 : b.size() + 1);
    } else {
        return false;
    }
    std::string resolved;
    return platform::ConfinePath(b, rest, 0, &resolved) == platform::kConfineOk;
}

std::optional<std::string> RealFolder(const AliasMap& map, std::string_view aliasPath) {
    std::string path = NormaliseAliasPath(aliasPath);
    std::string base = map.serverRoot;
    std::string rest = path;
    size_t best = 0;
    bool matched = path.empty();
    for (const auto& a : map.aliases) {
        std::string ap = NormaliseAliasPath(a.path);
        if (ap.empty() || !StartsWithSegment(path, ap)) continue;
        if (!matched || ap.size() > best) {
            best = ap.size();
            base = a.folder;
            rest = path.substr(ap.size());
            matched = true;
        }
    }
    if (!matched) {
        // Not below any alias: the document root serves it.
        if (path.empty() || path[0] != '/') return std::nullopt;
        base = map.serverRoot;
    }
    while (base.size() > 1 && base.back() == '/') base.pop_back();
    if (base.empty()) return std::nullopt;
    std::string folder = base;
    size_t pos = 0;
    while (pos < rest.size()) {
        if (rest[pos] != '/') return std::nullopt;
        size_t next = rest.find('/', pos + 1);
        std::string seg = rest.substr(pos + 1, next == std::string::npos ? next : next - pos - 1);
        if (seg.empty() || seg[0] == '.' || seg.find('\\') != std::string::npos) {
            return std::nullopt;
        }
        folder += "/" + seg;
        if (next == std::string::npos) break;
        pos = next;
    }
    if (folder != base && !IsInside(base, folder)) return std::nullopt;
    return folder;
}

std::string ParentAliasPath(std::string_view aliasPath) {
    std::string p = NormaliseAliasPath(aliasPath);
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

std::optional<Found> FindNearest(const AliasMap& map, std::string_view aliasPath,
                                 std::string_view fileName) {
    if (fileName.empty()) return std::nullopt;
    std::string p = NormaliseAliasPath(aliasPath);
    for (;;) {
        if (auto folder = RealFolder(map, p)) {
            std::string file = *folder + "/" + std::string(fileName);
            struct stat st {};
            if (::stat(file.c_str(), &st) == 0 && S_ISREG(st.st_mode)) return Found{p, file};
        }
        if (p.empty()) return std::nullopt;
        p = ParentAliasPath(p);
    }
}

}  // namespace qm::access
