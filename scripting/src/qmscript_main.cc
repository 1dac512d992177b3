// qmscript: a small script host. It creates "Haldor.QMCOM" by its ProgID and drives it only
// through IDispatch, by method name, the way a server-side script does: initialise with the
// installation folder, open a request to a service, read the answer piece by piece and print
// it, close. --register/--unregister call a server library's registration exports.
#include <dlfcn.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "qm/com/com.h"
#include "qm/platform/paths.h"
#include "qm/platform/tool_options.h"

using namespace qm::com;
namespace platform = qm::platform;

namespace {

constexpr const char* kUsage =
    "usage: qmscript [--root DIR] [--dir FOLDER] [--service NAME] [NAME=value ...]\n"
    "       qmscript [--root DIR] --register LIBRARY | --unregister LIBRARY\n"
    "\n"
    "Creates Haldor.QMCOM, opens a request to the service (default qmintpr) through the\n"
    "request/response channel and prints the answer. The request carries the installation\n"
    "folder, the service, SERVER_ROOT, the CGI variables of the environment and the given\n"
    "pairs (for a page: LANGUAGE=en TEMPLATE=name.htm).\n"
    "\n"
    "  --dir FOLDER        folder holding the channel library (default <root>/bin)\n"
    "  --service NAME      the service that answers (default qmintpr)\n"
    "  --register LIB      writes the registry entries of an automation server library\n"
    "  --unregister LIB    removes them\n"
    "  --root DIR          installation root\n"
    "  -h, --help          this text\n";

constexpr const char* kCgiVariables[] = {
    "PATH_INFO",     "PATH_TRANSLATED", "GATEWAY_INTERFACE", "HTTP_ACCEPT",
    "HTTP_USER_AGENT", "HTTP_ACCEPT_LANGUAGE", "HTTP_HOST",   "HTTP_REFERER",
    "REMOTE_ADDR",   "REMOTE_HOST",     "SCRIPT_NAME",       "SERVER_NAME",
    "SERVER_PROTOCOL", "SERVER_PORT",   "SERVER_SOFTWARE",   "CONTENT_TYPE",
    "CONTENT_LENGTH", "REQUEST_METHOD", "QUERY_STRING",      "AUTH_TYPE",
};

// A late-bound object as a script sees it: methods called by name.
class Script {
public:
    explicit Script(IDispatch* object) : object_(object) {}
    ~Script() {
        if (object_) object_->Release();
    }
    // Calls `method` with the arguments in script order; *result gets the returned value.
    HRESULT Call(const char* method, std::vector<VARIANT*> args, VARIANT* result) {
        BSTR name = AnsiToBstr(method);
        if (!name) return E_OUTOFMEMORY;
        OLECHAR* names[] = {name};
        DISPID id = DISPID_UNKNOWN;
        HRESULT hr = object_->GetIDsOfNames(IID_NULL, names, 1, 0, &id);
        SysFreeString(name);
        if (Failed(hr)) return hr;
        // A script passes its variables by reference, the last argument first.
        std::vector<VARIANT> byRef(args.size());
        for (std::size_t i = 0; i < args.size(); ++i) {
            VARIANT& v = byRef[args.size() - 1 - i];
            VariantInit(&v);
            v.vt = VT_BYREF | VT_VARIANT;
            v.pvarVal = args[i];
        }
        DISPPARAMS params{byRef.data(), nullptr, static_cast<UINT>(byRef.size()), 0};
        return object_->Invoke(id, IID_NULL, 0, DISPATCH_METHOD, &params, result, nullptr, nullptr);
    }

private:
    IDispatch* object_;
};

using Var = OwnedVariant;

std::string HrText(HRESULT hr) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08X", static_cast<unsigned>(hr));
    return buf;
}

int Fail(const std::string& what) {
    std::fprintf(stderr, "qmscript: %s\n", what.c_str());
    return platform::kExitFailure;
}

int Register(const std::string& library, bool doRegister) {
    void* h = dlopen(library.c_str(), RTLD_NOW | RTLD_LOCAL);
    if (!h) return Fail(std::string("cannot load ") + library + ": " + dlerror());
    const char* name = doRegister ? "DllRegisterServer" : "DllUnregisterServer";
    auto fn = reinterpret_cast<HRESULT (*)()>(dlsym(h, name));
    int rc = platform::kExitOk;
    if (!fn) {
        rc = Fail(library + " has no " + name);
    } else if (HRESULT hr = fn(); Failed(hr)) {
        rc = Fail(std::string(name) + " failed: " + HrText(hr));
    }
    dlclose(h);
    return rc;
}

std::string RequestText(const std::string& dir, const std::string& service,
                        const std::vector<std::string>& pairs) {
    std::string t = dir + "|" + service + "|SERVER_ROOT=" + platform::RootPath("htdocs") + "|";
    for (const char* name : kCgiVariables) {
        const char* value = std::getenv(name);
        t.append(name).append("=").append(value ? value : "").append("|");
    }
    for (std::size_t i = 0; i < pairs.size(); ++i) t.append(i ? "|" : "").append(pairs[i]);
    return t;
}

int RunSession(const std::string& dir, const std::string& service,
               const std::vector<std::string>& pairs) {
    BSTR progId = AnsiToBstr("Haldor.QMCOM");
    CLSID clsid;
    HRESULT hr = progId ? CLSIDFromProgID(progId, &clsid) : E_OUTOFMEMORY;
    SysFreeString(progId);
    if (Failed(hr)) return Fail("Haldor.QMCOM is not registered: " + HrText(hr));
    IDispatch* object = nullptr;
    hr = CoCreateInstance(clsid, nullptr, IID_IDispatch, reinterpret_cast<void**>(&object));
    if (Failed(hr)) return Fail("cannot create Haldor.QMCOM: " + HrText(hr));
    Script qm(object);

    Var folder(dir), ok;
    if (Failed(hr = qm.Call("ShMemInit", {folder.get()}, ok.get()))) return Fail("ShMemInit: " + HrText(hr));
    if (!ok.v.boolVal) return Fail("ShMemInit: no channel library in " + dir);
    Var request(RequestText(dir, service, pairs)), opened;
    if (Failed(hr = qm.Call("ShMemOpen", {request.get()}, opened.get()))) return Fail("ShMemOpen: " + HrText(hr));
    if (opened.v.boolVal != 1) return Fail("ShMemOpen: the request was not taken");
    int rc = platform::kExitOk;
    for (;;) {
        Var mode, capacity(1024), data, count;
        if (Failed(hr = qm.Call("ShMemRead", {mode.get(), capacity.get(), data.get()}, count.get()))) {
            rc = Fail("ShMemRead: " + HrText(hr));
            break;
        }
        if (count.v.lVal < 0) {
            rc = Fail("ShMemRead: error " + std::to_string(count.v.lVal));
            break;
        }
        if (count.v.lVal == 0) break;
        std::string bytes = BstrToAnsi(data.v.bstrVal);
        std::fwrite(bytes.data(), 1, bytes.size(), stdout);
    }
    std::fflush(stdout);
    Var closed;
    qm.Call("ShMemClose", {}, closed.get());
    return rc;
}

}  // namespace

int main(int argc, char** argv) {
    std::string dir, service = "qmintpr", reg, unreg;
    platform::ToolOptions opts("qmscript", kUsage);
    opts.Text("dir", &dir).Text("service", &service).Text("register", &reg).Text("unregister", &unreg);
    if (auto rc = opts.Parse(argc, argv)) return *rc;
    if (!reg.empty() && !unreg.empty()) return opts.Usage("--register and --unregister exclude each other");
    if (!reg.empty()) return Register(reg, true);
    if (!unreg.empty()) return Register(unreg, false);
    if (dir.empty()) dir = platform::RootPath("bin");
    for (const std::string& pair : opts.operands()) {
        if (pair.find('=') == std::string::npos) return opts.Usage("not a NAME=value pair: " + pair);
    }
    int rc = RunSession(dir, service, opts.operands());
    CoFreeUnusedLibraries();
    return rc;
}
