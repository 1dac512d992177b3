// Fuzzes the whole CGI request reading: environment and body in, pairs, uploads and the
// gateway's request text out; no crash, no read or write out of bounds, no upload left behind.
//
// Input: four lines (REQUEST_METHOD, CONTENT_TYPE, QUERY_STRING, PATH_INFO|PATH_TRANSLATED)
// then the body; CONTENT_LENGTH is the body's length unless the body starts with "#N#".
#include <dirent.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "gateway.h"
#include "qm/cgi/cgi_request.h"
#include "qm/platform/paths.h"
#include "scratch.h"

namespace {

std::string_view TakeLine(std::string_view* rest) {
    auto nl = rest->find('\n');
    std::string_view line = rest->substr(0, nl);
    rest->remove_prefix(nl == std::string_view::npos ? rest->size() : nl + 1);
    return line;
}

bool FolderIsEmpty() {
    DIR* d = opendir(".");
    if (!d) return true;
    bool empty = true;
    while (dirent* e = readdir(d)) {
        if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0) empty = false;
    }
    closedir(d);
    return empty;
}

}  // namespace

// Uploads land in the current folder; each run moves into a folder of its own to check for
// leftovers, and back out again (libFuzzer reads its corpus by relative paths).
int g_home = -1;
std::string g_scratch;

// Crash files must land where the run started, not in the scratch folder: unless the caller
// chose a place, libFuzzer is given the starting folder as artifact prefix.
std::vector<char*> g_argv;
std::string g_prefixFlag;

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) {
    g_scratch = qm_fuzz::ScratchDir("qmcgi-fuzz");
    std::atexit([] { rmdir(g_scratch.c_str()); });  // empty unless a run leaked an upload
    g_home = open(".", O_RDONLY | O_DIRECTORY);
    char cwd[4096];
    if (g_home < 0 || !getcwd(cwd, sizeof cwd)) abort();
    bool hasPrefix = false;
    for (int i = 0; i < *argc; ++i) {
        if (std::strncmp((*argv)[i], "-artifact_prefix=", 17) == 0) hasPrefix = true;
    }
    if (!hasPrefix) {
        g_prefixFlag = std::string("-artifact_prefix=") + cwd + "/";
        g_argv.assign(*argv, *argv + *argc);
        g_argv.insert(g_argv.begin() + 1, g_prefixFlag.data());
        g_argv.push_back(nullptr);
        *argc += 1;
        *argv = g_argv.data();
    }
    return 0;
}

int RunOne(const std::uint8_t* data, std::size_t size);

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (chdir(g_scratch.c_str()) != 0) abort();
    RunOne(data, size);
    if (fchdir(g_home) != 0) abort();
    return 0;
}

int RunOne(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    std::map<std::string, std::string> env;
    env["REQUEST_METHOD"] = TakeLine(&rest);
    env["CONTENT_TYPE"] = TakeLine(&rest);
    env["QUERY_STRING"] = TakeLine(&rest);
    std::string_view paths = TakeLine(&rest);
    auto bar = paths.find('|');
    env["PATH_INFO"] = paths.substr(0, bar);
    env["PATH_TRANSLATED"] = bar == std::string_view::npos ? "" : paths.substr(bar + 1);
    env["CONTENT_LENGTH"] = std::to_string(rest.size());
    if (rest.size() > 2 && rest[0] == '#') {
        auto end = rest.find('#', 1);
        if (end != std::string_view::npos) {
            env["CONTENT_LENGTH"] = rest.substr(1, end - 1);
            rest.remove_prefix(end + 1);
        }
    }
    std::string body(rest);  // heap copy: reads past the end show up
    std::size_t pos = 0;
    {
        qm::cgi::CgiRequest req([&](const char* n) -> const char* {
            auto it = env.find(n);
            return it == env.end() ? nullptr : it->second.c_str();
        });
        bool ok = req.ReadRequest([&](char* buf, std::size_t max) {
            std::size_t n = std::min(max, body.size() - pos);
            std::memcpy(buf, body.data() + pos, n);
            pos += n;
            return n;
        });
        if (ok) {
            if (req.PairCount() < 1 || req.PartCount() > req.PairCount()) abort();
            for (const auto& f : req.TempFiles()) {
                if (!f.empty() && access(f.c_str(), F_OK) != 0) abort();
            }
            std::string text;
            qm::cgigw::BuildRequestText(req, "/opt/q/bin", &text);
            if (const char* name = req.GetValue("SaveFileName")) {
                std::string root = qm::cgigw::DocumentRoot(req.Env(qm::cgi::CgiVar::kPathInfo),
                                                           req.Env(qm::cgi::CgiVar::kPathTranslated));
                // The root comes from the server and may hold anything; the part the client
                // named must not climb out of it.
                if (auto t = qm::cgigw::TargetPath(root, name)) {
                    std::string base = qm::platform::ToPosixPath(root);
                    if (t->size() > qm::cgigw::kMaxTargetPath || t->compare(0, base.size(), base) != 0)
                        abort();
                    std::string rel = "/" + t->substr(base.size()) + "/";
                    if (rel.find("/../") != std::string::npos) abort();
                }
            }
            req.PartTempFile("ImageFile");
            req.PartContentType("postfile");
        } else if (req.PartCount() != 0) {
            abort();
        }
    }
    if (!FolderIsEmpty()) abort();
    return 0;
}
