// CgiRequest: capturing the CGI environment, reading the body and splitting the form pairs.
#include "qm/cgi/cgi_request.h"

#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "multipart.h"
#include "qm/cgi/coding.h"
#include "qm/cgi/splitter.h"
#include "upload_files.h"

namespace qm::cgi {

namespace {

constexpr const char* kVarNames[kCgiVarCount] = {
    "AUTH_TYPE", "AUTH_USER", "AUTH_PASS", "PATH", "PATH_INFO", "PATH_TRANSLATED",
    "GATEWAY_INTERFACE", "HTTP_ACCEPT", "HTTP_USER_AGENT", "HTTP_ACCEPT_ENCODING",
    "HTTP_ACCEPT_LANGUAGE", "HTTP_FORWARDED", "HTTP_HOST", "HTTP_PRAGMA", "HTTP_REFERER",
    "HTTP_AUTHORIZATION", "REMOTE_ADDR", "REMOTE_HOST", "REMOTE_IDENT", "REMOTE_USER",
    "REMOTE_PORT", "SCRIPT_FILENAME", "SCRIPT_NAME", "SCRIPT_URI", "SCRIPT_URL", "SERVER_ADMIN",
    "SERVER_NAME", "SERVER_ROOT", "SERVER_PROTOCOL", "SERVER_PORT", "SERVER_SOFTWARE",
    "CONTENT_TYPE", "CONTENT_LENGTH", "REQUEST_METHOD", "QUERY_STRING",
};

std::size_t ReadStdin(char* buf, std::size_t max) {
    for (;;) {
        ssize_t n = ::read(STDIN_FILENO, buf, max);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return 0;
    }
}

// CONTENT_LENGTH as a byte count; anything but a positive decimal number means no body.
long long BodyLength(const char* text) {
    if (!text || !*text) return 0;
    errno = 0;
    char* end = nullptr;
    long long v = std::strtoll(text, &end, 10);
    if (errno == ERANGE) return v > 0 ? (1LL << 62) : 0;
    return v > 0 ? v : 0;
}

}  // namespace

const char* CgiVarName(CgiVar v) { return kVarNames[static_cast<int>(v)]; }

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i) {
        unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
        if (x >= 'A' && x <= 'Z') x = static_cast<unsigned char>(x + 32);
        if (y >= 'A' && y <= 'Z') y = static_cast<unsigned char>(y + 32);
        if (x != y) return false;
    }
    return true;
}

CgiRequest::CgiRequest() : CgiRequest([](const char* name) { return std::getenv(name); }) {}

CgiRequest::CgiRequest(const EnvLookup& env) {
    for (int i = 0; i < kCgiVarCount; ++i) {
        const char* v = env(kVarNames[i]);
        env_[i] = v ? v : "";
    }
}

CgiRequest::~CgiRequest() { DropUploads(); }

void CgiRequest::DropUploads() {
    for (int slot : uploadSlots_) detail::RemoveUploadFile(slot);
    uploadSlots_.clear();
}

bool CgiRequest::ReadRequest() { return ReadRequest(ReadStdin); }

// Reads CONTENT_LENGTH bytes, or what arrives before the input ends. The buffer grows with
// the data actually read, so a forged length costs nothing until bytes come.
bool CgiRequest::ReadBody(const BodyReader& body, std::string* out) const {
    long long want = BodyLength(Env(CgiVar::kContentLength));
    if (want <= 0) return true;
    if (static_cast<unsigned long long>(want) > kMaxBodyBytes) return false;
    auto total = static_cast<std::size_t>(want);
    while (out->size() < total) {
        std::size_t before = out->size();
        std::size_t step = std::min<std::size_t>(total - before, 64 * 1024);
        out->resize(before + step);
        std::size_t n = body(out->data() + before, step);
        out->resize(before + std::min(n, step));
        if (n == 0) break;
    }
    return true;
}

bool CgiRequest::ReadRequest(const BodyReader& body) {
    if (read_) return !query_.empty();
    read_ = true;
    std::string_view method = Env(CgiVar::kRequestMethod);
    std::string_view contentType = Env(CgiVar::kContentType);
    std::string_view queryString = Env(CgiVar::kQueryString);
    if (method.empty()) return false;

    if (EqualsNoCase(method, "post")) {
        std::string raw;
        if (Contains(contentType, "application/x-www-form-urlencoded")) {
            if (!ReadBody(body, &raw)) return false;
            // The body is text: a NUL ends it, as it would any C string.
            query_ = raw.substr(0, raw.find('\0'));
        } else if (Contains(contentType, "multipart/form-data")) {
            detail::MultipartResult parts;
            if (!ReadBody(body, &raw) || !detail::ParseMultipart(contentType, raw, &parts)) {
                return false;
            }
            query_ = std::move(parts.query);
            for (auto& p : parts.parts) {
                if (p.slot >= 0) uploadSlots_.push_back(p.slot);
                tempFiles_.push_back(std::move(p.tempFile));
                contentTypes_.push_back(std::move(p.contentType));
            }
        }
        if (!queryString.empty()) {
            if (!query_.empty()) query_ += '&';
            query_ += queryString;
        }
    } else if (EqualsNoCase(method, "get") && !queryString.empty()) {
        query_ = queryString;
    }
    if (query_.empty()) {
        DropUploads();
        tempFiles_.clear();
        contentTypes_.clear();
        return false;
    }

    // A piece without "=" is a bare word whose value is its own name. The value is everything
    // after the first "=", so an unescaped "=" inside a value (Base64 padding) survives.
    for (std::string_view piece : StringSplitter(query_, "&")) {
        auto eq = piece.find('=');
        std::string_view rawName = piece.substr(0, eq);
        std::string_view rawValue = eq == std::string_view::npos ? piece : piece.substr(eq + 1);
        names_.push_back(UrlDecode(rawName));
        values_.push_back(UrlDecode(rawValue));
    }
    return true;
}

const char* CgiRequest::GetValue(std::string_view name) const {
    for (std::size_t i = 0; i < names_.size(); ++i) {
        if (EqualsNoCase(names_[i], name)) return values_[i].c_str();
    }
    return nullptr;
}

int CgiRequest::PartIndex(std::string_view field) const {
    if (!Contains(Env(CgiVar::kContentType), "multipart/form-data")) return -1;
    int parts = std::min(PartCount(), PairCount());
    for (int i = 0; i < parts; ++i) {
        if (EqualsNoCase(names_[i], field)) return i;
    }
    return -1;
}

const char* CgiRequest::PartTempFile(std::string_view field) const {
    int i = PartIndex(field);
    if (i < 0 || tempFiles_[i].empty()) return nullptr;
    return tempFiles_[i].c_str();
}

const char* CgiRequest::PartContentType(std::string_view field) const {
    int i = PartIndex(field);
    return i < 0 ? nullptr : contentTypes_[i].c_str();
}

}  // namespace qm::cgi
