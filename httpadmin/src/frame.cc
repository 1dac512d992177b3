// One request: configuration, access check, the page frame and the dispatch to a page or a
// save handler.
#include <cstring>

#include "admin.h"
#include "qm/cgi/coding.h"

namespace qm::admin {

using cgi::CgiVar;

namespace {

constexpr const char* kTitle = "<title>OvrelNet HTTP Server Management</title>";
constexpr const char* kBody = "<body bgcolor=\"#CBB8BD\">";
constexpr const char* kHeading = "<h1>OvrelNet HTTP Server Management</h1>";

void Navigation(Page& out) {
    out.Line("<a href=\"nph-QMHTTPD.exe?Control\">[Control]</a>");
    out.Line(
        " [<a href=\"nph-QMHTTPD.exe\">Base</a> "
        "<a href=\"nph-QMHTTPD.exe?ExtType\">ExtType</a> "
        "<a href=\"nph-QMHTTPD.exe?ExecExtType\">ExecExtType</a> "
        "<a href=\"nph-QMHTTPD.exe?Aliases\">Aliases</a> "
        "<a href=\"nph-QMHTTPD.exe?Authorization\">Authorization</a>] "
        "<a href=\"nph-QMHTTPD.exe?Special\">[Special]</a>");
}

void FrameHead(Page& out) {
    for (const char* line :
         {"HTTP/1.0 200 OK", "Content-type: text/html", "Pragma: no-cache", "", "<head>", kTitle,
          "<script language=\"JavaScript\">", "function ConfirmSave(){",
          "return confirm(\"You are about to modify the configuration.\\nAre you sure?\");", "}",
          "</script>", "</head>", kBody, kHeading}) {
        out.Line(line);
    }
    Navigation(out);
    out.Line("<hr>");
}

void Refusal(Page& out) {
    for (const char* line :
         {"HTTP/1.0 401 Unauthorized", "Content-type: text/html",
          "WWW-Authenticate: Basic Realm=\"SpecialCgiScript\"", "", "<html><body>",
          "<h1>Forbidden to execute Server Configuration Script.</h1>",
          "Please input the authorization information.<br>", "</body></html>"}) {
        out.Line(line);
    }
}

void Registration(Page& out, const std::string& referer) {
    std::string r = Html(CutReferer(referer));
    for (const char* line : {"HTTP/1.0 200 OK", "Content-type: text/html", "", "<html><head>",
                             kTitle, "</head>", kBody, kHeading, "<hr>",
                             "<h2>Register Refererence Page:</h2>",
                             "This page is to register the current reference page.<br>",
                             "Once you register it, Server Configuration Script will not require "
                             "the authorization password.<br>"}) {
        out.Line(line);
    }
    out.Line("Do you want to register it, " + r + " ?<br>");
    out.Line("<form action=\"nph-QMHTTPD.exe\" method=\"POST\">");
    out.Line("<input type=\"hidden\" name=\"mode\" value=\"Referer\">");
    out.Line("<input type=\"hidden\" name=\"new\" value=\"" + r + "\">");
    out.Line("<input type=\"submit\" value=\"Register\"> After registering, go to Main menu.");
    out.Line("</form>");
    out.Line("<form action=\"nph-QMHTTPD.exe\" method=\"GET\">");
    out.Line("<input type=\"submit\" value=\"Not Register\"> Go to Main menu.");
    out.Line("</form>");
    out.Line("<p>");
    out.Line("If you want to check or edit the registerd pages, please go to Special menu.<br>");
    out.Line("</p>");
    out.Line("</body></html>");
}

}  // namespace

bool IsLoopback(std::string_view addr) {
    return addr.substr(0, 4) == "127." || addr == "::1" || addr.substr(0, 11) == "::ffff:127.";
}

std::string CutReferer(std::string_view referer) {
    referer = referer.substr(0, referer.find(','));
    referer = referer.substr(0, referer.find('?'));
    return std::string(referer);
}

Access CheckAccess(const cgi::CgiRequest& req, const HttpdConfig& config) {
    std::string_view referer = req.Env(CgiVar::kHttpReferer);
    // Anyone can send any Referer, so it only stands in for a password on the server's own
    // host; from elsewhere it is not looked at at all.
    bool local = IsLoopback(req.Env(CgiVar::kRemoteAddr));
    if (local && !referer.empty()) {
        std::string cut = CutReferer(referer);
        std::string own = std::string("http://") + req.Env(CgiVar::kHttpHost) +
                          req.Env(CgiVar::kScriptName);
        if (cgi::EqualsNoCase(cut, own)) return Access::kAllow;
        for (const auto& r : config.referers) {
            if (cgi::EqualsNoCase(cut, r)) return Access::kAllow;
        }
    }
    std::string_view auth = req.Env(CgiVar::kHttpAuthorization);
    if (auth.empty()) return Access::kRefuse;
    size_t space = auth.find(' ');
    std::string_view credentials = space == std::string_view::npos ? std::string_view()
                                                                   : auth.substr(space + 1);
    std::string decoded = cgi::Base64Decode(credentials);
    size_t colon = decoded.find(':');
    if (colon == std::string::npos || colon + 1 >= decoded.size()) return Access::kRefuse;
    // Without the settings there is no telling who may come in.
    if (!config.loaded()) return Access::kRefuse;
    std::string_view stored = config.Value("SpecialCgiPassword");
    if (stored.empty()) return Access::kAllow;
    if (!cgi::EqualsNoCase(stored, credentials)) return Access::kRefuse;
    return local && !referer.empty() ? Access::kOfferRegistration : Access::kAllow;
}

std::string Context::Form(std::string_view name) const {
    const char* v = request.GetValue(name);
    return v ? v : "";
}

std::string Context::FirstName() const {
    return request.PairCount() > 0 ? request.Names()[0] : std::string();
}

void FormOpening(Context& c, std::string_view query, bool confirm) {
    std::string line = "<form action=\"nph-QMHTTPD.exe";
    if (!query.empty()) line += "?" + Html(query);
    line += confirm ? "\" method=\"POST\" onSubmit=\"return ConfirmSave()\">" : "\" method=\"POST\">";
    c.out.Line(line);
}

void HiddenMode(Context& c, std::string_view mode) {
    c.out.Line("<input type=\"hidden\" name=\"mode\" value=\"" + std::string(mode) + "\">");
}

void HiddenQueryString(Context& c) {
    c.out.Line("<input type=\"hidden\" name=\"QueryString\" value=\"" + Html(c.QueryString()) +
               "\">");
}

void SaveForm(Context& c, std::string_view mode, std::string_view submode, std::string_view query,
              bool confirm) {
    FormOpening(c, query, confirm);
    HiddenMode(c, mode);
    c.out.Line("<input type=\"hidden\" name=\"submode\" value=\"" + std::string(submode) + "\">");
    HiddenQueryString(c);
}

void EndForm(Context& c, std::string_view submit, bool table, bool rule) {
    if (table) c.out.Line("</table>");
    c.out.Line("<input type=\"submit\" value=\"" + std::string(submit) + "\">");
    c.out.Line("</form>");
    if (rule) c.out.Line("<hr>");
}

void ReportSave(Context& c, bool ok) {
    c.out.Line(ok ? "The configuration of Http Server is modified successfully.<p></p>"
                  : "ERROR: Cannot write the configuration registry.<br><hr>");
}

void BackLink(Context& c) {
    c.out.Line("<a href=\"nph-QMHTTPD.exe?" + Html(c.Form("QueryString")) + "\">Back</a><p></p>");
}

void Run(cgi::CgiRequest& request, Page& out, const cgi::BodyReader& body) {
    Context c{request, out, {}};
    // A failed load is reported inside the page: the status line must come first.
    std::vector<std::string> loadErrors;
    Page collect([&loadErrors](std::string_view line) {
        loadErrors.emplace_back(line.substr(0, line.size() - 1));
    });
    c.config.Load(collect);

    switch (CheckAccess(request, c.config)) {
        case Access::kRefuse: return Refusal(out);
        case Access::kOfferRegistration:
            return Registration(out, request.Env(CgiVar::kHttpReferer));
        case Access::kAllow: break;
    }

    std::string_view method = request.Env(CgiVar::kRequestMethod);
    int kind = 0;
    if (cgi::EqualsNoCase(method, "post") && *request.Env(CgiVar::kContentLength) != '\0') {
        kind = 1;
    } else if (cgi::EqualsNoCase(method, "get") && *request.Env(CgiVar::kQueryString) != '\0') {
        kind = 2;
    }

    FrameHead(out);
    for (const auto& line : loadErrors) out.Line(line);
    if (kind == 0) {
        BasePage(c);
    } else {
        if (!(body ? request.ReadRequest(body) : request.ReadRequest())) {
            out.Line("ERROR: Cannot get the cgi data.<br><hr>");
            return;
        }
        if (kind == 1) {
            std::string mode = c.Form("mode");
            if (mode == "Base") BaseSave(c);
            else if (mode == "ExtType") ExtTypeSave(c, false);
            else if (mode == "ExecExtType") ExtTypeSave(c, true);
            else if (mode == "Aliases") AliasesSave(c);
            else if (mode == "Authorization") AuthorizationSave(c);
            else if (mode == "Special") SpecialSave(c);
            else if (mode == "Referer") RefererSave(c);
            else if (mode == "Control") ControlSave(c);
            else out.Line("<h2>No mode line!</h2>");
        } else {
            std::string page = c.FirstName();
            if (page == "ExtType") ExtTypePage(c, false);
            else if (page == "ExecExtType") ExtTypePage(c, true);
            else if (page == "Aliases") AliasesPage(c);
            else if (page == "Authorization") AuthorizationPage(c);
            else if (page == "Special") SpecialPage(c);
            else if (page == "Control") ControlPage(c);
        }
    }
    Navigation(out);
    out.Line("<hr>");
    out.Line("</body></html>");
}

}  // namespace qm::admin
