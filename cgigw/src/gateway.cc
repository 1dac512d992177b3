// Document root, target paths, InstallData.txt and the request text of the gateways.
#include "gateway.h"

#include <algorithm>
#include <fstream>

#include "qm/cgi/splitter.h"
#include "qm/platform/paths.h"

namespace qm::cgigw {

using cgi::CgiVar;

std::string DocumentRoot(std::string_view pathInfo, std::string_view pathTranslated) {
    if (pathInfo.empty()) return std::string(pathTranslated);
    std::string backslashed(pathInfo);
    std::replace(backslashed.begin(), backslashed.end(), '/', '\\');
    // Only the tail is cut: a PATH_INFO of "/a" must not cut "/srv/abc/htdocs/a" at "/abc".
    for (const std::string_view tail : {pathInfo, std::string_view(backslashed)}) {
        if (pathTranslated.size() >= tail.size() &&
            pathTranslated.substr(pathTranslated.size() - tail.size()) == tail) {
            return std::string(pathTranslated.substr(0, pathTranslated.size() - tail.size()));
        }
    }
    return std::string(pathTranslated);
}

std::optional<std::string> TargetPath(std::string_view root, std::string_view name) {
    // Without a document root the name would be taken from the file system's root.
    if (root.empty()) return std::nullopt;
    std::string rel(name);
    std::replace(rel.begin(), rel.end(), '\\', '/');
    if (rel.empty() || rel.front() == '/' || rel.find(':') != std::string::npos) return std::nullopt;
    bool hasFile = false;
    for (std::string_view piece : cgi::StringSplitter(rel, "/")) {
        if (piece == "..") return std::nullopt;
        if (!piece.empty() && piece != ".") hasFile = true;
    }
    if (!hasFile || rel.back() == '/') return std::nullopt;
    std::string path = platform::ToPosixPath(std::string(root) + "/" + rel);
    if (path.size() > kMaxTargetPath) return std::nullopt;
    return path;
}

std::optional<ImageTarget> ImagePath(std::string_view root, std::string_view name) {
    if (!TargetPath(root, name)) return std::nullopt;
    std::string rel(name);
    std::replace(rel.begin(), rel.end(), '\\', '/');
    ImageTarget t{platform::ToPosixPath(std::string(root)), {}, {}};
    for (std::string_view piece : cgi::StringSplitter(rel, "/")) {
        if (piece.empty()) continue;
        if (piece.front() == '.') return std::nullopt;
        if (!t.file.empty()) t.folder += (t.folder.empty() ? "" : "/") + t.file;
        t.file = std::string(piece);
    }
    constexpr std::string_view kGif = ".gif";
    if (t.file.size() <= kGif.size() ||
        !cgi::EqualsNoCase(std::string_view(t.file).substr(t.file.size() - kGif.size()), kGif)) {
        return std::nullopt;
    }
    return t;
}

std::optional<std::string> ReadInstallDirectory(const std::string& file) {
    std::FILE* f = std::fopen(file.c_str(), "r");
    if (!f) return std::nullopt;
    char line[80];
    std::string dir;
    bool marker = false;
    while (std::fgets(line, sizeof line, f)) {
        if (marker) {
            dir = line;
            while (!dir.empty() && (dir.back() == '\n' || dir.back() == '\r')) dir.pop_back();
            break;
        }
        marker = std::string_view(line).find("<!--") != std::string_view::npos;
    }
    std::fclose(f);
    return dir;
}

bool BuildRequestText(const cgi::CgiRequest& req, std::string_view installDir, std::string* out) {
    static constexpr CgiVar kFields[] = {
        CgiVar::kPathInfo,      CgiVar::kPathTranslated,     CgiVar::kGatewayInterface,
        CgiVar::kHttpAccept,    CgiVar::kHttpUserAgent,      CgiVar::kHttpAcceptLanguage,
        CgiVar::kHttpHost,      CgiVar::kHttpReferer,        CgiVar::kRemoteAddr,
        CgiVar::kRemoteHost,    CgiVar::kScriptName,         CgiVar::kServerName,
        CgiVar::kServerProtocol, CgiVar::kServerPort,        CgiVar::kServerSoftware,
        CgiVar::kContentType,   CgiVar::kContentLength,      CgiVar::kRequestMethod,
        CgiVar::kQueryString,   CgiVar::kAuthType,
    };
    std::string& t = *out;
    t.clear();
    const char* service = req.GetValue("service");
    t.append(installDir).append("|").append(service ? service : "qmintpr").append("|");
    t.append("SERVER_ROOT=")
        .append(DocumentRoot(req.Env(CgiVar::kPathInfo), req.Env(CgiVar::kPathTranslated)))
        .append("|");
    for (CgiVar v : kFields) t.append(cgi::CgiVarName(v)).append("=").append(req.Env(v)).append("|");
    bool first = true;
    for (int i = 0; i < req.PairCount(); ++i) {
        if (cgi::EqualsNoCase(req.Names()[i], "service")) continue;
        if (!first) t.append("|");
        first = false;
        t.append(req.Names()[i]).append("=").append(req.Values()[i]);
        if (t.size() > kMaxRequestText) return false;
    }
    return t.size() <= kMaxRequestText;
}

void PutLine(std::FILE* out, std::string_view line) {
    std::fwrite(line.data(), 1, line.size(), out);
    std::fputc('\n', out);
}

}  // namespace qm::cgigw
