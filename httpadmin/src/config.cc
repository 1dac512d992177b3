// The server's settings in the registry, as the pages load and save them.
#include <sys/stat.h>

#include <algorithm>
#include <set>

#include "admin.h"
#include "qm/platform/paths.h"
#include "qm/platform/registry.h"

namespace qm::admin {

using platform::RegRoot;

namespace {

constexpr const char* kNames[] = {
    "Port", "MaxChildThreads", "Timeout", "ServerRoot", "Welcome", "ServerSoftware", "HostName",
    "ServerAdmin", "AccessLog", "AccessLog_Period", "ErrorLog", "ErrorLog_Period", "DNSLookup",
    "ReadAccessAuthorization", "AuthorizationPasswordDirectory", "ReadAccessIP",
    "InstallationPath", "SpecialCgiScript", "SpecialCgiPassword"};
constexpr int kReadOnlyFrom = 16;  // the last three are shown, never edited

bool ReadValue(std::string_view name, std::string* out) {
    platform::RegValue v;
    if (platform::RegGetValue(RegRoot::LocalMachine, kHttpdKey, name, &v) != 0) return false;
    *out = v.type == platform::kRegDword ? std::to_string(v.number) : v.text;
    return true;
}

bool IsDirectory(const std::string& p) {
    struct stat st {};
    return ::stat(p.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

}  // namespace

void Page::Line(std::string_view text) {
    std::string line(text);
    line += '\n';
    sink_(line);
}

HttpdConfig::HttpdConfig() {
    int i = 0;
    for (const char* n : kNames) entries_.push_back({n, "", i++ < kReadOnlyFrom});
}

const char* HttpdConfig::Value(std::string_view name) const {
    for (const auto& e : entries_) {
        if (cgi::EqualsNoCase(e.name, name)) return e.value.c_str();
    }
    return nullptr;
}

bool HttpdConfig::Set(std::string_view name, std::string value) {
    for (auto& e : entries_) {
        if (cgi::EqualsNoCase(e.name, name)) {
            e.value = std::move(value);
            return true;
        }
    }
    return false;
}

bool HttpdConfig::Load(Page& out) {
    if (platform::RegOpenKey(RegRoot::LocalMachine, kHttpdKey) != 0) {
        out.Line("HTTPd configuration registry open error!!");
        return false;
    }
    // A value that is missing stays empty; the pages never need more than its text.
    for (auto& e : entries_) ReadValue(e.name, &e.value);
    std::string text;
    if (ReadValue("PathAlias", &text)) pathAlias = RegSplitPairs(text);
    if (ReadValue("ExecAlias", &text)) execAlias = RegSplitPairs(text);
    if (ReadValue("ExtType", &text)) extType = RegSplitPairs(text);
    if (ReadValue("ExecExtType", &text)) execExtType = RegSplitPairs(text);
    if (ReadValue("SpecialCgiReferer", &text) && text.find(';') != std::string::npos) {
        referers = RegSplitList(text);
        if (referers.size() > kMaxListPairs) referers.resize(kMaxListPairs);
    }
    if (!ReadValue("SpecialCgiPort", &specialCgiPort) || specialCgiPort.empty()) {
        specialCgiPort = Value("Port");
    }
    loaded_ = true;
    return true;
}

bool HttpdConfig::Save(Page& out) {
    if (platform::RegOpenKey(RegRoot::LocalMachine, kHttpdKey) != 0) {
        out.Line("HTTPd configuration registry open error!!");
        return false;
    }
    auto set = [](std::string_view name, const std::string& text) {
        return platform::RegSetString(RegRoot::LocalMachine, kHttpdKey, name, text) == 0;
    };
    bool ok = true;
    for (const auto& e : entries_) ok = set(e.name, e.value) && ok;
    ok = set("PathAlias", RegJoinPairs(pathAlias)) && ok;
    ok = set("ExecAlias", RegJoinPairs(execAlias)) && ok;
    ok = set("ExtType", RegJoinPairs(extType)) && ok;
    ok = set("ExecExtType", RegJoinPairs(execExtType)) && ok;
    ok = set("SpecialCgiReferer", RegJoinList(referers)) && ok;
    if (!ok) out.Line("HTTPd configuration registry close error!!");
    return ok;
}

access::AliasMap HttpdConfig::AliasMap() const {
    access::AliasMap m;
    m.serverRoot = platform::ToPosixPath(Value("ServerRoot"));
    for (const auto* list : {&pathAlias, &execAlias}) {
        for (const auto& p : *list) m.aliases.push_back({p.first, platform::ToPosixPath(p.second)});
    }
    m.aliases.push_back({"/qm", platform::RootPath("html")});
    return m;
}

std::vector<std::string> HttpdConfig::TreeRoots() const {
    std::set<std::string> roots;
    auto add = [&](const std::string& p) {
        std::string posix = platform::ToPosixPath(p);
        while (posix.size() > 1 && posix.back() == '/') posix.pop_back();
        if (!posix.empty() && posix[0] == '/' && IsDirectory(posix)) roots.insert(posix);
    };
    add(Value("ServerRoot"));
    for (const auto* list : {&pathAlias, &execAlias}) {
        for (const auto& p : *list) add(p.second);
    }
    return {roots.begin(), roots.end()};
}

}  // namespace qm::admin
