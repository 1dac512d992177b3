// Reverse lookups with a bound on time: the name service runs on a helper thread that the
// caller stops waiting for when the time is up.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "qmrslv.h"

namespace {

struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool found = false;
    std::string name;
    bool exited = false;  // guarded by the helpers' mutex: nothing left but returning
};

// Every helper thread is kept until it has finished and is joined: a helper may outlive the
// caller that gave up on it, and the library must not be unloaded under it. The table is
// never destroyed, so no static destructor runs under a helper either.
struct Helpers {
    std::mutex mutex;
    std::condition_variable done;
    int live = 0;
    std::vector<std::pair<std::shared_ptr<Lookup>, std::thread>> threads;
};

std::atomic<Helpers*> g_helpers{nullptr};

Helpers& Live() {
    Helpers* h = g_helpers.load();
    if (!h) {
        auto* made = new Helpers;
        if (g_helpers.compare_exchange_strong(h, made)) h = made;
        else delete made;
    }
    return *h;
}

std::chrono::milliseconds Bound() {
    const char* v = std::getenv("QM_RESOLVER_TIMEOUT_MS");
    int ms = v ? std::atoi(v) : 0;
    return std::chrono::milliseconds(ms > 0 ? ms : 3000);
}

bool ParseAddress(const char* text, sockaddr_storage& sa, socklen_t& len) {
    std::memset(&sa, 0, sizeof sa);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&sa);
    if (inet_pton(AF_INET, text, &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        len = sizeof *v4;
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&sa);
    if (inet_pton(AF_INET6, text, &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        len = sizeof *v6;
        return true;
    }
    return false;
}

void Resolve(std::shared_ptr<Lookup> job, sockaddr_storage sa, socklen_t len) {
    char host[NI_MAXHOST] = {};
    int rc = getnameinfo(reinterpret_cast<sockaddr*>(&sa), len, host, sizeof host, nullptr, 0,
                         NI_NAMEREQD);
    {
        std::lock_guard lock(job->mutex);
        job->found = rc == 0 && host[0] != '\0';
        job->name = host;
        job->finished = true;
    }
    job->done.notify_all();
    Helpers& h = Live();
    std::lock_guard lock(h.mutex);
    --h.live;
    job->exited = true;
    h.done.notify_all();
}

// The library is linked "nodelete": a helper still inside the name service when its caller
// lets the library go would otherwise return into unmapped code. So this runs only when the
// process ends; finished helpers are joined, running ones are left to the exit (their table is
// never destroyed), and the exit does not wait for a silent name service.
// Joins the helpers that have nothing left but returning; the caller holds the table's mutex.
void JoinFinished(Helpers& h) {
    std::erase_if(h.threads, [](auto& entry) {
        if (!entry.first->exited) return false;
        entry.second.join();
        return true;
    });
}

struct UnloadGuard {
    ~UnloadGuard() {
        Helpers* h = g_helpers.load();
        if (!h) return;  // no lookup ever ran
        std::lock_guard lock(h->mutex);
        JoinFinished(*h);
    }
} g_unloadGuard;

}  // namespace

extern "C" int LookupHostName(const char* address, char* buffer, int size) {
    if (!address || !buffer || size <= 0) return 0;
    buffer[0] = '\0';
    sockaddr_storage sa;
    socklen_t len = 0;
    if (!ParseAddress(address, sa, len)) return 0;
    auto job = std::make_shared<Lookup>();
    {
        Helpers& h = Live();
        std::lock_guard lock(h.mutex);
        // Helpers whose lookups have ended are joined here, so they do not pile up.
        JoinFinished(h);
        try {
            h.threads.emplace_back(job, std::thread(Resolve, job, sa, len));
            ++h.live;
        } catch (...) {
            return 0;
        }
    }
    std::unique_lock lock(job->mutex);
    if (!job->done.wait_for(lock, Bound(), [&] { return job->finished; })) return 0;
    if (!job->found) return 0;
    size_t n = std::min(job->name.size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, job->name.data(), n);
    buffer[n] = '\0';
    return 1;
}
