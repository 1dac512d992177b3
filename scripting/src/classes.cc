// Classes in the registry: registration scripts, ProgID lookup and in-process servers loaded
// from HKEY_CLASSES_ROOT\CLSID\{clsid}\InprocServer32.
//
// A registration script is a list of lines, each one registry entry below HKEY_CLASSES_ROOT:
//
//     [!]KEY\PATH [@VALUE] = 'text'
//
// without "@VALUE" the text is the key's default value (the value with the empty name). A key
// marked "!" belongs to the server alone: unregistration deletes it with all below it. Other
// keys are shared (such as CLSID) and are left in place. Empty lines and lines starting with
// ";" are ignored.
#include <dlfcn.h>
#include <limits.h>
#include <stdlib.h>

#include <mutex>
#include <string>
#include <vector>

#include "qm/com/com.h"
#include "qm/platform/registry.h"

using namespace qm::com;
namespace platform = qm::platform;

namespace {

constexpr auto kHKCR = platform::RegRoot::ClassesRoot;

std::string_view Trim(std::string_view s) {
    while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
    while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) s.remove_suffix(1);
    return s;
}

struct Entry {
    bool owned = false;
    std::string key, value, text;
};

bool ParseLine(std::string_view line, Entry* e) {
    auto eq = line.find(" = ");
    if (eq == std::string_view::npos) return false;
    std::string_view left = Trim(line.substr(0, eq));
    std::string_view right = Trim(line.substr(eq + 3));
    if (right.size() < 2 || right.front() != '\'' || right.back() != '\'') return false;
    e->text = std::string(right.substr(1, right.size() - 2));
    if (!left.empty() && left.front() == '!') {
        e->owned = true;
        left.remove_prefix(1);
    }
    if (auto at = left.find(" @"); at != std::string_view::npos) {
        e->value = std::string(Trim(left.substr(at + 2)));
        left = Trim(left.substr(0, at));
        if (e->value.empty()) return false;
    }
    e->key = std::string(left);
    return !e->key.empty();
}

void Substitute(std::string* s, std::string_view name, const std::string& by) {
    for (auto at = s->find(name); at != std::string::npos; at = s->find(name, at + by.size())) {
        s->replace(at, name.size(), by);
    }
}

// One loaded in-process server.
struct Server {
    std::string path;
    void* handle;
    HRESULT (*getClassObject)(const CLSID&, const IID&, void**);
    HRESULT (*canUnloadNow)();
};

std::mutex g_serversLock;
std::vector<Server> g_servers;

std::string DefaultValue(const std::string& key) {
    platform::RegValue v;
    if (platform::RegGetValue(kHKCR, key, "", &v) != 0 || v.type != platform::kRegSz) return {};
    return v.text;
}

}  // namespace

namespace qm::com {

HRESULT UpdateRegistryFromScript(std::string_view script, const std::string& modulePath,
                                 bool doRegister) {
    std::string folder = modulePath.substr(0, modulePath.find_last_of('/') + 1);
    if (folder.size() > 1) folder.pop_back();
    std::vector<Entry> entries;
    while (!script.empty()) {
        auto nl = script.find('\n');
        std::string_view line = Trim(script.substr(0, nl));
        script.remove_prefix(nl == std::string_view::npos ? script.size() : nl + 1);
        if (line.empty() || line.front() == ';') continue;
        Entry e;
        if (!ParseLine(line, &e)) return SELFREG_E_CLASS;
        Substitute(&e.text, "%MODULE%", modulePath);
        Substitute(&e.text, "%MODULEDIR%", folder);
        entries.push_back(std::move(e));
    }
    // Unregistering first also clears what an older registration left below owned keys.
    for (const Entry& e : entries) {
        if (e.owned) {
            int rc = platform::RegDeleteKey(kHKCR, e.key);
            if (rc != 0 && rc != 2) return SELFREG_E_CLASS;
        }
    }
    if (!doRegister) return S_OK;
    for (const Entry& e : entries) {
        if (platform::RegSetString(kHKCR, e.key, e.value, e.text, true) != 0) {
            return SELFREG_E_CLASS;
        }
    }
    return S_OK;
}

std::string ModulePathOf(const void* address) {
    Dl_info info{};
    if (dladdr(address, &info) == 0 || !info.dli_fname) return {};
    char resolved[PATH_MAX];
    if (!realpath(info.dli_fname, resolved)) return info.dli_fname;
    return resolved;
}

}  // namespace qm::com

extern "C" HRESULT CLSIDFromProgID(const OLECHAR* progId, CLSID* out) {
    if (!progId || !out) return E_INVALIDARG;
    UINT n = 0;
    while (progId[n] && n < 256) ++n;
    std::string name = BstrToAnsi(progId, n);
    if (name.empty() || name.find_first_of("\\/") != std::string::npos) return CO_E_CLASSSTRING;
    // A version-independent ProgID may name its class only through CurVer.
    for (int hop = 0; hop < 2; ++hop) {
        if (platform::RegOpenKey(kHKCR, name) != 0) return REGDB_E_CLASSNOTREG;
        std::string clsid = DefaultValue(name + "\\CLSID");
        if (!clsid.empty()) return ParseGuid(clsid, out) ? S_OK : REGDB_E_CLASSNOTREG;
        name = DefaultValue(name + "\\CurVer");
        if (name.empty() || name.find_first_of("\\/") != std::string::npos) break;
    }
    return REGDB_E_CLASSNOTREG;
}

extern "C" HRESULT CoGetClassObject(const CLSID& clsid, const IID& iid, void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    std::string path = DefaultValue("CLSID\\" + GuidText(clsid) + "\\InprocServer32");
    if (path.empty()) return REGDB_E_CLASSNOTREG;
    std::unique_lock lock(g_serversLock);
    Server* server = nullptr;
    for (Server& s : g_servers)
        if (s.path == path) server = &s;
    if (!server) {
        void* h = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
        if (!h) return CO_E_DLLNOTFOUND;
        Server s{path, h,
                 reinterpret_cast<decltype(Server::getClassObject)>(dlsym(h, "DllGetClassObject")),
                 reinterpret_cast<decltype(Server::canUnloadNow)>(dlsym(h, "DllCanUnloadNow"))};
        if (!s.getClassObject) {
            dlclose(h);
            return CO_E_ERRORINDLL;
        }
        g_servers.push_back(s);
        server = &g_servers.back();
    }
    auto get = server->getClassObject;
    lock.unlock();
    return get(clsid, iid, out);
}

extern "C" HRESULT CoCreateInstance(const CLSID& clsid, IUnknown* outer, const IID& iid,
                                    void** out) {
    if (!out) return E_POINTER;
    *out = nullptr;
    IClassFactory* factory = nullptr;
    HRESULT hr = CoGetClassObject(clsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
    if (Failed(hr)) return hr;
    hr = factory->CreateInstance(outer, iid, out);
    factory->Release();
    return hr;
}

extern "C" void CoFreeUnusedLibraries(void) {
    std::lock_guard lock(g_serversLock);
    for (auto it = g_servers.begin(); it != g_servers.end();) {
        if (it->canUnloadNow && it->canUnloadNow() == S_OK) {
            dlclose(it->handle);
            it = g_servers.erase(it);
        } else {
            ++it;
        }
    }
}
