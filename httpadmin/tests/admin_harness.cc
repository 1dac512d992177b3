// The in-process harness of the administration program's tests.
#include "admin_harness.h"

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "admin.h"
#include "qm/cgi/coding.h"
#include "qm/platform/registry.h"

namespace qm::admin::testing {

using platform::RegRoot;

bool Response::HasLine(const std::string& line) const { return Find(line) >= 0; }

int Response::Find(const std::string& line) const {
    auto it = std::find(lines.begin(), lines.end(), line);
    return it == lines.end() ? -1 : static_cast<int>(it - lines.begin());
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

AdminTest::AdminTest() {
    std::string r = root_.path();
    std::filesystem::create_directories(r + "/htdocs/.qmpasswd");
    const std::vector<std::pair<std::string, std::string>> values = {
        {"Port", "8080"}, {"MaxChildThreads", "16"}, {"Timeout", "60"},
        {"ServerRoot", r + "/htdocs"}, {"Welcome", "index.html"},
        {"ServerSoftware", "qmhttpd/1.0"}, {"HostName", "localhost"}, {"ServerAdmin", ""},
        {"AccessLog", "access"}, {"AccessLog_Period", "7"}, {"ErrorLog", "error"},
        {"ErrorLog_Period", "7"}, {"DNSLookup", "off"}, {"ReadAccessAuthorization", ".qmauth"},
        {"AuthorizationPasswordDirectory", "/.qmpasswd"}, {"ReadAccessIP", ".qmip"},
        {"InstallationPath", r + "/bin"}, {"SpecialCgiScript", "nph-QMHTTPD.exe"},
        {"SpecialCgiPassword", cgi::Base64Encode("admin:secret")}, {"PathAlias", ";"},
        {"ExecAlias", ";/cgi-bin/;" + r + "/bin;"},
        {"ExtType", ";.html;text/html;.gif;image/gif;"},
        {"ExecExtType", ";.cgi;application/x-httpd-cgi;"}, {"SpecialCgiReferer", ";"}};
    for (const auto& [n, v] : values) {
        EXPECT_EQ(platform::RegSetString(RegRoot::LocalMachine, kHttpdKey, n, v, true), 0);
    }
    credentials_ = "Basic " + cgi::Base64Encode("admin:secret");
}

Env AdminTest::Request(const std::string& method, const std::string& query) const {
    return {{"REQUEST_METHOD", method},
            {"QUERY_STRING", query},
            {"REMOTE_ADDR", "127.0.0.1"},
            {"HTTP_HOST", "127.0.0.1:8080"},
            {"SCRIPT_NAME", "/cgi-bin/nph-QMHTTPD.exe"},
            {"HTTP_AUTHORIZATION", credentials_}};
}

Response AdminTest::Run(const Env& env, const std::string& body) const {
    Env full = env;
    if (!body.empty()) {
        full.emplace("CONTENT_LENGTH", std::to_string(body.size()));
        full.emplace("CONTENT_TYPE", "application/x-www-form-urlencoded");
    }
    cgi::CgiRequest request([&full](const char* name) -> const char* {
        auto it = full.find(name);
        return it == full.end() ? nullptr : it->second.c_str();
    });
    Response r;
    Page page([&r](std::string_view line) { r.text += line; });
    size_t offset = 0;
    admin::Run(request, page, [&](char* buf, size_t max) {
        size_t n = std::min(max, body.size() - offset);
        std::memcpy(buf, body.data() + offset, n);
        offset += n;
        return n;
    });
    std::stringstream ss(r.text);
    for (std::string line; std::getline(ss, line);) r.lines.push_back(line);
    return r;
}

Response AdminTest::Post(const std::string& body, const std::string& query) const {
    return Run(Request("POST", query), body);
}

std::string AdminTest::Reg(const std::string& name) const {
    return platform::RegReadText(RegRoot::LocalMachine, kHttpdKey, name, "<missing>");
}

void AdminTest::SetReg(const std::string& name, const std::string& value) const {
    platform::RegSetString(RegRoot::LocalMachine, kHttpdKey, name, value);
}

}  // namespace qm::admin::testing

namespace qm::admin::testing {

void AdminTest::DeleteReg(const std::string& name) const {
    platform::RegDeleteValue(RegRoot::LocalMachine, kHttpdKey, name);
}

}  // namespace qm::admin::testing
