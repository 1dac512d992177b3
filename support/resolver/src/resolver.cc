// Reverse lookups with a bound on time: the name service runs on a helper thread that the
// caller stops waiting for when the time is up.
#include <arpa/inet.h>
#include <netdb.h>
#include <sys/socket.h>

#include <chrono>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "qmrslv.h"

namespace {

struct Lookup {
    std::mutex mutex;
    std::condition_variable done;
    bool finished = false;
    bool found = false;
    std::string name;
};

// Helpers still running after their caller gave up; the library waits for them before it
// is unloaded, as their code lives in it.
std::mutex g_liveMutex;
std::condition_variable g_liveDone;
int g_live = 0;

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
    std::lock_guard lock(g_liveMutex);
    --g_live;
    g_liveDone.notify_all();
}

struct UnloadGuard {
    ~UnloadGuard() {
        std::unique_lock lock(g_liveMutex);
        g_liveDone.wait_for(lock, Bound() * 2, [] { return g_live == 0; });
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
        std::lock_guard lock(g_liveMutex);
        ++g_live;
    }
    try {
        std::thread(Resolve, job, sa, len).detach();
    } catch (...) {
        std::lock_guard lock(g_liveMutex);
        --g_live;
        return 0;
    }
    std::unique_lock lock(job->mutex);
    if (!job->done.wait_for(lock, Bound(), [&] { return job->finished; })) return 0;
    if (!job->found) return 0;
    size_t n = std::min(job->name.size(), static_cast<size_t>(size - 1));
    std::memcpy(buffer, job->name.data(), n);
    buffer[n] = '\0';
    return 1;
}
