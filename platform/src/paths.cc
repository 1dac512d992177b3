// Where the installation root is, and how Windows-style paths map onto it.
#include "qm/platform/paths.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace qm::platform {

namespace {

std::string ExecutableFolder() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    if (ec) return ".";
    return exe.parent_path().string();
}

std::string StripTrailingSlash(std::string p) {
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    return p;
}

}  // namespace

std::string InstallRoot() {
    if (const char* env = std::getenv("QM_ROOT"); env && *env) {
        return StripTrailingSlash(ToPosixPath(env));
    }
    auto parent = std::filesystem::path(ExecutableFolder()).parent_path().string();
    return parent.empty() ? std::string("/") : StripTrailingSlash(parent);
}

std::string RootPath(std::string_view relative) {
    std::string rel = ToPosixPath(relative);
    while (!rel.empty() && rel.front() == '/') rel.erase(rel.begin());
    std::string root = InstallRoot();
    if (rel.empty()) return root;
    return root == "/" ? "/" + rel : root + "/" + rel;
}

std::string ToPosixPath(std::string_view path) {
    // A drive prefix means nothing here; what follows it is taken as an absolute path.
    if (path.size() >= 2 && path[1] == ':' &&
        ((path[0] >= 'A' && path[0] <= 'Z') || (path[0] >= 'a' && path[0] <= 'z'))) {
        path.remove_prefix(2);
    }
    std::string out;
    out.reserve(path.size());
    for (char c : path) {
        char s = (c == '\\') ? '/' : c;
        if (s == '/' && !out.empty() && out.back() == '/') continue;
        out.push_back(s);
    }
    return out;
}

std::string ExecutablePath() {
    std::error_code ec;
    auto exe = std::filesystem::read_symlink("/proc/self/exe", ec);
    return ec ? std::string() : exe.string();
}

bool MakeDirectories(const std::string& path) {
    std::error_code ec;
    std::filesystem::create_directories(path, ec);
    return std::filesystem::is_directory(path, ec);
}

}  // namespace qm::platform
