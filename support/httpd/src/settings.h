// The HTTP server's settings, read from the registry key the administration pages edit.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "qm/platform/registry.h"

namespace qm::httpd {

inline constexpr const char* kHttpdKey = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Httpd";
inline constexpr const char* kSetupKey = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Setup";
inline constexpr const char* kServiceName = "QNQuinsward_Httpd";

// An alias path or extension (first) with its real folder or MIME type (second).
using Pair = platform::RegPair;
using platform::RegJoinPairs;
using platform::RegSplitPairs;

struct Settings {
    int port = 8080;
    int maxThreads = 16;
    int timeoutSeconds = 60;
    std::string serverRoot;   // document root (POSIX path)
    std::string welcome = "index.html";
    std::string software = "qmhttpd/1.0";
    std::string hostName = "localhost";
    std::string serverAdmin;
    std::string accessLog = "access";
    int accessLogPeriod = 7;
    std::string errorLog = "error";
    int errorLogPeriod = 7;
    std::string installationPath;  // folder of the programs and servicelog.txt
    // Per-directory access files; read by the access checks (see access.h).
    std::string readAccessAuthorization;
    std::string authorizationPasswordDirectory;
    std::string readAccessIP;
    std::vector<Pair> pathAlias;
    std::vector<Pair> execAlias;
    std::vector<Pair> extType;
    std::vector<Pair> execExtType;
};

// Reads the settings; values that are missing or out of range keep their defaults, and
// `problems` collects one line per such value (the server writes them to its service log).
Settings LoadSettings(std::vector<std::string>* problems = nullptr);

// Seeds the registry of the installation at `root` with working defaults; values that exist
// are never overwritten. The one exception is an empty `SpecialCgiPassword`, which would let
// anyone into the administration pages: the administrator "admin" gets a new random password,
// stored in its Base64 form ("admin:password") and handed back in `generatedPassword` so the
// installation can show it once. Returns 0, or the registry's error number.
int SeedRegistry(const std::string& root, std::string* generatedPassword = nullptr);

}  // namespace qm::httpd
