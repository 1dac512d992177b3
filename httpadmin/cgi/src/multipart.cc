// multipart/form-data: splits the body at its boundary delimiters, turns ordinary parts into
// url-encoded pairs and stores file parts in temporary files.
//
// The pair text, the upload-name list and the content-type list keep one entry per part, in
// step, so that part i is pair i. Names, values and client file names are url-encoded before
// they enter the pair text: a raw "&" or "=" in a file name would otherwise split into extra
// pairs and put every later part out of step with its file.
#include "multipart.h"

#include <unistd.h>

#include <cctype>

#include "qm/cgi/cgi_request.h"
#include "qm/cgi/coding.h"
#include "upload_files.h"

namespace qm::cgi::detail {

namespace {

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && EqualsNoCase(text.substr(0, prefix.size()), prefix);
}

// The boundary value after "boundary=" in the parameters (after the first ";"). Browsers send
// it bare; a quoted value loses its quotes as the MIME rules say.
std::string_view BoundaryOf(std::string_view contentType) {
    auto semi = contentType.find(';');
    if (semi == std::string_view::npos) return {};
    std::string_view params = contentType.substr(semi + 1);
    auto at = params.find("boundary=");
    if (at == std::string_view::npos) return {};
    std::string_view v = params.substr(at + 9);
    if (!v.empty() && v.front() == '"') {
        v.remove_prefix(1);
        v = v.substr(0, v.find('"'));
    }
    return v;
}

// The position of "name=" as a parameter of its own, not the tail of "filename=".
std::size_t FindNameParameter(std::string_view line) {
    std::size_t at = 0;
    while ((at = line.find("name=", at)) != std::string_view::npos) {
        if (at == 0 || !std::isalnum(static_cast<unsigned char>(line[at - 1]))) return at;
        at += 5;
    }
    return std::string_view::npos;
}

// A parameter value: quoted (to the next quote, or the line's last quote for file names,
// which may themselves hold quotes) or bare (to the next ";").
std::string_view ParameterValue(std::string_view rest, bool toLastQuote) {
    if (!rest.empty() && rest.front() == '"') {
        rest.remove_prefix(1);
        auto end = toLastQuote ? rest.rfind('"') : rest.find('"');
        return rest.substr(0, end);
    }
    return rest.substr(0, rest.find(';'));
}

bool WriteAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n <= 0) return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

struct PartHeaders {
    bool hasDisposition = false;
    bool isFile = false;
    std::string_view fileName;
    bool hasType = false;
    std::string_view contentType;
};

void ReadHeaderLine(std::string_view line, PartHeaders* h, std::string* query) {
    if (StartsWithNoCase(line, "content-disposition: form-data")) {
        if (h->hasDisposition) return;  // one disposition per part keeps the lists in step
        h->hasDisposition = true;
        if (auto at = FindNameParameter(line); at != std::string_view::npos) {
            *query += UrlEncode(ParameterValue(line.substr(at + 5), false));
            *query += '=';
        }
        if (auto at = line.find("filename="); at != std::string_view::npos) {
            h->isFile = true;
            h->fileName = ParameterValue(line.substr(at + 9), true);
            *query += UrlEncode(h->fileName);
        }
    } else if (StartsWithNoCase(line, "content-type:") && !h->hasType) {
        h->hasType = true;
        std::string_view v = line.substr(13);
        while (!v.empty() && v.front() == ' ') v.remove_prefix(1);
        h->contentType = v;
    }
}

void Discard(MultipartResult* out) {
    for (auto& p : out->parts) RemoveUploadFile(p.slot);
    *out = {};
}

}  // namespace

bool ParseMultipart(std::string_view contentType, std::string_view body, MultipartResult* out) {
    *out = {};
    std::string_view boundary = BoundaryOf(contentType);
    if (boundary.empty()) return true;
    const std::string delim = "--" + std::string(boundary);

    std::vector<std::size_t> at;
    for (std::size_t pos = 0; (pos = body.find(delim, pos)) != std::string_view::npos;
         pos += delim.size()) {
        if (at.size() == kMultipartMaxDelimiters) return false;
        at.push_back(pos);
    }

    std::size_t uploadListLen = 0, typeListLen = 0;
    for (std::size_t i = 0; i + 1 < at.size(); ++i) {
        const bool last = i + 2 == at.size();
        std::size_t start = std::min(at[i] + delim.size() + 2, at[i + 1]);
        std::string_view region = body.substr(start, at[i + 1] - start);

        PartHeaders h;
        std::size_t p = 0, bodyStart = region.size(), bodyEnd = region.size();
        while (p < region.size()) {
            auto eol = region.find("\r\n", p);
            if (eol == std::string_view::npos) {
                ReadHeaderLine(region.substr(p), &h, &out->query);
                break;
            }
            if (eol == p) {
                bodyStart = eol + 2;
                if (bodyEnd >= bodyStart + 2 && region.substr(bodyEnd - 2, 2) == "\r\n") {
                    bodyEnd -= 2;
                }
                break;
            }
            ReadHeaderLine(region.substr(p, eol - p), &h, &out->query);
            p = eol + 2;
        }
        std::string_view partBody = region.substr(bodyStart, bodyEnd - bodyStart);

        MultipartPart part;
        part.contentType = std::string(h.contentType);
        if (h.isFile) {
            if (!h.fileName.empty()) {
                int fd = CreateUploadFile(&part.tempFile, &part.slot);
                if (fd >= 0) {
                    bool ok = WriteAll(fd, partBody);
                    ::close(fd);
                    if (!ok) {  // a half-written upload is worse than none
                        RemoveUploadFile(part.slot);
                        part.tempFile.clear();
                        part.slot = -1;
                    }
                }
            }
        } else {
            // Encoding never shrinks the text, so a body that cannot fit is refused unencoded.
            if (out->query.size() + partBody.size() > kMultipartListCapacity) {
                Discard(out);
                return false;
            }
            out->query += UrlEncode(partBody);
        }
        uploadListLen += part.tempFile.size();
        typeListLen += part.contentType.size();
        out->parts.push_back(std::move(part));
        if (!last) {
            out->query += '&';
            ++uploadListLen;
            ++typeListLen;
        }
        if (out->query.size() > kMultipartListCapacity || uploadListLen > kMultipartListCapacity ||
            typeListLen > kMultipartListCapacity) {
            Discard(out);
            return false;
        }
    }
    return true;
}

}  // namespace qm::cgi::detail
