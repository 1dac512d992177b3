// Registry of live upload files, readable from a signal handler.
//
// A CGI is often ended by its server with SIGTERM when the client goes away, and a closed
// output gives SIGPIPE; without a handler those would leave uploads behind in the server's
// folder. The handler may only use async-signal-safe calls, so the paths sit in a fixed table
// of plain character arrays, published with an atomic flag per slot.
#include "upload_files.h"

#include <fcntl.h>
#include <limits.h>
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace qm::cgi::detail {

namespace {

constexpr int kSlots = 512;  // a request has at most 255 parts

struct Slot {
    std::atomic<bool> used{false};
    char path[PATH_MAX];
};

Slot g_slots[kSlots];
std::mutex g_lock;
std::once_flag g_handlersOnce;

constexpr int kFatalSignals[] = {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGPIPE, SIGALRM};

void OnFatalSignal(int sig) {
    for (auto& s : g_slots) {
        if (s.used.load(std::memory_order_acquire)) ::unlink(s.path);
    }
    ::signal(sig, SIG_DFL);
    ::raise(sig);
}

// Only where the program kept the default action: a program with its own handlers is
// responsible for its own exit.
void InstallHandlers() {
    for (int sig : kFatalSignals) {
        struct sigaction old {};
        if (::sigaction(sig, nullptr, &old) != 0 || old.sa_handler != SIG_DFL) continue;
        struct sigaction sa {};
        sa.sa_handler = OnFatalSignal;
        sigemptyset(&sa.sa_mask);
        ::sigaction(sig, &sa, nullptr);
    }
}

}  // namespace

int CreateUploadFile(std::string* name, int* slot) {
    std::call_once(g_handlersOnce, InstallHandlers);
    char cwd[PATH_MAX];
    if (!::getcwd(cwd, sizeof cwd)) return -1;
    std::lock_guard lock(g_lock);
    int free = -1;
    for (int i = 0; i < kSlots; ++i) {
        if (!g_slots[i].used.load(std::memory_order_relaxed)) {
            free = i;
            break;
        }
    }
    if (free < 0) return -1;
    char templ[] = "./.qmcgi-XXXXXX";
    int fd = ::mkostemp(templ, O_CLOEXEC);  // mode 0600
    if (fd < 0) return -1;
    int len = std::snprintf(g_slots[free].path, PATH_MAX, "%s/%s", cwd, templ + 2);
    if (len < 0 || len >= PATH_MAX) {
        ::close(fd);
        ::unlink(templ);
        return -1;
    }
    g_slots[free].used.store(true, std::memory_order_release);
    *name = templ;
    *slot = free;
    return fd;
}

void RemoveUploadFile(int slot) {
    if (slot < 0 || slot >= kSlots) return;
    std::lock_guard lock(g_lock);
    if (!g_slots[slot].used.load(std::memory_order_relaxed)) return;
    ::unlink(g_slots[slot].path);
    g_slots[slot].used.store(false, std::memory_order_release);
}

}  // namespace qm::cgi::detail
