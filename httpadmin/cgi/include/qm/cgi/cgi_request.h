// The request object of every CGI program: the CGI environment, the form pairs from the query
// string and the body (url-encoded or multipart), and the uploaded files of a multipart body.
//
// One object per process, usually a global so that its destructor runs at exit: it deletes
// every temporary upload file (a fatal signal such as SIGTERM deletes them too). A program that
// wants to keep an upload must move or link it elsewhere before it exits.
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace qm::cgi {

// The 35 CGI variables, in the order the object captures them.
enum class CgiVar : int {
    kAuthType, kAuthUser, kAuthPass, kPath, kPathInfo, kPathTranslated, kGatewayInterface,
    kHttpAccept, kHttpUserAgent, kHttpAcceptEncoding, kHttpAcceptLanguage, kHttpForwarded,
    kHttpHost, kHttpPragma, kHttpReferer, kHttpAuthorization, kRemoteAddr, kRemoteHost,
    kRemoteIdent, kRemoteUser, kRemotePort, kScriptFilename, kScriptName, kScriptUri,
    kScriptUrl, kServerAdmin, kServerName, kServerRoot, kServerProtocol, kServerPort,
    kServerSoftware, kContentType, kContentLength, kRequestMethod, kQueryString,
};
inline constexpr int kCgiVarCount = 35;
// The environment variable's name ("AUTH_TYPE", ...).
const char* CgiVarName(CgiVar v);

// Fixed capacities of a multipart body: the assembled query text and the upload-name and
// content-type lists hold at most this many characters each, and at most this many boundary
// delimiters are taken. A body beyond them is refused as a whole.
inline constexpr std::size_t kMultipartListCapacity = 8131;
inline constexpr std::size_t kMultipartMaxDelimiters = 256;
// A body larger than this is refused before anything is read (no form of this suite comes
// near it; it keeps a forged CONTENT_LENGTH from exhausting memory).
inline constexpr std::size_t kMaxBodyBytes = 64u << 20;

// Where the object reads its environment and body; tests and fuzzers substitute their own.
using EnvLookup = std::function<const char*(const char* name)>;
// Reads up to `max` bytes into `buf`; 0 at the end of input.
using BodyReader = std::function<std::size_t(char* buf, std::size_t max)>;

class CgiRequest {
public:
    CgiRequest();  // the process environment
    explicit CgiRequest(const EnvLookup& env);
    ~CgiRequest();
    CgiRequest(const CgiRequest&) = delete;
    CgiRequest& operator=(const CgiRequest&) = delete;

    // Reads the body (standard input, or `body`) and splits the form pairs. True when there
    // was at least one byte of query text. Call at most once.
    bool ReadRequest();
    bool ReadRequest(const BodyReader& body);

    // The decoded value of the first pair whose decoded name equals `name` without regard to
    // ASCII case; nullptr when there is none. An empty value is "", never nullptr.
    const char* GetValue(std::string_view name) const;

    // A CGI variable; "" when it is not set, never nullptr.
    const char* Env(CgiVar v) const { return env_[static_cast<int>(v)].c_str(); }

    int PairCount() const { return static_cast<int>(names_.size()); }
    const std::vector<std::string>& Names() const { return names_; }    // decoded, in order
    const std::vector<std::string>& Values() const { return values_; }  // decoded, in order
    // The text the pairs were split from ("name=value&...", still encoded).
    const std::string& QueryText() const { return query_; }

    // Multipart bodies: one entry per part, aligned with the first PartCount() pairs. A
    // temporary file name is "" for a part that stored no file; a content type is "" for a
    // part without a content-type header.
    int PartCount() const { return static_cast<int>(tempFiles_.size()); }
    const std::vector<std::string>& TempFiles() const { return tempFiles_; }
    const std::vector<std::string>& ContentTypes() const { return contentTypes_; }

    // The temporary file / content type of the part whose field name equals `field` (any
    // case). nullptr unless CONTENT_TYPE is multipart/form-data, the part exists, and (for
    // the file) it stored one.
    const char* PartTempFile(std::string_view field) const;
    const char* PartContentType(std::string_view field) const;

private:
    int PartIndex(std::string_view field) const;
    bool ReadBody(const BodyReader& body, std::string* out) const;
    void DropUploads();

    std::string env_[kCgiVarCount];
    std::string query_;
    std::vector<std::string> names_;
    std::vector<std::string> values_;
    std::vector<std::string> tempFiles_;
    std::vector<std::string> contentTypes_;
    std::vector<int> uploadSlots_;  // registry slots of the files to delete
    bool read_ = false;
};

// Compares ASCII text without regard to case.
bool EqualsNoCase(std::string_view a, std::string_view b);
// True when `text` contains `part` (case-sensitive, as CGI content-type tests are).
inline bool Contains(std::string_view text, std::string_view part) {
    return text.find(part) != std::string_view::npos;
}

}  // namespace qm::cgi
