// The per-directory access files of the HTTP server: the authorization file, its password file
// and the IP access file. The administration CGI writes them, qmhttpd reads and enforces them;
// both find "the nearest file up the alias path" through the same functions here, so what the
// Authorization page shows is what the server does.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::access {

// ---- Authorization file: "AuthType: Basic", "Realm: text", "AuthUserFile: name" ----

struct AuthFile {
    std::string type;
    std::string realm;
    std::string userFile;  // a bare file name in the password folder
};

// Reads leniently: every line (up to 254 characters) that contains ":" is split at its first
// space; keys "AuthType:", "Realm:", "AuthUserFile:" are recognised without regard to case.
// False when the file cannot be opened.
bool ReadAuthFile(const std::string& path, AuthFile* out);
std::string FormatAuthFile(const AuthFile& auth);

// ---- Password file: "name:password" lines ----

inline constexpr size_t kMaxUsers = 128;

struct User {
    std::string name;
    std::string password;
};

// Every line (up to 254 characters) with ":" is split at its first ":"; at most kMaxUsers.
// False when the file cannot be opened (the list is then empty).
bool ReadPasswordFile(const std::string& path, std::vector<User>* users);
std::string FormatPasswordFile(const std::vector<User>& users);
// The user named `name` (any case), or nullptr.
const User* FindUser(const std::vector<User>& users, std::string_view name);

// A password-file name from a form or a file is a bare name: not empty, no "/", no "\\", no
// leading "." (hidden files are the access files themselves) and no control characters.
bool IsBareFileName(std::string_view name);

// The folder of the password files: `serverRoot` and `passwordDirectory` joined as stored
// ("%s%s"), refused (nullopt) when the result would leave the document root.
std::optional<std::string> PasswordFolder(const std::string& serverRoot,
                                          const std::string& passwordDirectory);

// ---- IP access file: one address per line ----

inline constexpr size_t kMaxIpEntries = 512;
inline constexpr int kIpWildcard = 256;

// Four parts; each 0..255, or kIpWildcard for "*" (or 256).
struct IpAddress {
    int part[4] = {0, 0, 0, 0};
    bool IsPlain() const;
    std::string Text() const;  // "a.b.c.d" with "*" for a wildcard part
};

// At most 15 characters, four parts separated by "."; a part is spaces and digits (empty
// counts as 0), or begins with "*" after any spaces and digits (a wildcard). Every number must
// be at most 256, and 256 is the wildcard too.
bool ParseIpAddress(std::string_view text, IpAddress* out);
// Numerically from the first part; the wildcard sorts after 255.
int CompareIp(const IpAddress& a, const IpAddress& b);
// True when every part equals the client's or is a wildcard.
bool IpMatches(const IpAddress& entry, const uint8_t client[4]);

// The entries of an IP access file: sorted, without duplicates, at most kMaxIpEntries.
class IpList {
public:
    // Every line (up to 254 characters) containing "." that parses is an entry. False when the
    // file cannot be opened (the list is then empty).
    bool Read(const std::string& path);
    // Inserts in order; false when it was present already or the list is full.
    bool Insert(const IpAddress& a);
    bool Remove(const IpAddress& a);
    void Clear() { entries_.clear(); }
    const std::vector<IpAddress>& entries() const { return entries_; }
    std::string Format() const;
    bool Admits(const uint8_t client[4]) const;

private:
    std::vector<IpAddress> entries_;
};

// ---- Replacing a file ----

enum class WriteResult { kOk, kOpenFailed, kRenameFailed };

// Writes `content` to a new hidden temporary file in the target's folder and renames it over
// the target. The rename replaces the file in one step, so a reader (the server checking a
// request) always finds either the old or the new file, never none.
WriteResult ReplaceFile(const std::string& target, std::string_view content);

// ---- Alias paths ----

struct Alias {
    std::string path;    // URL path, "/docs/" or "/docs"
    std::string folder;  // real folder (POSIX path)
};

// The server's URL space as the access checks see it: the document root is the real folder of
// the empty alias path, then the aliases. The page route "/qm" is one more alias whose folder
// is the installation's html/ ("/qm/en" is html/en), so the management pages are closed with
// the same files as any folder.
struct AliasMap {
    std::string serverRoot;
    std::vector<Alias> aliases;  // PathAlias entries, then ExecAlias entries, then "/qm"
};

// Removes trailing "/" ("" for "/").
std::string NormaliseAliasPath(std::string_view path);

// The real folder of an alias path: "" → the document root; otherwise the alias whose path is
// the longest prefix of it at a "/" boundary (compared with case, as the server routes), with
// the rest appended. Refused (nullopt) when the rest has an empty, ".", ".." or hidden segment
// or a backslash, or when the folder (symbolic links resolved) lies outside the alias's folder.
std::optional<std::string> RealFolder(const AliasMap& map, std::string_view aliasPath);

// Cuts an alias path at its last "/" ("" when there is none).
std::string ParentAliasPath(std::string_view aliasPath);

struct Found {
    std::string aliasPath;  // where the file was found ("" for the document root)
    std::string file;       // its full path
};

// The nearest file named `fileName` up the alias path: its folder first, then each parent,
// up to the document root. nullopt when there is none (or `fileName` is empty).
std::optional<Found> FindNearest(const AliasMap& map, std::string_view aliasPath,
                                 std::string_view fileName);

// True when `path` is `base` or a path below it (by its text) and no symbolic link on the way
// leads out of `base`.
bool IsInside(const std::string& base, const std::string& path);

}  // namespace qm::access
