// The handshake with the trap-registration helper: wait for a helper that is ending, make
// sure one runs, hand it the command and the address through its block, and wait for its
// acknowledgement on the same event.
#include "qntpset.h"

#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <utility>

#include "core.h"
#include "qm/platform/named_objects.h"
#include "qm/platform/process.h"

namespace qm::ntfdb {

namespace {

constexpr int kRounds = 10;
constexpr int kMutexPolls = 50;
constexpr int kPollMs = 100;

// One request at a time from this process: the helper's block holds one command.
std::mutex g_requestMutex;

}  // namespace

unsigned HandshakeWaitMs() {
    if (const char* v = std::getenv("QM_QNTPSET_WAIT_MS")) {
        long n = std::strtol(v, nullptr, 10);
        if (n > 0) return static_cast<unsigned>(n);
    }
    return 30000;
}

int RequestTrapRegistration(int command, const std::string& address) {
    if (command != kRegisterTrap && command != kUnregisterTrap) return -2;
    std::lock_guard guard(g_requestMutex);
    const unsigned waitMs = HandshakeWaitMs();
    NTF_TRACE("QNTFDB: qntpset[IN] command=%d address=%s", command, address.c_str());

    // The helper's event carries both a request and its acknowledgement, so requesters of
    // every process (the monitor, the notifier, the tools, qntpset's own client) take turns.
    platform::NamedMutex turn;
    if (int c = turn.Create("QntpsetRequester"); (c != 0 && c != 183) || turn.Wait(waitMs) != 0) {
        NTF_ERROR("QNTFDB: qntpset[ER_OUT] no turn among the requesters within %u ms", waitMs);
        return -1;
    }
    struct Turn {
        platform::NamedMutex& m;
        ~Turn() { m.Release(); }
    } releaseTurn{turn};

    // A helper that is ending says so with this event; the next one must not be asked before.
    {
        platform::NamedEvent ending;
        if (ending.Open("QntpsetEventChkEndDll") == 0) {
            int w = ending.Wait(waitMs);
            if (w != 0) {
                NTF_ERROR("QNTFDB: qntpset[ER_OUT] waiting for the ending helper: %d", w);
                return -1;
            }
        }
    }

    platform::NamedEvent event;
    bool handed = false;
    for (int round = 0; round < kRounds && !handed; ++round) {
        platform::NamedMutex marker;
        if (marker.Open("QntpsetMutex") != 0) {
            int started = platform::StartDetached({"qntpset.exe"});
            if (started != 0) {
                NTF_ERROR("QNTFDB: qntpset[ER_OUT] cannot start qntpset.exe: %d", started);
                return -102;
            }
            bool up = false;
            for (int i = 0; i < kMutexPolls && !up; ++i) {
                SleepMs(kPollMs);
                up = marker.Open("QntpsetMutex") == 0;
            }
            if (!up) {
                NTF_ERROR("QNTFDB: qntpset[ER_OUT] qntpset.exe did not come up");
                return -103;
            }
        }
        int created = event.Create("QntpsetEvent", true);
        platform::SharedBlock block;
        if ((created == 0 || created == 183) && block.Open("QntpsetrMap") == 0) {
            // Command and its NUL, then the address and its NUL.
            std::string text = std::to_string(command);
            text.push_back('\0');
            text += address;
            text.push_back('\0');
            if (block.Write(0, std::span<const char>(text.data(), text.size())) == 0 &&
                event.Set() == 0) {
                handed = true;
            }
            block.Close();
        }
        if (!handed) {
            event.Close();
            SleepMs(kPollMs);
        }
    }
    if (!handed) {
        NTF_ERROR("QNTFDB: qntpset[ER_OUT] the helper's block could not be written");
        return -104;
    }
    int w = event.Wait(waitMs);
    event.Close();
    if (w != 0) {
        NTF_ERROR("QNTFDB: qntpset[ER_OUT] no acknowledgement within %u ms (%d); the database "
                  "change stays", waitMs, w);
        return -104;
    }
    NTF_TRACE("QNTFDB: qntpset[OUT] Ret=0");
    return 0;
}

namespace {

// One thread per process makes the queued requests in order. It is started with the first
// request and joined at the end of the process: the library is linked so that it is never
// unloaded before (a page's tag library that uses it comes and goes with each request, and
// the thread must not lose its code under it).
class Registrations {
public:
    ~Registrations() {
        {
            std::lock_guard lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        if (worker_.joinable()) worker_.join();
    }

    void Queue(int command, const std::string& address) {
        {
            std::lock_guard lock(mutex_);
            queue_.emplace_back(command, address);
            if (!worker_.joinable()) worker_ = std::thread([this] { Run(); });
        }
        wake_.notify_all();
    }

private:
    void Run() {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [&] { return stop_ || !queue_.empty(); });
            // Whatever was queued is still made before the thread ends: a watch's printer is
            // registered even when the program ends right after the watch.
            if (queue_.empty()) return;
            auto [command, address] = std::move(queue_.front());
            queue_.pop_front();
            lock.unlock();
            int r = RequestTrapRegistration(command, address);
            if (r != 0) NTF_ERROR("QNTFDB: trap registration %d for %s nRet=%d", command, address.c_str(), r);
            lock.lock();
        }
    }

    std::mutex mutex_;
    std::condition_variable wake_;
    std::deque<std::pair<int, std::string>> queue_;
    bool stop_ = false;
    std::thread worker_;
};

Registrations& TheRegistrations() {
    static Registrations registrations;
    return registrations;
}

}  // namespace

void QueueTrapRegistration(int command, const std::string& address) {
    NTF_TRACE("QNTFDB: qntpset queued command=%d address=%s", command, address.c_str());
    TheRegistrations().Queue(command, address);
}


}  // namespace qm::ntfdb
