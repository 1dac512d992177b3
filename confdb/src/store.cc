// Loading the store and the resolver when the library is loaded, and freeing them at unload.
#include "store.h"

#include <chrono>
#include <condition_variable>

#include "qm/platform/library.h"
#include "trace.h"

namespace qm::confdb {
namespace {

struct Loaded {
    platform::LibraryHandle storeLib = nullptr;
    platform::LibraryHandle resolverLib = nullptr;
    StoreApi api{};
    LookupFunction lookup = nullptr;
    bool ready = false;
};

Loaded g_loaded;
std::mutex g_loadMutex;
std::mutex g_section;
bool g_rewriting = false;
std::mutex g_registrationMutex;
std::condition_variable g_registrationDone;
int g_registrations = 0;

template <typename F>
bool Fetch(platform::LibraryHandle lib, const char* name, F& slot) {
    slot = reinterpret_cast<F>(platform::LibrarySymbol(lib, name));
    if (!slot) DB_ERROR("QMDBMGR: cannot find %s in the store library", name);
    return slot != nullptr;
}

#define FETCH(name) ok = Fetch(lib, #name, api.name) && ok

bool FetchAll(platform::LibraryHandle lib, StoreApi& api) {
    bool ok = true;
    FETCH(ctThrdInit);
    FETCH(ctThrdTerm);
    FETCH(ctThrdExit);
    FETCH(ctThrdCreate);
    FETCH(INTISAM);
    FETCH(CLISAM);
    FETCH(OPNIFIL);
    FETCH(CREIFIL);
    FETCH(CLIFIL);
    FETCH(CMPIFIL);
    FETCH(ADDREC);
    FETCH(RWTREC);
    FETCH(DELREC);
    FETCH(EQLREC);
    FETCH(GTREC);
    FETCH(GTEREC);
    FETCH(FRSREC);
    FETCH(NXTREC);
    FETCH(LSTREC);
    FETCH(FRSSET);
    FETCH(NXTSET);
    FETCH(LSTSET);
    FETCH(PRVSET);
    FETCH(TFRMKEY);
    FETCH(LKISAM);
    FETCH(UPDCURI);
    FETCH(GETCURP);
    FETCH(SETCURI);
    FETCH(DATENT);
    return ok;
}

// Steps 1 and 2 of the library load. The old platform check picks "qmrslv11" only on
// Windows NT 3.51 and Windows 95; no such platform exists here, so it is always "qmrslv22".
bool LoadLocked() {
    if (g_loaded.ready) return true;
    Loaded l;
    l.resolverLib = platform::LoadLibraryByName("qmrslv22");
    if (!l.resolverLib) {
        DB_ERROR("QMDBMGR: cannot load qmrslv22: %s", platform::LibraryError().c_str());
        return false;
    }
    l.lookup = reinterpret_cast<LookupFunction>(
        platform::LibrarySymbol(l.resolverLib, "LookupHostName"));
    l.storeLib = l.lookup ? platform::LoadLibraryByName("ctreestd") : nullptr;
    bool ok = l.storeLib && FetchAll(l.storeLib, l.api);
    if (ok) {
        int r = l.api.ctThrdInit(2, 0, 0);
        if (r != 0) DB_ERROR("QMDBMGR: ctThrdInit nRet=%d", r);
        ok = r == 0;
    }
    if (!ok) {
        DB_ERROR("QMDBMGR: library load failed: %s", platform::LibraryError().c_str());
        if (l.storeLib) platform::FreeLibraryHandle(l.storeLib);
        platform::FreeLibraryHandle(l.resolverLib);
        return false;
    }
    l.ready = true;
    g_loaded = l;
    return true;
}

struct LibraryLifetime {
    LibraryLifetime() {
        std::lock_guard lock(g_loadMutex);
        LoadLocked();
    }
    ~LibraryLifetime() {
        {
            // Registration threads run code of this library and of the store.
            std::unique_lock lock(g_registrationMutex);
            g_registrationDone.wait_for(lock, std::chrono::seconds(30),
                                        [] { return g_registrations == 0; });
            if (g_registrations != 0) return;  // leave everything loaded rather than crash
        }
        std::lock_guard lock(g_loadMutex);
        if (!g_loaded.ready) return;
        if (g_loaded.api.ctThrdTerm() == 0) {
            platform::FreeLibraryHandle(g_loaded.storeLib);
            platform::FreeLibraryHandle(g_loaded.resolverLib);
        }
        g_loaded.ready = false;
    }
};

LibraryLifetime g_lifetime;

}  // namespace

const StoreApi* Store() {
    std::lock_guard lock(g_loadMutex);
    // A load that failed at start (the store installed later, say) is tried once more.
    return LoadLocked() ? &g_loaded.api : nullptr;
}

LookupFunction Resolver() {
    std::lock_guard lock(g_loadMutex);
    return g_loaded.ready ? g_loaded.lookup : nullptr;
}

std::mutex& RewriteSection() { return g_section; }
bool& RewriteFlag() { return g_rewriting; }

void RegistrationStarted() {
    std::lock_guard lock(g_registrationMutex);
    ++g_registrations;
}

void RegistrationEnded() {
    std::lock_guard lock(g_registrationMutex);
    --g_registrations;
    g_registrationDone.notify_all();
}

}  // namespace qm::confdb
