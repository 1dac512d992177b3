// Building the interpreter's parameter text.
#include "request_text.h"

#include <strings.h>

namespace qm::httpd {

namespace {
int Hex(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}
}  // namespace

std::string UrlDecode(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && Hex(text[i + 1]) >= 0 &&
                   Hex(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(Hex(text[i + 1]) * 16 + Hex(text[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    return out;
}

std::vector<std::pair<std::string, std::string>> ParseFormPairs(std::string_view text) {
    std::vector<std::pair<std::string, std::string>> pairs;
    size_t pos = 0;
    while (pos < text.size()) {
        size_t amp = text.find('&', pos);
        if (amp == std::string_view::npos) amp = text.size();
        std::string_view piece = text.substr(pos, amp - pos);
        if (!piece.empty()) {
            size_t eq = piece.find('=');
            if (eq == std::string_view::npos) {
                pairs.emplace_back(UrlDecode(piece), "");
            } else {
                pairs.emplace_back(UrlDecode(piece.substr(0, eq)), UrlDecode(piece.substr(eq + 1)));
            }
        }
        pos = amp + 1;
    }
    return pairs;
}

std::string CgiVariables::Get(std::string_view name) const {
    for (const auto& [n, v] : values) {
        if (n == name) return v;
    }
    return {};
}

std::string BuildParameterText(const CgiVariables& vars,
                               const std::vector<std::pair<std::string, std::string>>& pairs) {
    static const char* const kFields[] = {
        "PATH_INFO",      "PATH_TRANSLATED", "GATEWAY_INTERFACE", "HTTP_ACCEPT",
        "HTTP_USER_AGENT", "HTTP_ACCEPT_LANGUAGE", "HTTP_HOST",    "HTTP_REFERER",
        "REMOTE_ADDR",    "REMOTE_HOST",     "SCRIPT_NAME",       "SERVER_NAME",
        "SERVER_PROTOCOL", "SERVER_PORT",    "SERVER_SOFTWARE",   "CONTENT_TYPE",
        "CONTENT_LENGTH", "REQUEST_METHOD",  "QUERY_STRING",      "AUTH_TYPE"};
    std::string text = "SERVER_ROOT=" + vars.Get("SERVER_ROOT") + "|";
    for (const char* f : kFields) {
        text += f;
        text += '=';
        text += vars.Get(f);
        text += '|';
    }
    bool first = true;
    for (const auto& [name, value] : pairs) {
        if (strcasecmp(name.c_str(), "service") == 0) continue;
        if (!first) text += '|';
        first = false;
        text += name + "=" + value;
    }
    return text;
}

}  // namespace qm::httpd
