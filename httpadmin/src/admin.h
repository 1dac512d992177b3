// nph-QMHTTPD, the HTTP server's administration CGI: one request, one response. It loads the
// server's settings from the registry, checks the caller, then shows a page (GET) or applies a
// change and reports it (POST). Everything is written as non-parsed-header output, line by
// line.
#pragma once

#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "qm/access/access_files.h"
#include "qm/cgi/cgi_request.h"
#include "qm/cgi/coding.h"
#include "qm/platform/registry.h"

namespace qm::admin {

inline constexpr const char* kHttpdKey = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Httpd";
inline constexpr const char* kProgram = "nph-QMHTTPD.exe";
inline constexpr size_t kMaxListPairs = 128;

// Where the response goes: one call per line (the line end is added), flushed at once.
class Page {
public:
    using Sink = std::function<void(std::string_view)>;
    explicit Page(Sink sink) : sink_(std::move(sink)) {}
    void Line(std::string_view text);

private:
    Sink sink_;
};

// Text and attribute values that come from requests, the registry or the file system are
// written through this, so that none of them can become markup.
inline std::string Html(std::string_view text) { return cgi::HtmlEscape(text); }

using Pair = platform::RegPair;

struct ConfigEntry {
    const char* name;
    std::string value;
    bool editable;
};

// The server's settings as the pages edit them: 19 scalar values in a fixed order and the
// ";"-lists of aliases, MIME types and registered referring pages.
class HttpdConfig {
public:
    HttpdConfig();
    // Reads every value; false (after writing the error line) when the key cannot be opened.
    bool Load(Page& out);
    // Writes every value back; false (after writing the error line) when it cannot.
    bool Save(Page& out);

    // The value of a table entry (any case), or nullptr when the name is not in the table.
    const char* Value(std::string_view name) const;
    bool Set(std::string_view name, std::string value);
    std::vector<ConfigEntry>& entries() { return entries_; }
    bool loaded() const { return loaded_; }

    std::vector<Pair> pathAlias, execAlias, extType, execExtType;
    std::vector<std::string> referers;
    std::string specialCgiPort;  // SpecialCgiPort when stored, else Port

    // The URL space for the access files: document root, aliases, and the page route.
    access::AliasMap AliasMap() const;
    // The folders the tree may list: the document root and the alias folders that exist.
    std::vector<std::string> TreeRoots() const;

private:
    std::vector<ConfigEntry> entries_;
    bool loaded_ = false;
};

// ";"-lists: ";a1;b1;a2;b2;" (empty fields skipped on reading).
using platform::RegJoinList;
using platform::RegJoinPairs;
using platform::RegSplitList;
using platform::RegSplitPairs;

// One request in progress.
struct Context {
    cgi::CgiRequest& request;
    Page& out;
    HttpdConfig config;
    std::string QueryString() const { return request.Env(cgi::CgiVar::kQueryString); }
    // The value of a form pair, "" when absent.
    std::string Form(std::string_view name) const;
    bool Has(std::string_view name) const { return request.GetValue(name) != nullptr; }
    // The first decoded name of the request (the page being shown), "" when none.
    std::string FirstName() const;
};

// Runs one request: the whole response is written to `out`. The body comes from standard
// input unless `body` is given.
void Run(cgi::CgiRequest& request, Page& out, const cgi::BodyReader& body = {});

// Access to the program itself.
enum class Access { kAllow, kRefuse, kOfferRegistration };
Access CheckAccess(const cgi::CgiRequest& request, const HttpdConfig& config);
// The referer cut at its first "," and then its first "?".
std::string CutReferer(std::string_view referer);
bool IsLoopback(std::string_view remoteAddr);

// Shared page pieces.
void FormOpening(Context& c, std::string_view query, bool confirm = true);
void HiddenMode(Context& c, std::string_view mode);
void HiddenQueryString(Context& c);
// The opening of a form that saves: the form, its mode and submode, and the query string.
void SaveForm(Context& c, std::string_view mode, std::string_view submode,
              std::string_view query = "", bool confirm = true);
// The end of a form: its table (when `table`), its submit button, and a rule (when `rule`).
void EndForm(Context& c, std::string_view submit, bool table = false, bool rule = false);
void ReportSave(Context& c, bool ok);
void BackLink(Context& c);

// Pages (kind 2) and save handlers (kind 1).
void BasePage(Context& c);
void BaseSave(Context& c);
void ExtTypePage(Context& c, bool exec);
void ExtTypeSave(Context& c, bool exec);
void SpecialPage(Context& c);
void SpecialSave(Context& c);
void RefererSave(Context& c);
void ControlPage(Context& c);
void ControlSave(Context& c);
void AliasesPage(Context& c);
void AliasesSave(Context& c);
void AuthorizationPage(Context& c);
void AuthorizationSave(Context& c);

// The directory tree of the Aliases page: one row per shown folder.
struct TreeRow {
    std::string name;      // shown name (a root's full path, else the folder's name)
    std::string path;      // full path
    std::string parent;    // full path of the parent ("" for a root)
    int depth = 0;         // components below the root
    bool expanded = false;
};
std::vector<TreeRow> BuildTree(const std::vector<std::string>& roots, std::string_view dir,
                               char separator,
                               const std::function<std::vector<std::string>(const std::string&)>& list);
// Subfolders of a real folder: names sorted by byte value, without hidden ones; symbolic links
// that lead out of `confine` are left out.
std::vector<std::string> ListFolders(const std::string& folder, const std::string& confine);
std::string TreeCell(const TreeRow& row, std::string_view page, char separator);

}  // namespace qm::admin
