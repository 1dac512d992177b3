// The Base, ExtType, ExecExtType, Special, Referer and Control pages and their save handlers.
#include <cctype>

#include "admin.h"
#include "qm/cgi/coding.h"
#include "qm/svcctl/svcctl.h"

namespace qm::admin {

using cgi::CgiVar;

namespace {

// The Base64 form of the administrator's name and password is as good as the password itself,
// so the pages never send it back; the save handlers never take it from the Base form either.
constexpr const char* kPasswordName = "SpecialCgiPassword";
constexpr const char* kMasked = "********";

struct Range {
    const char* name;
    long lo, hi;
};
constexpr Range kNumeric[] = {{"Port", 1, 65535},
                              {"MaxChildThreads", 1, 10000},
                              {"Timeout", 1, 600},
                              {"AccessLog_Period", 1, 28},
                              {"ErrorLog_Period", 1, 28}};

bool ValidNumber(std::string_view value, const Range& r) {
    if (value.empty() || value.size() > 5) return false;
    long n = 0;
    for (char ch : value) {
        if (ch < '0' || ch > '9') return false;
        n = n * 10 + (ch - '0');
    }
    return n >= r.lo && n <= r.hi;
}

// Fields are kept in ";"-lists, so a ";" inside one would split it in two.
bool ListSafe(std::string_view text) { return text.find(';') == std::string_view::npos; }

// The number after "key" in a pair name such as "key12"; -1 when there is none.
long KeyNumber(std::string_view name) {
    size_t k = name.find("key");
    if (k == std::string_view::npos) return -1;
    std::string_view digits = name.substr(k + 3);
    if (digits.empty() || digits.size() > 6) return -1;
    long n = 0;
    for (char ch : digits) {
        if (ch < '0' || ch > '9') return -1;
        n = n * 10 + (ch - '0');
    }
    return n;
}

void TextCell(Context& c, const std::string& name, const std::string* value) {
    std::string line = "<td><input type=\"text\" name=\"" + name + "\"";
    if (value) line += " value=\"" + Html(*value) + "\"";
    c.out.Line(line + "></td>");
}

}  // namespace

void BasePage(Context& c) {
    c.out.Line("<h2>Base:</h2>");
    c.out.Line("If you modify the data, please push \"Modify\" button.<br>");
    FormOpening(c, "");
    HiddenMode(c, "Base");
    c.out.Line("<input type=\"hidden\" name=\"submode\" value=\"Modify\">");
    c.out.Line("<table border=0>");
    c.out.Line("<tr><th>Key</th><th>Value</th></tr>");
    for (const auto& e : c.config.entries()) {
        std::string value = cgi::EqualsNoCase(e.name, kPasswordName) ? kMasked : Html(e.value);
        std::string line = std::string("<tr><td>") + e.name + "</td><td><input " +
                           (e.editable ? "type=\"text\" " : "type=\"hidden\" ") + "name=\"" +
                           e.name + "\" value=\"" + value + "\">";
        if (!e.editable) line += value;
        c.out.Line(line + "</td><td></td></tr>");
    }
    c.out.Line("</table>");
    c.out.Line("<input type=\"submit\" value=\"Modify!\">");
    c.out.Line("<input type=\"reset\" value=\"Reset\">");
    c.out.Line("</form>");
}

void BaseSave(Context& c) {
    c.out.Line("<h2>Base Save:</h2>");
    const auto& names = c.request.Names();
    const auto& values = c.request.Values();
    bool valid = true;
    for (size_t i = 0; i < names.size(); ++i) {
        for (const auto& r : kNumeric) {
            if (cgi::EqualsNoCase(names[i], r.name) && !ValidNumber(values[i], r)) valid = false;
        }
    }
    if (!valid) {
        c.out.Line("ERROR: Invalid Data.<br><hr>");
    } else {
        for (size_t i = 0; i < names.size(); ++i) {
            for (auto& e : c.config.entries()) {
                // The read-only values (installation folder, script, password) come back
                // through hidden inputs; a forged form must not change them here.
                if (e.editable && cgi::EqualsNoCase(names[i], e.name)) e.value = values[i];
            }
        }
        ReportSave(c, c.config.Save(c.out));
    }
    c.out.Line("<a href=\"nph-QMHTTPD.exe\">Back</a><p></p>");
}

void ExtTypePage(Context& c, bool exec) {
    const auto& list = exec ? c.config.execExtType : c.config.extType;
    const char* mode = exec ? "ExecExtType" : "ExtType";
    c.out.Line(std::string("<h2>") + mode + ":</h2>");
    FormOpening(c, "");
    HiddenMode(c, mode);
    HiddenQueryString(c);
    c.out.Line("<table border=0>");
    c.out.Line("<tr><th>Extension</th><th>MIME type</th></tr>");
    for (size_t i = 0; i <= list.size(); ++i) {
        c.out.Line("<tr>");
        std::string n = std::to_string(i);
        TextCell(c, "key" + n, i < list.size() ? &list[i].first : nullptr);
        TextCell(c, "value" + n, i < list.size() ? &list[i].second : nullptr);
        c.out.Line("</tr>");
    }
    EndForm(c, "Modify!", true);
}

void ExtTypeSave(Context& c, bool exec) {
    c.out.Line(exec ? "<h2>ExecExtType Save:</h2>" : "<h2>ExtType Save:</h2>");
    std::vector<Pair> list;
    bool valid = true;
    const auto& names = c.request.Names();
    const auto& values = c.request.Values();
    for (size_t i = 0; i < names.size(); ++i) {
        if (names[i] == "mode") continue;
        long n = KeyNumber(names[i]);
        if (n < 0) continue;
        std::string type = c.Form("value" + std::to_string(n));
        const std::string& ext = values[i];
        bool keep = exec ? !ext.empty() && type.find('/') != std::string::npos
                         : !ext.empty() && !type.empty();
        if (!keep) continue;
        if (!ListSafe(ext) || !ListSafe(type)) valid = false;
        if (list.size() < kMaxListPairs) list.push_back({ext, type});
    }
    if (!valid) {
        c.out.Line("ERROR: Invalid Data.<br><hr>");
    } else {
        (exec ? c.config.execExtType : c.config.extType) = std::move(list);
        ReportSave(c, c.config.Save(c.out));
    }
    BackLink(c);
}

void SpecialPage(Context& c) {
    c.out.Line("<h2>Special:</h2>");
    c.out.Line("<h3>Server Configuration Password:</h3>");
    SaveForm(c, "Special", "Password");
    c.out.Line("<table border=0>");
    c.out.Line("<tr><th>Username</th><th>Password</th><th>Retype</th></tr>");
    c.out.Line("<tr><td><input type=\"text\" name=\"username\"></td>"
               "<td><input type=\"password\" name=\"password\"></td>"
               "<td><input type=\"password\" name=\"retype\"></td></tr>");
    EndForm(c, "Modify!", true, true);
    c.out.Line("<h3>Server Configuration Refererence:</h3>");
    SaveForm(c, "Special", "Referer");
    c.out.Line("New entry:<br>");
    c.out.Line("<input type=\"text\" name=\"new\">");
    c.out.Line("<input type=\"submit\" value=\"Add\"><p></p>");
    c.out.Line("Remove entries:<br>");
    c.out.Line("<select name=\"remove\">");
    c.out.Line("<option selected>Not Selected");
    c.out.Line("<option>Remove All");
    for (const auto& r : c.config.referers) c.out.Line("<option>" + Html(r));
    c.out.Line("</select>");
    c.out.Line("<input type=\"submit\" value=\"Remove\"><p></p>");
    c.out.Line("</form>");
}

void SpecialSave(Context& c) {
    c.out.Line("<h2>Special Save:</h2>");
    std::string submode = c.Form("submode");
    bool valid = true;
    if (submode == "Password") {
        std::string user = c.Form("username"), password = c.Form("password");
        if (password == c.Form("retype") && !user.empty() && !password.empty()) {
            c.config.Set(kPasswordName, cgi::Base64Encode(user + ":" + password));
        }
    } else if (submode == "Referer") {
        std::string add = c.Form("new");
        if (!add.empty()) {
            bool known = false;
            for (const auto& r : c.config.referers) known = known || cgi::EqualsNoCase(r, add);
            if (!ListSafe(add)) valid = false;
            else if (!known && c.config.referers.size() < kMaxListPairs) c.config.referers.push_back(add);
        }
        const auto& names = c.request.Names();
        const auto& values = c.request.Values();
        for (size_t i = 0; i < names.size(); ++i) {
            if (!cgi::EqualsNoCase(names[i], "remove")) continue;
            auto& list = c.config.referers;
            if (values[i] == "Remove All") {
                list.clear();
                continue;
            }
            std::erase_if(list, [&](const std::string& r) { return cgi::EqualsNoCase(r, values[i]); });
        }
    }
    if (!valid) c.out.Line("ERROR: Invalid Data.<br><hr>");
    else ReportSave(c, c.config.Save(c.out));
    BackLink(c);
}

void RefererSave(Context& c) {
    c.out.Line("<h2>Referer Save:</h2>");
    std::string add = c.Form("new");
    if (!ListSafe(add)) {
        c.out.Line("ERROR: Invalid Data.<br><hr>");
        return;
    }
    if (!add.empty() && c.config.referers.size() < kMaxListPairs) c.config.referers.push_back(add);
    bool ok = c.config.Save(c.out);
    ReportSave(c, ok);
    if (ok) c.out.Line("<a href=\"nph-QMHTTPD.exe\">OK</a><p></p>");
}

void ControlPage(Context& c) {
    c.out.Line("<h2>Control:</h2>");
    c.out.Line("<b>Service Status:</b>");
    switch (GetServerState()) {
        case QM_SERVER_RUNNING: c.out.Line("HTTP Server is running."); break;
        case QM_SERVER_STOPPED: c.out.Line("HTTP Server is stopped."); break;
        case QM_SERVER_PAUSED: c.out.Line("HTTP Server is paused."); break;
        default: break;
    }
    for (const char* line : {"<h3>Service Restart</h3>", "<table border=0>", "<tr>", "<td>"}) {
        c.out.Line(line);
    }
    SaveForm(c, "Control", "Restart", "", false);
    for (const char* line : {"<input type=\"submit\" value=\"Restart\">", "</form>", "</td>",
                             "<td>", "<form>", "</form>", "</td>", "</tr>", "</table>"}) {
        c.out.Line(line);
    }
}

void ControlSave(Context& c) {
    std::string submode = c.Form("submode");
    char logPath[4096];
    if (ServiceLogPath(logPath, sizeof logPath) == 0) {
        c.out.Line("<h2>Control Result:</h2>");
        auto failed = [&](const char* line) {
            c.out.Line(line);
            char last[256];
            LastErrorLine(logPath, last, sizeof last);
            c.out.Line(Html(last) + "<br>");
        };
        struct Op {
            const char* submode;
            int (*fn)(int);
            const char* ok;
            const char* fail;
        };
        static const Op kOps[] = {
            {"Start", StartServer, "Succeed to start Http Server.<br>", "Failed to start Http Server.<br>"},
            {"Stop", StopServer, "Succeed to stop Http Server.<br>", "Failed to stop Http Server.<br>"},
            {"Pause", PauseServer, "Succeed to pause Http Server.<br>", "Failed to pause Http Server.<br>"},
            {"Continue", ContinueServer, "Succeed to continue Http Server.<br>",
             "Failed to continue Http Server.<br>"},
        };
        if (submode == "Restart") {
            // Pausing and continuing makes the server read its settings again.
            if (PauseServer(0) != 0) failed("Failed to pause Http Server.<br>");
            else if (ContinueServer(1) != 0) failed("Failed to continue Http Server.<br>");
            else c.out.Line("Now restart Http Server ...<br>");
        } else {
            for (const auto& op : kOps) {
                if (submode != op.submode) continue;
                if (op.fn(0) == 0) c.out.Line(op.ok);
                else failed(op.fail);
            }
        }
    }
    // Back to this program through the server's own address; after a restart the server may
    // listen on a new Port.
    std::string host = c.request.Env(CgiVar::kHttpHost);
    host = host.substr(0, host.find(':'));
    std::string port = submode == "Restart" ? c.config.Value("Port") : c.config.specialCgiPort;
    std::string script = c.request.Env(CgiVar::kScriptName);
    if (script.empty() || script[0] != '/') script = std::string("/") + kProgram;
    std::string url = "http://" + host + (port == "80" || port.empty() ? "" : ":" + port) + script +
                      "?" + c.Form("QueryString");
    c.out.Line("<a href=\"" + Html(url) + "\">Back</a><p></p>");
}

}  // namespace qm::admin
