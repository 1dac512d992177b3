// Loading shared libraries by their Windows-era names.
#include "qm/platform/library.h"

#include <dirent.h>
#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <strings.h>

#include <string>
#include <vector>

#include "qm/platform/paths.h"

namespace qm::platform {

namespace {

thread_local std::string g_lastError;

// "QMRR.dll" → "QMRR", "libQMTAG.so" → "QMTAG": the base name we match case-insensitively.
std::string BaseName(std::string_view name) {
    auto slash = name.find_last_of("/\\");
    if (slash != std::string_view::npos) name.remove_prefix(slash + 1);
    auto endsWith = [&](std::string_view suffix) {
        return name.size() > suffix.size() &&
               strncasecmp(name.data() + name.size() - suffix.size(), suffix.data(),
                           suffix.size()) == 0;
    };
    if (endsWith(".dll")) name.remove_suffix(4);
    else if (endsWith(".so")) name.remove_suffix(3);
    if (name.size() > 3 && strncasecmp(name.data(), "lib", 3) == 0) name.remove_prefix(3);
    return std::string(name);
}

std::string FolderOfThisLibrary() {
    Dl_info info{};
    if (dladdr(reinterpret_cast<void*>(&FolderOfThisLibrary), &info) == 0 || !info.dli_fname) {
        return {};
    }
    std::string p = info.dli_fname;
    auto slash = p.rfind('/');
    return slash == std::string::npos ? std::string() : p.substr(0, slash);
}

std::string FindInFolder(const std::string& folder, const std::string& wanted) {
    if (folder.empty()) return {};
    DIR* d = opendir(folder.c_str());
    if (!d) return {};
    std::string exact, folded;
    while (dirent* e = readdir(d)) {
        if (wanted == e->d_name) {
            exact = e->d_name;
            break;
        }
        if (folded.empty() && strcasecmp(wanted.c_str(), e->d_name) == 0) folded = e->d_name;
    }
    closedir(d);
    const std::string& hit = exact.empty() ? folded : exact;
    return hit.empty() ? std::string() : folder + "/" + hit;
}

}  // namespace

std::string ResolveLibraryPath(std::string_view name) {
    std::string base = BaseName(name);
    if (base.empty()) return {};
    std::string file = "lib" + base + ".so";
    for (const std::string& folder : {RootPath("bin"), FolderOfThisLibrary()}) {
        if (auto p = FindInFolder(folder, file); !p.empty()) return p;
    }
    return {};
}

LibraryHandle LoadLibraryByName(std::string_view name) {
    std::string path = ResolveLibraryPath(name);
    // Not in our folders: let the dynamic loader search its usual path under the exact name.
    if (path.empty()) path = "lib" + BaseName(name) + ".so";
    void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) {
        const char* e = dlerror();
        g_lastError = e ? e : "cannot load " + path;
    }
    return h;
}

void* LibrarySymbol(LibraryHandle lib, const char* symbol) {
    if (!lib || !symbol) return nullptr;
    dlerror();
    void* p = dlsym(lib, symbol);
    if (!p) {
        const char* e = dlerror();
        g_lastError = e ? e : std::string("no symbol ") + symbol;
    }
    return p;
}

void* LibraryOwnFunction(LibraryHandle lib, const char* symbol) {
    void* p = LibrarySymbol(lib, symbol);
    if (!p) return nullptr;
    // dlsym searches the library and everything it depends on; only the library's own
    // definitions count, so "exit" (found in the C library) is not one of them.
    link_map* own = nullptr;
    link_map* found = nullptr;
    ElfW(Sym)* entry = nullptr;
    Dl_info info{};
    if (dlinfo(lib, RTLD_DI_LINKMAP, &own) != 0 || !own ||
        dladdr1(p, &info, reinterpret_cast<void**>(&found), RTLD_DL_LINKMAP) == 0 || found != own ||
        dladdr1(p, &info, reinterpret_cast<void**>(&entry), RTLD_DL_SYMENT) == 0 || !entry ||
        info.dli_saddr != p) {
        g_lastError = std::string(symbol) + " is not defined by the library itself";
        return nullptr;
    }
    const unsigned type = ELF64_ST_TYPE(entry->st_info);
    if (type != STT_FUNC && type != STT_GNU_IFUNC) {
        g_lastError = std::string(symbol) + " is not a function";
        return nullptr;
    }
    return p;
}

int FreeLibraryHandle(LibraryHandle lib) {
    if (!lib) return -1;
    return dlclose(lib) == 0 ? 0 : -1;
}

std::string LibraryError() { return g_lastError; }

}  // namespace qm::platform
