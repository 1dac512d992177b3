// Reading profile (.ini) files the way GetPrivateProfileString does.
#include "qm/platform/profile.h"

#include <strings.h>

#include <cstring>
#include <fstream>
#include <string>

#include "qm/platform/paths.h"

namespace qm::platform {

namespace {

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
        s.remove_suffix(1);
    }
    return s;
}

bool SameName(std::string_view a, std::string_view b) {
    return a.size() == b.size() && strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool FindValue(const std::string& file, std::string_view section, std::string_view key,
               std::string* value) {
    std::ifstream in(ToPosixPath(file), std::ios::binary);
    if (!in) return false;
    std::string line;
    bool inSection = false;
    while (std::getline(in, line)) {
        std::string_view l = Trim(line);
        if (l.empty() || l[0] == ';') continue;
        if (l[0] == '[') {
            auto close = l.find(']');
            inSection = close != std::string_view::npos &&
                        SameName(Trim(l.substr(1, close - 1)), section);
            continue;
        }
        if (!inSection) continue;
        auto eq = l.find('=');
        if (eq == std::string_view::npos || !SameName(Trim(l.substr(0, eq)), key)) continue;
        std::string_view v = Trim(l.substr(eq + 1));
        if (v.size() >= 2 && ((v.front() == '"' && v.back() == '"') ||
                              (v.front() == '\'' && v.back() == '\''))) {
            v = v.substr(1, v.size() - 2);
        }
        *value = std::string(v);
        return true;
    }
    return false;
}

}  // namespace

size_t GetPrivateProfileString(const char* section, const char* key, const char* fallback,
                               char* buffer, size_t size, const char* file) {
    if (!buffer || size == 0) return 0;
    std::string value;
    if (!section || !key || !file || !FindValue(file, section, key, &value)) {
        value = fallback ? fallback : "";
        // The default loses trailing blanks, as it does on Windows.
        while (!value.empty() && value.back() == ' ') value.pop_back();
    }
    size_t n = std::min(value.size(), size - 1);
    std::memcpy(buffer, value.data(), n);
    buffer[n] = '\0';
    return n;
}

std::string ReadProfileString(std::string_view section, std::string_view key,
                              std::string_view fallback, const std::string& file) {
    char buf[128];
    std::string s(section), k(key), f(fallback);
    size_t n = GetPrivateProfileString(s.c_str(), k.c_str(), f.c_str(), buf, sizeof buf,
                                       file.c_str());
    return std::string(buf, n);
}

}  // namespace qm::platform
