// The registry file. Format (text, one key per section, readable and editable by an admin):
//
//   [HKEY_LOCAL_MACHINE\SOFTWARE\OvrelNet\OvrelNetQuinsward\Httpd]
//   "Port"=dword:00000050
//   "ServerRoot"="/opt/quinsward/htdocs"
//
// Strings use the escapes \\ \" \n \r \t. Every change re-reads the file under an exclusive
// flock on registry.lock, applies itself and replaces the file by rename after fsync, so
// concurrent writers in several processes never lose each other's values and a crash leaves
// either the old or the new file. Readers need no lock; they re-parse only when the file
// changed.
#include "qm/platform/registry.h"

#include <fcntl.h>
#include <strings.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <functional>
#include <map>
#include <memory>
#include <mutex>

#include "qm/platform/errors.h"
#include "qm/platform/owners.h"
#include "qm/platform/paths.h"

namespace qm::platform {

namespace {

struct Key {
    std::string path;  // as first written, root name included
    std::map<std::string, RegValue> values;  // by lower-case name
};
using Hive = std::map<std::string, Key>;  // by lower-case full path

std::string Lower(std::string_view s) {
    std::string o(s);
    for (char& c : o) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return o;
}

// "HKEY_LOCAL_MACHINE" + "\" + the key path with empty components removed; "" when the path
// holds characters a key name cannot.
std::string FullPath(RegRoot root, std::string_view keyPath) {
    std::string out = RegRootName(root);
    std::string part;
    auto flush = [&] {
        if (!part.empty()) {
            out += '\\';
            out += part;
            part.clear();
        }
    };
    for (char c : keyPath) {
        if (c == '\\' || c == '/') {
            flush();
        } else if (static_cast<unsigned char>(c) < 0x20 || c == '[' || c == ']') {
            return {};
        } else {
            part.push_back(c);
        }
    }
    flush();
    return out;
}

std::string Escape(std::string_view s) {
    std::string o;
    for (char c : s) {
        switch (c) {
            case '\\': o += "\\\\"; break;
            case '"': o += "\\\""; break;
            case '\n': o += "\\n"; break;
            case '\r': o += "\\r"; break;
            case '\t': o += "\\t"; break;
            default: o.push_back(c);
        }
    }
    return o;
}

// Reads a quoted string starting at s[i] == '"'; leaves i after the closing quote.
bool Unquote(std::string_view s, size_t& i, std::string* out) {
    if (i >= s.size() || s[i] != '"') return false;
    ++i;
    out->clear();
    while (i < s.size()) {
        char c = s[i++];
        if (c == '"') return true;
        if (c == '\\' && i < s.size()) {
            char e = s[i++];
            switch (e) {
                case 'n': out->push_back('\n'); break;
                case 'r': out->push_back('\r'); break;
                case 't': out->push_back('\t'); break;
                default: out->push_back(e);
            }
        } else {
            out->push_back(c);
        }
    }
    return false;
}

Hive Parse(std::string_view text) {
    Hive hive;
    Key* current = nullptr;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t eol = text.find('\n', pos);
        if (eol == std::string_view::npos) eol = text.size();
        std::string_view line = text.substr(pos, eol - pos);
        pos = eol + 1;
        if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
        if (line.empty() || line[0] == '#' || line[0] == ';') continue;
        if (line[0] == '[') {
            auto close = line.rfind(']');
            if (close == std::string_view::npos || close < 2) {
                current = nullptr;
                continue;
            }
            std::string path(line.substr(1, close - 1));
            Key& k = hive[Lower(path)];
            if (k.path.empty()) k.path = path;
            current = &k;
            continue;
        }
        if (!current) continue;
        size_t i = 0;
        RegValue v;
        if (!Unquote(line, i, &v.name) || i >= line.size() || line[i] != '=') continue;
        ++i;
        std::string_view rest = line.substr(i);
        if (rest.substr(0, 6) == "dword:") {
            std::string digits(rest.substr(6));
            char* end = nullptr;
            unsigned long n = std::strtoul(digits.c_str(), &end, 16);
            if (digits.empty() || *end != '\0') continue;
            v.type = kRegDword;
            v.number = static_cast<uint32_t>(n);
        } else {
            size_t j = 0;
            if (!Unquote(rest, j, &v.text)) continue;
            v.type = kRegSz;
        }
        current->values[Lower(v.name)] = std::move(v);
    }
    return hive;
}

std::string Serialise(const Hive& hive) {
    std::string out = "# Quinsward registry. Edit with qmreg while services run.\n";
    for (const auto& [lower, key] : hive) {
        out += "\n[" + key.path + "]\n";
        for (const auto& [ln, v] : key.values) {
            out += "\"" + Escape(v.name) + "\"=";
            if (v.type == kRegDword) {
                char buf[16];
                std::snprintf(buf, sizeof buf, "dword:%08x", v.number);
                out += buf;
            } else {
                out += "\"" + Escape(v.text) + "\"";
            }
            out += '\n';
        }
    }
    return out;
}

bool ReadWhole(const std::string& path, std::string* out, struct stat* st) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd) return false;
    bool ok = fstat(fd.get(), st) == 0;
    out->clear();
    char buf[65536];
    ssize_t n;
    while (ok && (n = ::read(fd.get(), buf, sizeof buf)) != 0) {
        if (n < 0) {
            if (errno == EINTR) continue;
            ok = false;
            break;
        }
        out->append(buf, static_cast<size_t>(n));
    }
    return ok;
}

// Parsed copy of the file, refreshed when the file's identity or time stamp changes.
std::mutex g_cacheLock;
struct Cache {
    std::string path;
    ino_t ino = 0;
    timespec mtime{};
    off_t size = -1;
    std::shared_ptr<const Hive> hive;
};
Cache g_cache;

std::shared_ptr<const Hive> Load() {
    std::string path = RegistryFilePath();
    struct stat st {};
    std::lock_guard<std::mutex> lock(g_cacheLock);
    if (::stat(path.c_str(), &st) != 0) {
        g_cache = Cache{};
        return std::make_shared<const Hive>();
    }
    if (g_cache.hive && g_cache.path == path && g_cache.ino == st.st_ino &&
        g_cache.size == st.st_size && g_cache.mtime.tv_sec == st.st_mtim.tv_sec &&
        g_cache.mtime.tv_nsec == st.st_mtim.tv_nsec) {
        return g_cache.hive;
    }
    std::string text;
    if (!ReadWhole(path, &text, &st)) return std::make_shared<const Hive>();
    g_cache.path = path;
    g_cache.ino = st.st_ino;
    g_cache.size = st.st_size;
    g_cache.mtime = st.st_mtim;
    g_cache.hive = std::make_shared<const Hive>(Parse(text));
    return g_cache.hive;
}

// Applies `change` to the current file contents under the writers' lock. `change` returns a
// result code; the file is rewritten only when it returns 0 and says it changed something.
int Mutate(const std::function<int(Hive&, bool& changed)>& change) {
    std::string path = RegistryFilePath();
    auto slash = path.rfind('/');
    std::string folder = slash == std::string::npos ? "." : path.substr(0, slash);
    MakeDirectories(folder);
    // Closing the lock file drops the lock, whichever way this call ends.
    UniqueFd lockFd(::open((path + ".lock").c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lockFd) return kErrAccessDenied;
    while (flock(lockFd.get(), LOCK_EX) != 0 && errno == EINTR) {
    }
    std::string text;
    struct stat st {};
    Hive hive = ReadWhole(path, &text, &st) ? Parse(text) : Hive{};
    bool changed = false;
    int rc = change(hive, changed);
    if (rc == kOk && changed) {
        std::string tmp = path + ".tmp." + std::to_string(getpid());
        std::string data = Serialise(hive);
        UniqueFd fd(::open(tmp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600));
        bool ok = fd.ok();
        size_t off = 0;
        while (ok && off < data.size()) {
            ssize_t n = ::write(fd.get(), data.data() + off, data.size() - off);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) ok = false;
            else off += static_cast<size_t>(n);
        }
        if (ok) ok = fsync(fd.get()) == 0;
        if (fd && fd.close() != 0) ok = false;
        if (ok) ok = ::rename(tmp.c_str(), path.c_str()) == 0;
        if (ok) {
            UniqueFd dfd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
            if (dfd) fsync(dfd.get());
        } else {
            ::unlink(tmp.c_str());
            rc = kErrAccessDenied;
        }
    }
    return rc;
}

void EnsureKeyWithParents(Hive& hive, const std::string& full) {
    size_t pos = 0;
    for (;;) {
        size_t next = full.find('\\', pos);
        std::string prefix = next == std::string::npos ? full : full.substr(0, next);
        Key& k = hive[Lower(prefix)];
        if (k.path.empty()) k.path = prefix;
        if (next == std::string::npos) break;
        pos = next + 1;
    }
}

int SetValue(RegRoot root, std::string_view keyPath, RegValue v, bool createKey) {
    std::string full = FullPath(root, keyPath);
    if (full.empty()) return kErrInvalidParameter;
    return Mutate([&](Hive& hive, bool& changed) {
        std::string lk = Lower(full);
        if (!hive.count(lk)) {
            if (!createKey) return kErrFileNotFound;
            EnsureKeyWithParents(hive, full);
        }
        auto& values = hive[lk].values;
        std::string ln = Lower(v.name);
        if (auto it = values.find(ln); it != values.end()) v.name = it->second.name;
        values[ln] = std::move(v);
        changed = true;
        return kOk;
    });
}

}  // namespace

std::string RegistryFilePath() { return RootPath("registry"); }

bool ParseRegRoot(std::string_view text, RegRoot* root) {
    struct Name {
        const char* longName;
        const char* shortName;
        RegRoot root;
    };
    static const Name kNames[] = {{"HKEY_CLASSES_ROOT", "HKCR", RegRoot::ClassesRoot},
                                  {"HKEY_CURRENT_USER", "HKCU", RegRoot::CurrentUser},
                                  {"HKEY_LOCAL_MACHINE", "HKLM", RegRoot::LocalMachine},
                                  {"HKEY_USERS", "HKU", RegRoot::Users}};
    std::string t = Lower(text);
    for (const auto& n : kNames) {
        if (t == Lower(n.longName) || t == Lower(n.shortName)) {
            *root = n.root;
            return true;
        }
    }
    return false;
}

const char* RegRootName(RegRoot root) {
    switch (root) {
        case RegRoot::ClassesRoot: return "HKEY_CLASSES_ROOT";
        case RegRoot::CurrentUser: return "HKEY_CURRENT_USER";
        case RegRoot::LocalMachine: return "HKEY_LOCAL_MACHINE";
        case RegRoot::Users: return "HKEY_USERS";
    }
    return "HKEY_LOCAL_MACHINE";
}

int RegCreateKey(RegRoot root, std::string_view keyPath) {
    std::string full = FullPath(root, keyPath);
    if (full.empty()) return kErrInvalidParameter;
    return Mutate([&](Hive& hive, bool& changed) {
        if (!hive.count(Lower(full))) {
            EnsureKeyWithParents(hive, full);
            changed = true;
        }
        return kOk;
    });
}

int RegOpenKey(RegRoot root, std::string_view keyPath) {
    std::string full = FullPath(root, keyPath);
    if (full.empty()) return kErrInvalidParameter;
    if (full == RegRootName(root)) return kOk;  // the roots always exist
    return Load()->count(Lower(full)) ? kOk : kErrFileNotFound;
}

int RegGetValue(RegRoot root, std::string_view keyPath, std::string_view name, RegValue* out) {
    std::string full = FullPath(root, keyPath);
    if (full.empty()) return kErrInvalidParameter;
    auto hive = Load();
    auto k = hive->find(Lower(full));
    if (k == hive->end()) return kErrFileNotFound;
    auto v = k->second.values.find(Lower(name));
    if (v == k->second.values.end()) return kErrFileNotFound;
    if (out) *out = v->second;
    return kOk;
}

int RegSetString(RegRoot root, std::string_view keyPath, std::string_view name,
                 std::string_view text, bool createKey) {
    RegValue v;
    v.name = std::string(name);
    v.type = kRegSz;
    v.text = std::string(text);
    return SetValue(root, keyPath, std::move(v), createKey);
}

int RegSetNumber(RegRoot root, std::string_view keyPath, std::string_view name, uint32_t number,
                 bool createKey) {
    RegValue v;
    v.name = std::string(name);
    v.type = kRegDword;
    v.number = number;
    return SetValue(root, keyPath, std::move(v), createKey);
}

int RegDeleteValue(RegRoot root, std::string_view keyPath, std::string_view name) {
    std::string full = FullPath(root, keyPath);
    if (full.empty()) return kErrInvalidParameter;
    return Mutate([&](Hive& hive, bool& changed) {
        auto k = hive.find(Lower(full));
        if (k == hive.end() || k->second.values.erase(Lower(name)) == 0) return kErrFileNotFound;
        changed = true;
        return kOk;
    });
}

int RegDeleteKey(RegRoot root, std::string_view keyPath) {
    std::string full = FullPath(root, keyPath);
    if (full.empty() || full == RegRootName(root)) return kErrInvalidParameter;
    return Mutate([&](Hive& hive, bool& changed) {
        std::string lk = Lower(full);
        if (!hive.erase(lk)) return kErrFileNotFound;
        std::string below = lk + "\\";
        for (auto it = hive.lower_bound(below);
             it != hive.end() && it->first.compare(0, below.size(), below) == 0;) {
            it = hive.erase(it);
        }
        changed = true;
        return kOk;
    });
}

int RegListSubkeys(RegRoot root, std::string_view keyPath, std::vector<std::string>* names) {
    std::string full = FullPath(root, keyPath);
    if (full.empty() || !names) return kErrInvalidParameter;
    names->clear();
    auto hive = Load();
    std::string lk = Lower(full);
    if (full != RegRootName(root) && !hive->count(lk)) return kErrFileNotFound;
    std::string below = lk + "\\";
    for (auto it = hive->lower_bound(below);
         it != hive->end() && it->first.compare(0, below.size(), below) == 0; ++it) {
        if (it->first.find('\\', below.size()) == std::string::npos) {
            names->push_back(it->second.path.substr(below.size()));
        }
    }
    return kOk;
}

int RegListValues(RegRoot root, std::string_view keyPath, std::vector<RegValue>* values) {
    std::string full = FullPath(root, keyPath);
    if (full.empty() || !values) return kErrInvalidParameter;
    values->clear();
    auto hive = Load();
    auto k = hive->find(Lower(full));
    if (k == hive->end()) return kErrFileNotFound;
    for (const auto& [ln, v] : k->second.values) values->push_back(v);
    return kOk;
}

std::string RegReadText(RegRoot root, std::string_view keyPath, std::string_view name,
                        std::string_view fallback) {
    RegValue v;
    if (RegGetValue(root, keyPath, name, &v) != kOk) return std::string(fallback);
    return v.type == kRegDword ? std::to_string(v.number) : v.text;
}

std::vector<std::string> RegSplitList(std::string_view text) {
    std::vector<std::string> fields;
    size_t pos = 0;
    while (pos <= text.size()) {
        size_t next = text.find(';', pos);
        if (next == std::string_view::npos) next = text.size();
        if (next > pos) fields.emplace_back(text.substr(pos, next - pos));
        pos = next + 1;
    }
    return fields;
}

std::string RegJoinList(const std::vector<std::string>& fields) {
    std::string out = ";";
    for (const auto& f : fields) out += f + ";";
    return out;
}

std::vector<RegPair> RegSplitPairs(std::string_view text, size_t maxPairs) {
    const std::vector<std::string> fields = RegSplitList(text);
    std::vector<RegPair> pairs;
    for (size_t i = 0; i + 1 < fields.size() && pairs.size() < maxPairs; i += 2) {
        pairs.emplace_back(fields[i], fields[i + 1]);
    }
    return pairs;
}

std::string RegJoinPairs(const std::vector<RegPair>& pairs) {
    std::string out = ";";
    for (const auto& p : pairs) out += p.first + ";" + p.second + ";";
    return out;
}

}  // namespace qm::platform
