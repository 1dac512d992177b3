// Loading and seeding the HTTP server's registry settings.
#include "settings.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

#include "qm/cgi/coding.h"
#include "qm/platform/errors.h"
#include "qm/platform/paths.h"
#include "qm/platform/registry.h"
#include "qm/platform/owners.h"

namespace qm::httpd {

using platform::RegRoot;

namespace {

std::string Text(std::string_view name, const std::string& fallback) {
    return platform::RegReadText(RegRoot::LocalMachine, kHttpdKey, name, fallback);
}

int Number(std::string_view name, int fallback, int lo, int hi,
           std::vector<std::string>* problems) {
    std::string t = Text(name, "");
    if (t.empty()) return fallback;
    char* end = nullptr;
    long v = std::strtol(t.c_str(), &end, 10);
    if (*end != '\0' || v < lo || v > hi) {
        if (problems) {
            problems->push_back(std::string(name) + " has the invalid value \"" + t +
                                "\"; using " + std::to_string(fallback));
        }
        return fallback;
    }
    return static_cast<int>(v);
}

}  // namespace

Settings LoadSettings(std::vector<std::string>* problems) {
    Settings s;
    s.port = Number("Port", s.port, 1, 65535, problems);
    s.maxThreads = Number("MaxChildThreads", s.maxThreads, 1, 10000, problems);
    s.timeoutSeconds = Number("Timeout", s.timeoutSeconds, 1, 600, problems);
    s.serverRoot = platform::ToPosixPath(Text("ServerRoot", platform::RootPath("htdocs")));
    s.welcome = Text("Welcome", s.welcome);
    s.software = Text("ServerSoftware", s.software);
    s.hostName = Text("HostName", s.hostName);
    s.serverAdmin = Text("ServerAdmin", "");
    s.accessLog = Text("AccessLog", s.accessLog);
    s.accessLogPeriod = Number("AccessLog_Period", s.accessLogPeriod, 1, 28, problems);
    s.errorLog = Text("ErrorLog", s.errorLog);
    s.errorLogPeriod = Number("ErrorLog_Period", s.errorLogPeriod, 1, 28, problems);
    s.installationPath =
        platform::ToPosixPath(Text("InstallationPath", platform::RootPath("bin")));
    s.readAccessAuthorization = Text("ReadAccessAuthorization", "");
    s.authorizationPasswordDirectory = Text("AuthorizationPasswordDirectory", "");
    s.readAccessIP = Text("ReadAccessIP", "");
    s.pathAlias = RegSplitPairs(Text("PathAlias", ""));
    s.execAlias = RegSplitPairs(Text("ExecAlias", ""));
    s.extType = RegSplitPairs(Text("ExtType", ""));
    s.execExtType = RegSplitPairs(Text("ExecExtType", ""));
    for (auto* list : {&s.pathAlias, &s.execAlias}) {
        for (auto& p : *list) p.second = platform::ToPosixPath(p.second);
    }
    while (s.serverRoot.size() > 1 && s.serverRoot.back() == '/') s.serverRoot.pop_back();
    return s;
}

namespace {

// 16 letters and digits from the kernel's random source; "" when it cannot be read.
std::string RandomPassword() {
    static constexpr char kChars[] =
        "ABCDEFGHJKLMNPQRSTUVWXYZabcdefghijkmnopqrstuvwxyz23456789";
    constexpr size_t kCount = sizeof kChars - 1;
    platform::UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    if (!fd) return {};
    std::string out;
    unsigned char b;
    while (out.size() < 16 && ::read(fd.get(), &b, 1) == 1) {
        if (b < 256 - 256 % kCount) out += kChars[b % kCount];  // no bias towards early letters
    }
    return out.size() == 16 ? out : std::string();
}

}  // namespace

int SeedRegistry(const std::string& root, std::string* generatedPassword) {
    struct Default {
        const char* name;
        std::string text;
    };
    const std::string bin = root + "/bin";
    const std::vector<Default> defaults = {
        {"Port", "8080"},
        {"MaxChildThreads", "16"},
        {"Timeout", "60"},
        {"ServerRoot", root + "/htdocs"},
        {"Welcome", "index.html"},
        {"ServerSoftware", "qmhttpd/1.0"},
        {"HostName", "localhost"},
        {"ServerAdmin", ""},
        {"AccessLog", "access"},
        {"AccessLog_Period", "7"},
        {"ErrorLog", "error"},
        {"ErrorLog_Period", "7"},
        {"DNSLookup", "off"},
        {"ReadAccessAuthorization", ".qmauth"},
        {"AuthorizationPasswordDirectory", "/.qmpasswd"},
        {"ReadAccessIP", ".qmip"},
        {"InstallationPath", bin},
        {"SpecialCgiScript", "nph-QMHTTPD.exe"},
        {"SpecialCgiPassword", ""},
        {"PathAlias", ";"},
        {"ExecAlias", ";/cgi-bin/;" + bin + ";"},
        {"ExtType",
         ";.html;text/html;.htm;text/html;.css;text/css;.js;application/javascript;"
         ".gif;image/gif;.png;image/png;.jpg;image/jpeg;.jpeg;image/jpeg;.ico;image/x-icon;"
         ".svg;image/svg+xml;.txt;text/plain;.xml;text/xml;.json;application/json;"
         ".csv;text/csv;.pdf;application/pdf;"},
        {"ExecExtType", ";.exe;application/x-httpd-cgi;.cgi;application/x-httpd-cgi;"},
        {"SpecialCgiReferer", ";"},
    };
    int rc = platform::RegCreateKey(RegRoot::LocalMachine, kHttpdKey);
    if (rc != 0) return rc;
    for (const auto& d : defaults) {
        platform::RegValue existing;
        if (platform::RegGetValue(RegRoot::LocalMachine, kHttpdKey, d.name, &existing) == 0) {
            continue;
        }
        rc = platform::RegSetString(RegRoot::LocalMachine, kHttpdKey, d.name, d.text);
        if (rc != 0) return rc;
    }
    platform::RegValue existing;
    // The desktop tools' switches: the server is not started at boot until the administrator
    // asks for it, and the tray icon shows.
    for (const auto& [name, number] : {std::pair{"startup", 0u}, std::pair{"tasktray", 1u}}) {
        if (platform::RegGetValue(RegRoot::LocalMachine, kHttpdKey, name, &existing) == 0) continue;
        rc = platform::RegSetNumber(RegRoot::LocalMachine, kHttpdKey, name, number);
        if (rc != 0) return rc;
    }
    if (platform::RegGetValue(RegRoot::LocalMachine, kHttpdKey, "SpecialCgiPassword", &existing) ==
            0 &&
        existing.text.empty()) {
        std::string password = RandomPassword();
        if (password.empty()) return platform::kErrGenFailure;
        rc = platform::RegSetString(RegRoot::LocalMachine, kHttpdKey, "SpecialCgiPassword",
                                    cgi::Base64Encode("admin:" + password));
        if (rc != 0) return rc;
        if (generatedPassword) *generatedPassword = password;
    }
    if (platform::RegGetValue(RegRoot::LocalMachine, kSetupKey, "InstallPath", &existing) != 0) {
        rc = platform::RegSetString(RegRoot::LocalMachine, kSetupKey, "InstallPath", root, true);
    }
    return rc;
}

}  // namespace qm::httpd
