// The Aliases page: the directory tree of the server's folders and the alias lists.
//
// Here the "drives" at the top of the tree are the server's own roots (the document root and
// the alias folders): the pages let an administrator name folders the server already serves
// from, never browse the whole machine. Real folders are absolute POSIX paths.
#include <dirent.h>
#include <strings.h>
#include <sys/stat.h>

#include <algorithm>

#include "admin.h"
#include "qm/cgi/coding.h"
#include "qm/platform/paths.h"

namespace qm::admin {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && strncasecmp(text.data(), prefix.data(), prefix.size()) == 0;
}

// Whether `name` leads the remaining `dir` text at a separator boundary; `rest` gets what
// follows the name and one separator.
bool OnPath(std::string_view remaining, std::string_view name, char sep, std::string* rest) {
    if (remaining.empty() || name.empty() || !StartsWithNoCase(remaining, name)) return false;
    std::string_view after = remaining.substr(name.size());
    if (!after.empty() && name.back() != sep && after[0] != sep) return false;
    if (!after.empty() && after[0] == sep) after.remove_prefix(1);
    *rest = std::string(after);
    return true;
}

std::string Join(const std::string& parent, const std::string& name, char sep) {
    if (!parent.empty() && parent.back() == sep) return parent + name;
    return parent + sep + name;
}

void Walk(const std::vector<std::string>& names, const std::vector<std::string>& paths,
          const std::string& parent, std::string_view remaining, int depth, char sep,
          const std::function<std::vector<std::string>(const std::string&)>& list,
          std::vector<TreeRow>* rows) {
    for (size_t i = 0; i < names.size(); ++i) {
        std::string rest;
        bool onPath = OnPath(remaining, names[i], sep, &rest);
        // Below the top, only the folders on the way to `dir` are shown, unless the way ends
        // at this level.
        if (depth > 0 && !remaining.empty() && !onPath) continue;
        rows->push_back({names[i], paths[i], parent, depth, onPath});
        if (!onPath || depth > 64) continue;
        std::vector<std::string> childNames = list(paths[i]);
        std::vector<std::string> childPaths;
        for (const auto& n : childNames) childPaths.push_back(Join(paths[i], n, sep));
        Walk(childNames, childPaths, paths[i], rest, depth + 1, sep, list, rows);
    }
}

bool IsRealFolderPath(std::string_view s) { return !s.empty() && s[0] == '/'; }
bool IsAliasText(std::string_view s) { return s.find('/') != std::string_view::npos; }
bool ListSafe(std::string_view s) { return s.find(';') == std::string_view::npos; }

// A real folder may be given an alias when it is one of the server's roots or lies below one.
bool InsideRoots(const std::vector<std::string>& roots, const std::string& folder) {
    return std::any_of(roots.begin(), roots.end(),
                       [&](const std::string& r) { return access::IsInside(r, folder); });
}

void SetAlias(std::vector<Pair>& list, const std::string& folder, const std::string& alias) {
    for (auto& p : list) {
        if (cgi::EqualsNoCase(p.second, folder)) {
            p.first = alias;
            return;
        }
    }
    if (list.size() < kMaxListPairs) list.push_back({alias, folder});
}

void RemoveFolder(std::vector<Pair>& list, const std::string& folder) {
    std::erase_if(list, [&](const Pair& p) { return cgi::EqualsNoCase(p.second, folder); });
}

const Pair* FindFolder(const std::vector<Pair>& list, const std::string& folder) {
    for (const auto& p : list) {
        if (cgi::EqualsNoCase(p.second, folder)) return &p;
    }
    return nullptr;
}

}  // namespace

std::vector<TreeRow> BuildTree(
    const std::vector<std::string>& roots, std::string_view dir, char separator,
    const std::function<std::vector<std::string>(const std::string&)>& list) {
    std::vector<TreeRow> rows;
    Walk(roots, roots, "", dir, 0, separator, list, &rows);
    return rows;
}

std::vector<std::string> ListFolders(const std::string& folder, const std::string& confine) {
    std::vector<std::string> names;
    DIR* d = opendir(folder.c_str());
    if (!d) return names;
    while (dirent* e = readdir(d)) {
        std::string name = e->d_name;
        // Hidden folders hold the access and password files; they are never aliased.
        if (name.empty() || name[0] == '.') continue;
        std::string full = folder + "/" + name;
        struct stat st {};
        if (::stat(full.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) continue;
        struct stat lst {};
        if (::lstat(full.c_str(), &lst) == 0 && S_ISLNK(lst.st_mode) &&
            !access::IsInside(confine, full)) {
            continue;  // a link that leads out of the server's folders
        }
        names.push_back(name);
    }
    closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

std::string TreeCell(const TreeRow& row, std::string_view page, char /*separator*/) {
    std::string cell;
    for (int i = 0; i < row.depth; ++i) cell += ". . . .\n";
    std::string link = "<a href=\"nph-QMHTTPD.exe?" + cgi::UrlEncode(page);
    if (!row.expanded) {
        cell += "+" + link + "&dir=" + cgi::UrlEncode(row.path) + "\">" + Html(row.name) + "</a>";
    } else if (row.parent.empty()) {
        cell += "-" + link + "\">" + Html(row.name) + "</a>";
    } else {
        cell += "-" + link + "&dir=" + cgi::UrlEncode(row.parent) + "\">" + Html(row.name) + "</a>";
    }
    return cell;
}

void AliasesPage(Context& c) {
    auto& cfg = c.config;
    std::vector<std::string> roots = cfg.TreeRoots();
    auto rootOf = [&roots](const std::string& path) {
        std::string best;
        for (const auto& r : roots) {
            if ((path == r || path.compare(0, r.size() + 1, r + "/") == 0) && r.size() > best.size()) {
                best = r;
            }
        }
        return best;
    };
    auto list = [&](const std::string& path) { return ListFolders(path, rootOf(path)); };

    c.out.Line("<h2>Aliases:</h2>");
    c.out.Line("<h3>Edit Aliases in System Dirctory:</h3>");
    SaveForm(c, "Aliases", "MergeAliases", c.QueryString());
    c.out.Line("<table border=0>");
    c.out.Line("<tr><th>Directory</th><th>Alias</th><th>Exec</th></tr>");
    for (const auto& row : BuildTree(roots, c.Form("dir"), '/', list)) {
        c.out.Line("<tr><td bgcolor=\"#e0e0e0\">");
        c.out.Line(TreeCell(row, c.FirstName(), '/'));
        c.out.Line("</td><td>");
        std::string input = "<input type=\"text\" name=\"" + Html(row.path);
        const Pair* exec = FindFolder(cfg.execAlias, row.path);
        const Pair* plain = FindFolder(cfg.pathAlias, row.path);
        if (plain || exec) input += "\" value=\"" + Html((plain ? plain : exec)->first);
        c.out.Line(input + "\">");
        c.out.Line("</td><td>");
        c.out.Line("<input type=\"checkbox\" name=\"Exec" + Html(row.path) +
                   (exec ? "\" checked>" : "\">"));
        c.out.Line("</td></tr>");
    }
    EndForm(c, "Merge!", true, true);

    SaveForm(c, "Aliases", "ModifyAliases");
    c.out.Line("<h3>Edit Aliases List:</h3>");
    c.out.Line("<table border=0>");
    c.out.Line("<tr><th>Alias path</th><th>Real path</th><th>Exec</th></tr>");
    size_t i = 0;
    for (const auto* list : {&cfg.pathAlias, &cfg.execAlias}) {
        bool isExec = list == &cfg.execAlias;
        for (const auto& p : *list) {
            std::string n = std::to_string(i++);
            c.out.Line("<tr><td><input type=\"text\" name=\"key" + n + "\" value=\"" + Html(p.first) +
                       "\"></td>");
            c.out.Line("<td><input type=\"hidden\" name=\"value" + n + "\" value=\"" +
                       Html(p.second) + "\"><a href=\"nph-QMHTTPD.exe?Aliases&dir=" +
                       cgi::UrlEncode(p.second) + "\">" + Html(p.second) + "</a></td>");
            c.out.Line("<td><input type=\"checkbox\" name=\"Exec" + n + "\"" +
                       (isExec ? " checked" : "") + "></td></tr>");
        }
    }
    EndForm(c, "Modify!", true);
}

void AliasesSave(Context& c) {
    c.out.Line("<h2>Aliases Save:</h2>");
    auto& cfg = c.config;
    std::vector<std::string> roots = cfg.TreeRoots();
    const auto& names = c.request.Names();
    const auto& values = c.request.Values();
    std::string submode = c.Form("submode");
    bool valid = true;
    if (submode == "MergeAliases") {
        for (size_t i = 0; i < names.size(); ++i) {
            const std::string& folder = names[i];
            if (!IsRealFolderPath(folder)) continue;
            if (!IsAliasText(values[i])) {
                RemoveFolder(cfg.pathAlias, folder);
                RemoveFolder(cfg.execAlias, folder);
                continue;
            }
            if (!ListSafe(folder) || !ListSafe(values[i]) || !InsideRoots(roots, folder)) {
                valid = false;
                break;
            }
            bool exec = c.Has("Exec" + folder);
            SetAlias(exec ? cfg.execAlias : cfg.pathAlias, folder, values[i]);
            RemoveFolder(exec ? cfg.pathAlias : cfg.execAlias, folder);
        }
    } else if (submode == "ModifyAliases") {
        std::vector<Pair> plain, exec;
        for (size_t i = 0; i < names.size(); ++i) {
            if (names[i] == "mode") continue;
            size_t k = names[i].find("key");
            if (k == std::string::npos) continue;
            std::string n = names[i].substr(k + 3);
            const std::string& alias = values[i];
            std::string folder = c.Form("value" + n);
            if (!IsRealFolderPath(folder) || !IsAliasText(alias)) continue;  // a deleted row
            bool known = FindFolder(cfg.pathAlias, folder) || FindFolder(cfg.execAlias, folder);
            if (!ListSafe(folder) || !ListSafe(alias) || (!known && !InsideRoots(roots, folder))) {
                valid = false;
                break;
            }
            auto& target = c.Has("Exec" + n) ? exec : plain;
            if (target.size() < kMaxListPairs) target.push_back({alias, folder});
        }
        if (valid) {
            cfg.pathAlias = std::move(plain);
            cfg.execAlias = std::move(exec);
        }
    }
    if (!valid) c.out.Line("ERROR: Invalid Data.<br><hr>");
    else ReportSave(c, cfg.Save(c.out));
    BackLink(c);
}

}  // namespace qm::admin
