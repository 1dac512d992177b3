// The Authorization page: the server's folders by alias path with the authorization and IP
// access files that govern each, the editors of those files, and their save handlers.
//
// Every file these handlers read or write is named from form values, so each path is checked
// first: an access file must carry the configured name and lie in one of the server's folders
// (document root, alias folders, the page templates), a password file must be a bare name in
// the password folder. Anything else is refused with the page's ERROR line.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <thread>

#include "admin.h"
#include "qm/cgi/coding.h"
#include "qm/platform/paths.h"

namespace qm::admin {

namespace {

using access::AliasMap;

constexpr const char* kAuthError = "ERROR: Cannot write the authorization file.<br><hr>";
constexpr const char* kIpError = "ERROR: Cannot write the IP access file.<br><hr>";
constexpr const char* kInvalid = "ERROR: Invalid Data.<br><hr>";

std::string BaseName(const std::string& p) {
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string Folder(const std::string& p) {
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

bool HasControl(std::string_view s) {
    return std::any_of(s.begin(), s.end(), [](char ch) {
        return static_cast<unsigned char>(ch) < 0x20 || ch == 0x7F;
    });
}

// An access file named by a form: the configured name, in a folder the server serves from.
bool ConfinedAccessFile(const HttpdConfig& cfg, const std::string& path, const char* setting) {
    std::string name = cfg.Value(setting);
    // The configured names are hidden files (".qmauth"); they must still be plain names.
    if (name.empty() || name == "." || name == ".." || name.find('/') != std::string::npos ||
        HasControl(name) || path.empty() || path[0] != '/' ||
        BaseName(path) != name) {
        return false;
    }
    std::string folder = Folder(path);
    AliasMap map = cfg.AliasMap();
    if (access::IsInside(map.serverRoot, folder)) return true;
    return std::any_of(map.aliases.begin(), map.aliases.end(),
                       [&](const access::Alias& a) { return access::IsInside(a.folder, folder); });
}

// "" when the configured folder would leave the document root.
std::string PasswordFolder(const HttpdConfig& cfg) {
    auto folder = access::PasswordFolder(platform::ToPosixPath(cfg.Value("ServerRoot")),
                                         platform::ToPosixPath(cfg.Value("AuthorizationPasswordDirectory")));
    return folder ? *folder : std::string();
}

// The password file of a bare name; "" when the name is not one or the folder is refused.
std::string PasswordFile(const HttpdConfig& cfg, const std::string& name) {
    std::string folder = PasswordFolder(cfg);
    if (!access::IsBareFileName(name) || folder.empty()) return {};
    return folder + "/" + name;
}

std::vector<std::string> PasswordFiles(const HttpdConfig& cfg) {
    std::vector<std::string> names;
    std::string folder = PasswordFolder(cfg);
    DIR* d = folder.empty() ? nullptr : opendir(folder.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        if (access::IsBareFileName(e->d_name)) names.emplace_back(e->d_name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

bool Exists(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0;
}

std::string Enc(std::string_view s) { return cgi::UrlEncode(s); }

void Row(Context& c, const std::string& aliasPath, const std::string& cell) {
    const auto& cfg = c.config;
    AliasMap map = cfg.AliasMap();
    std::string self = access::NormaliseAliasPath(aliasPath);
    std::string editBase = "<a href=\"nph-QMHTTPD.exe?Authorization&dir=" + Enc(aliasPath);
    c.out.Line("<tr><td bgcolor=\"#e0e0e0\">");
    c.out.Line(cell);
    c.out.Line("</td><td>");

    auto auth = access::FindNearest(map, aliasPath, cfg.Value("ReadAccessAuthorization"));
    if (auth) {
        access::AuthFile a;
        access::ReadAuthFile(auth->file, &a);
        bool own = auth->aliasPath == self;
        c.out.Line(own ? "<b>" + Html(a.realm) + "</b>" : Html(a.realm));
        c.out.Line("</td><td>");
        c.out.Line(own ? editBase + "&AuthFile=" + Enc(auth->file) + "\">Edit</a>"
                       : editBase + "&AuthFile=New\">New</a>");
    } else {
        c.out.Line("</td><td>");
        c.out.Line(editBase + "&AuthFile=New\">New</a>");
    }
    c.out.Line("</td><td>");

    auto ip = access::FindNearest(map, aliasPath, cfg.Value("ReadAccessIP"));
    if (ip) {
        bool own = ip->aliasPath == self;
        std::string where = ip->aliasPath.empty() ? "ServerRoot" : Html(ip->aliasPath);
        c.out.Line(own ? "<b>" + where + "</b>" : where);
        c.out.Line("</td><td>");
        c.out.Line(own ? editBase + "&IPFile=" + Enc(ip->file) + "\">Edit"
                       : editBase + "&IPFile=New\">New");
    } else {
        c.out.Line("</td><td>");
        c.out.Line(editBase + "&IPFile=New\">New");
    }
    c.out.Line("</a>");
    c.out.Line("</td></tr>");
}

void InLines(Context& c, const std::string& dir, const std::string& folder) {
    c.out.Line("In " + (dir.empty() ? std::string("ServerRoot") : Html(dir)));
    c.out.Line(" (<a href=\"nph-QMHTTPD.exe?Aliases&dir=" + Enc(folder) + "\">" + Html(folder) +
               "</a>)<p></p>");
}

void PasswordSelect(Context& c) {
    c.out.Line("<tr><td>Select</td><td><select name=\"AuthUserFileList\">");
    c.out.Line("<option selected>Not Selected");
    for (const auto& n : PasswordFiles(c.config)) c.out.Line("<option>" + Html(n));
    c.out.Line("</select></td></tr>");
}

void UserRow(Context& c, size_t i, const std::string* name) {
    std::string n = std::to_string(i);
    std::string value = name ? " value=\"" + Html(*name) + "\"" : "";
    c.out.Line("<tr><td><input type=\"text\" name=\"user" + n + "\"" + value +
               "></td><td><input type=\"password\" name=\"password" + n +
               "\"></td><td><input type=\"password\" name=\"retype" + n + "\"></td></tr>");
}

void AuthEditor(Context& c, const std::string& dir, const std::string& folder) {
    const auto& cfg = c.config;
    std::string target = folder + "/" + cfg.Value("ReadAccessAuthorization");
    std::string given = c.Form("AuthFile");
    if (given != "New" && given != target) {
        c.out.Line(kInvalid);
        return;
    }
    bool isNew = given == "New" || !Exists(target);
    c.out.Line("<hr>");
    c.out.Line("<h3>Edit Authorization File:</h3>");
    std::string query = "Authorization&dir=" + Enc(dir) + "&AuthFile=" + Enc(target);
    FormOpening(c, query);
    HiddenMode(c, "Authorization");
    c.out.Line("<input type=\"hidden\" name=\"QueryString\" value=\"" + Html(query) + "\">");
    InLines(c, dir, folder);
    c.out.Line("<input type=\"hidden\" name=\"AuthFile\" value=\"" + Html(target) + "\">");
    access::AuthFile a;
    std::vector<access::User> users;
    if (!isNew) {
        access::ReadAuthFile(target, &a);
        std::string pw = PasswordFile(cfg, a.userFile);
        if (!pw.empty()) access::ReadPasswordFile(pw, &users);
    }
    c.out.Line("<table border=0>");
    if (isNew) {
        c.out.Line("<tr><td>AuthType:</td><td>Basic"
                   "<input type=\"hidden\" name=\"AuthType\" value=\"Basic\"></td></tr>");
        c.out.Line("<tr><td>Realm:</td><td><input type=\"text\" name=\"Realm\"></td></tr>");
    } else {
        c.out.Line("<tr><td>AuthType:</td><td>" + Html(a.type) +
                   "<input type=\"hidden\" name=\"AuthType\" value=\"" + Html(a.type) + "\"></td></tr>");
        c.out.Line("<tr><td>Realm:</td><td><input type=\"text\" name=\"Realm\" value=\"" +
                   Html(a.realm) + "\"></td></tr>");
    }
    c.out.Line("<tr><td>Password file:</td><td><table border=0>");
    if (isNew) {
        c.out.Line("<tr><td>New</td><td><input type=\"text\" name=\"AuthUserFile\"></td></tr>");
    } else {
        c.out.Line("<tr><td>Current</td><td><input type=\"text\" name=\"AuthUserFile\" value=\"" +
                   Html(a.userFile) + "\"></td></tr>");
    }
    PasswordSelect(c);
    c.out.Line("</table></td></tr>");
    c.out.Line("</table>");
    c.out.Line("<h3>Edit Authorization Password File:</h3>");
    c.out.Line("<table border=0>");
    c.out.Line("<tr><th>Username</th><th>Password</th><th>Retype</th></tr>");
    for (size_t i = 0; i < users.size(); ++i) UserRow(c, i, &users[i].name);
    UserRow(c, users.size(), nullptr);
    c.out.Line("</table>");
    c.out.Line("<input type=\"submit\" value=\"Modify!\">");
    c.out.Line("<p></p>");
    if (!isNew) {
        c.out.Line("<h3>Delete Authorization file:</h3>");
        c.out.Line("<table border=0><tr><td>");
        c.out.Line("<input type=\"submit\" value=\"Delete\"> ");
        c.out.Line("<input type=\"checkbox\" name=\"delete\">Authorization File<br>");
        c.out.Line("<input type=\"checkbox\" name=\"deletepassword\">Authorization Password File");
        c.out.Line("</td></tr></table>");
    }
    c.out.Line("</form>");
}

void IpEditor(Context& c, const std::string& dir, const std::string& folder) {
    const auto& cfg = c.config;
    std::string target = folder + "/" + cfg.Value("ReadAccessIP");
    std::string given = c.Form("IPFile");
    if (given != "New" && given != target) {
        c.out.Line(kInvalid);
        return;
    }
    bool isNew = given == "New";
    access::IpList list;
    if (!isNew) list.Read(target);
    c.out.Line("<hr>");
    c.out.Line("<h3>Edit IP Access Permission File:</h3>");
    std::string query = "Authorization&dir=" + Enc(dir) + "&IPFile=" + Enc(target);
    FormOpening(c, query);
    InLines(c, dir, folder);
    HiddenMode(c, "Authorization");
    c.out.Line("<input type=\"hidden\" name=\"QueryString\" value=\"" + Html(query) + "\">");
    c.out.Line("<input type=\"hidden\" name=\"IPFile\" value=\"" + Html(target) + "\">");
    for (const char* line :
         {"Input IP address<br>", "<input type=\"text\" name=\"one\">",
          "<input type=\"submit\" value=\"Add\">", "<p></p>", "Input IP address range<br>",
          "<input type=\"text\" name=\"from\">", " - ", "<input type=\"text\" name=\"to\">",
          "<input type=\"submit\" value=\"Add\">", "<p></p>", "Remove Address</br>",
          "<select multiple name=\"remove\" size=\"10\">", "<option selected>Not Selected",
          "<option>Remove all"}) {
        c.out.Line(line);
    }
    for (const auto& e : list.entries()) c.out.Line("<option>" + e.Text());
    c.out.Line("</select>");
    c.out.Line("<input type=\"submit\" value=\"Remove\">");
    c.out.Line("<p></p>");
    if (!isNew) {
        c.out.Line("<h3>Delete IP Access Permission File:</h3>");
        c.out.Line("<input type=\"submit\" value=\"Delete\"><input type=\"checkbox\" "
                   "name=\"delete\">IP Access Permission File<p></p>");
    }
    c.out.Line("</form>");
}

bool Write(Context& c, const std::string& path, const std::string& content, const char* openError) {
    access::WriteResult r = access::ReplaceFile(path, content);
    if (r == access::WriteResult::kOpenFailed) c.out.Line(openError);
    return r == access::WriteResult::kOk;
}

void SaveAuthFile(Context& c) {
    const auto& cfg = c.config;
    std::string file = c.Form("AuthFile");
    if (!ConfinedAccessFile(cfg, file, "ReadAccessAuthorization")) {
        c.out.Line(kAuthError);
        return;
    }
    access::AuthFile a;
    access::ReadAuthFile(file, &a);
    std::vector<access::User> old, fresh;
    if (std::string pw = PasswordFile(cfg, a.userFile); !pw.empty()) {
        access::ReadPasswordFile(pw, &old);
    }
    const auto& names = c.request.Names();
    const auto& values = c.request.Values();
    bool valid = true;
    for (size_t i = 0; i < names.size(); ++i) {
        const std::string& n = names[i];
        if (cgi::EqualsNoCase(n, "AuthType")) a.type = values[i];
        else if (cgi::EqualsNoCase(n, "Realm")) a.realm = values[i];
        else if (cgi::EqualsNoCase(n, "AuthUserFile")) a.userFile = values[i];
        else if (n.size() >= 4 && cgi::EqualsNoCase(n.substr(0, 4), "user")) {
            const std::string& user = values[i];
            if (user.empty()) continue;  // a cleared name deletes the user
            std::string num = n.substr(4);
            std::string p = c.Form("password" + num), q = c.Form("retype" + num);
            if (user.find(':') != std::string::npos || HasControl(user) || HasControl(p)) {
                valid = false;
                continue;
            }
            if (access::FindUser(fresh, user) || fresh.size() >= access::kMaxUsers) continue;
            bool change = p == q && !p.empty();
            if (const access::User* was = access::FindUser(old, user)) {
                fresh.push_back({was->name, change ? p : was->password});
            } else if (change) {
                fresh.push_back({user, p});
            }
        }
    }
    if (HasControl(a.type) || HasControl(a.realm) || HasControl(a.userFile)) valid = false;

    if (c.Has("delete")) {
        std::string pw = PasswordFile(cfg, a.userFile);
        if (c.Has("deletepassword")) {
            ::unlink(file.c_str());
            if (!pw.empty()) ::unlink(pw.c_str());
            c.out.Line("The ReadAccessAuthorization file and the AuthUserFile were deleted "
                       "successfully.<p></p>");
        } else {
            ::unlink(file.c_str());
            c.out.Line("The ReadAccessAuthorization file is deleted successfully.<p></p>");
        }
        return;
    }
    if (!valid) {
        c.out.Line(kAuthError);
        return;
    }
    if (a.type.empty() || a.realm.empty()) return;
    std::string selected = c.Form("AuthUserFileList");
    if (!selected.empty() && selected != "Not Selected") {
        if (PasswordFile(cfg, selected).empty()) {
            c.out.Line(kAuthError);
            return;
        }
        a.userFile = selected;
        bool ok = Write(c, file, access::FormatAuthFile(a), "HTTPd authorization file open error!!");
        c.out.Line(ok ? "The ReadAccessAuthorization is modified successfully.<p></p>" : kAuthError);
        return;
    }
    if (a.userFile.empty()) return;
    std::string pw = PasswordFile(cfg, a.userFile);
    if (pw.empty()) {
        c.out.Line(kAuthError);
        return;
    }
    if (!Write(c, file, access::FormatAuthFile(a), "HTTPd authorization file open error!!")) {
        c.out.Line(kAuthError);
        return;
    }
    c.out.Line("The ReadAccessAuthorization is modified successfully.<p></p>");
    platform::MakeDirectories(PasswordFolder(cfg));
    if (!Write(c, pw, access::FormatPasswordFile(fresh), "HTTPd authorization file open error!!")) {
        c.out.Line(kAuthError);
        return;
    }
    c.out.Line("The AuthUserFile is modified successfully.<p></p>");
}

void SaveIpFile(Context& c) {
    std::string file = c.Form("IPFile");
    if (!ConfinedAccessFile(c.config, file, "ReadAccessIP")) {
        c.out.Line(kIpError);
        return;
    }
    access::IpList list;
    list.Read(file);
    access::IpAddress a;
    if (access::ParseIpAddress(c.Form("one"), &a)) list.Insert(a);
    access::IpAddress from, to;
    if (access::ParseIpAddress(c.Form("from"), &from) && access::ParseIpAddress(c.Form("to"), &to) &&
        from.IsPlain() && to.IsPlain() && from.part[0] == to.part[0] &&
        from.part[1] == to.part[1] && from.part[2] == to.part[2] && to.part[3] >= from.part[3]) {
        for (int last = from.part[3]; last <= to.part[3]; ++last) {
            access::IpAddress e = from;
            e.part[3] = last;
            list.Insert(e);
        }
    }
    const auto& names = c.request.Names();
    const auto& values = c.request.Values();
    for (size_t i = 0; i < names.size(); ++i) {
        if (!cgi::EqualsNoCase(names[i], "remove")) continue;
        access::IpAddress r;
        if (access::ParseIpAddress(values[i], &r)) list.Remove(r);
        else if (cgi::EqualsNoCase(values[i], "remove all")) list.Clear();
    }
    if (c.Has("delete")) {
        ::unlink(file.c_str());
        c.out.Line("The ReadAccessIP file is deleted successfully.<p></p>");
        return;
    }
    bool ok = Write(c, file, list.Format(), "HTTPd IP Access file open error!!");
    c.out.Line(ok ? "The ReadAccessIP file is modified successfully.<p></p>" : kIpError);
}

}  // namespace

void AuthorizationPage(Context& c) {
    const auto& cfg = c.config;
    AliasMap map = cfg.AliasMap();
    c.out.Line("<h2>Authorization:</h2>");
    c.out.Line("<h3>Server Dirctory:</h3>");
    c.out.Line("<table border=0>");
    c.out.Line("<tr><th>Directory</th><th>Auth Realm</th><th>Auth Info</th><th>IP Realm</th>"
               "<th>IP Info</th></tr>");
    Row(c, "", "<b>ServerRoot</b>");

    std::vector<std::string> roots;
    for (const auto& a : map.aliases) roots.push_back(a.path);
    auto list = [&map](const std::string& aliasPath) -> std::vector<std::string> {
        auto folder = access::RealFolder(map, aliasPath);
        if (!folder) return {};
        // Links are confined to the folder of the alias the path lies under.
        std::string confine = *folder;
        for (const auto& a : map.aliases) {
            std::string ap = access::NormaliseAliasPath(a.path);
            std::string p = access::NormaliseAliasPath(aliasPath);
            if (p == ap || p.compare(0, ap.size() + 1, ap + "/") == 0) confine = a.folder;
        }
        return ListFolders(*folder, confine);
    };
    std::string dir = c.Form("dir");
    for (const auto& row : BuildTree(roots, dir, '/', list)) {
        Row(c, row.path, TreeCell(row, c.FirstName(), '/'));
    }
    c.out.Line("</table>");

    if (c.Has("dir") && (c.Has("AuthFile") || c.Has("IPFile"))) {
        auto folder = access::RealFolder(map, dir);
        if (!folder) {
            c.out.Line(kInvalid);
        } else if (c.Has("AuthFile")) {
            AuthEditor(c, dir, *folder);
        } else {
            IpEditor(c, dir, *folder);
        }
    } else {
        c.out.Line("<br>");
    }
}

void AuthorizationSave(Context& c) {
    c.out.Line("<h2>Authorization Save:</h2>");
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    if (c.Has("AuthFile")) SaveAuthFile(c);
    else if (c.Has("IPFile")) SaveIpFile(c);
    BackLink(c);
}

}  // namespace qm::admin
