// Loading the store and the resolver when the library is loaded, and freeing them at unload.
#include "store.h"

#include <chrono>
#include <atomic>
#include <condition_variable>
#include <memory>
#include <thread>
#include <vector>

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
// Background threads; never destroyed, so that no static destructor runs under them.
struct Background {
    std::mutex mutex;
    std::condition_variable done;
    int running = 0;
    std::vector<std::pair<std::shared_ptr<std::atomic<bool>>, std::thread>> threads;
};

std::atomic<Background*> g_background{nullptr};
// Set when the library goes: a registration ends at its next device instead of looking up
// the rest (each lookup can take the resolver's whole bound when the name service is silent).
std::atomic<bool> g_stopping{false};

Background& Threads() {
    Background* b = g_background.load();
    if (!b) {
        auto* made = new Background;
        if (g_background.compare_exchange_strong(b, made)) b = made;
        else delete made;
    }
    return *b;
}

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
        if (Background* b = g_background.load()) {
            // Registration threads run code of this library, of the store and the resolver.
            g_stopping.store(true);
            {
                std::unique_lock lock(b->mutex);
                b->done.wait_for(lock, std::chrono::seconds(30), [&] { return b->running == 0; });
                if (b->running != 0) {
                    for (auto& [finished, t] : b->threads) t.detach();
                    b->threads.clear();
                    return;  // leave everything loaded rather than pull it from under them
                }
                for (auto& [finished, t] : b->threads) t.join();
                b->threads.clear();
            }
            delete g_background.exchange(nullptr);
        }
        // This library is never unloaded (linked "nodelete"), so this runs only as the process
        // ends: the store and the resolver stay loaded to the very end, where the loader runs
        // their own destructors after everything that might still call them.
        std::lock_guard lock(g_loadMutex);
        if (!g_loaded.ready) return;
        g_loaded.api.ctThrdTerm();
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

bool BackgroundStopping() { return g_stopping.load(); }

bool StartBackground(void (*body)()) {
    Background& b = Threads();
    std::lock_guard lock(b.mutex);
    // Threads that have finished are joined here, so they do not pile up.
    std::erase_if(b.threads, [](auto& entry) {
        if (!entry.first->load()) return false;
        entry.second.join();
        return true;
    });
    auto finished = std::make_shared<std::atomic<bool>>(false);
    try {
        std::thread t([body, finished] {
            body();
            Background& b = Threads();
            std::lock_guard lock(b.mutex);
            --b.running;
            finished->store(true);
            b.done.notify_all();
        });
        ++b.running;
        b.threads.emplace_back(finished, std::move(t));
    } catch (...) {
        return false;
    }
    return true;
}

}  // namespace qm::confdb
