// Qmcgipst: stores an uploaded GIF under the document root and redirects the browser, or
// sends a stored GIF back.
#include <cstdio>
#include <string>
#include <string_view>

#include "gateway.h"
#include "image_store.h"
#include "qm/cgi/cgi_request.h"

namespace {

using qm::cgi::CgiVar;
using qm::cgigw::PutLine;

qm::cgi::CgiRequest g_request;  // its destructor removes an upload that was not stored

constexpr const char* kErrors[] = {"", "Qmcgipst Error: Failed to get the cgi data.",
                                   "Qmcgipst Error: Failed to get the cgi variables."};

void HtmlPage(std::FILE* out, std::string_view content, int error) {
    for (const char* line : {"Content-type: text/html", "Pragma: no-cache", "", "<HTML>", "<HEAD>"}) {
        PutLine(out, line);
    }
    if (!content.empty()) PutLine(out, content);
    PutLine(out, "</HEAD>");
    if (error != 0) PutLine(out, std::string(kErrors[error]) + "<br>");
    PutLine(out, "</HTML>");
}

// The redirect targets come from the client; inside the attribute they must stay a URL and
// never become markup. Browsers read the entities back, so a good URL is unchanged for them.
std::string AttributeText(std::string_view text) {
    std::string out;
    for (char c : text) {
        switch (c) {
            case '&': out += "&amp;"; break;
            case '"': out += "&quot;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default: out += c;
        }
    }
    return out;
}

int Run(std::FILE* out) {
    if (!g_request.ReadRequest()) {
        HtmlPage(out, {}, 1);
        return 0;
    }
    std::string root = qm::cgigw::DocumentRoot(g_request.Env(CgiVar::kPathInfo),
                                               g_request.Env(CgiVar::kPathTranslated));
    const char* save = g_request.GetValue("SaveFileName");
    const char* success = g_request.GetValue("URL_Success");
    const char* failure = g_request.GetValue("URL_Failure");
    const char* canceled = g_request.GetValue("URL_Canceled");
    const char* image = g_request.PartTempFile("ImageFile");

    if (save && success && failure && canceled && image) {
        auto target = qm::cgigw::ImagePath(root, save);
        if (!target) {
            HtmlPage(out, {}, 2);
            return 0;
        }
        std::string_view redirect = failure;
        const char* type = g_request.PartContentType("ImageFile");
        if (type && qm::cgi::EqualsNoCase(type, "image/gif")) {
            switch (qm::cgigw::StoreUpload(image, *target)) {
                case qm::cgigw::StoreResult::kStored: redirect = success; break;
                case qm::cgigw::StoreResult::kExists: redirect = canceled; break;
                case qm::cgigw::StoreResult::kFailed: break;
            }
        }
        HtmlPage(out,
                 "<META HTTP-EQUIV=\"Refresh\" CONTENT=\"1;URL=" + AttributeText(redirect) + "\">",
                 0);
        return 0;
    }
    if (const char* get = g_request.GetValue("GetFileName")) {
        auto target = qm::cgigw::ImagePath(root, get);
        if (!target) {
            HtmlPage(out, {}, 2);
            return 0;
        }
        PutLine(out, "Content-type: image/gif");
        PutLine(out, "Pragma: no-cache");
        PutLine(out, "");
        std::fflush(out);
        qm::cgigw::SendFile(*target, out);
        return 0;
    }
    HtmlPage(out, {}, 2);
    return 0;
}

}  // namespace

int main() { return Run(stdout); }
