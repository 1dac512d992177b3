// The interpreter's output callback carries only the host context given once at start, but
// many requests run at once; each runs Service on its own thread, so the thread identifies the
// request: a thread-local pointer leads the callback to that request's writer.
#include "page_host.h"

#include <poll.h>

#include <chrono>
#include <cstring>

#include "qm/platform/library.h"
#include "qmintpr/qmintpr.h"

namespace qm::httpd {

namespace {

constexpr size_t kGather = 8192;
// A page that waits on the network between writes (a discovery listing printers as they
// answer) should show each piece without waiting for 8 KB to gather.
constexpr auto kFlushAfter = std::chrono::milliseconds(50);

struct RequestSink {
    const PageWriter* writer;
    std::string buffer;
    bool gone = false;
    std::chrono::steady_clock::time_point lastFlush = std::chrono::steady_clock::now();

    bool Flush() {
        if (!buffer.empty() && !gone) gone = !(*writer)(buffer);
        buffer.clear();
        lastFlush = std::chrono::steady_clock::now();
        return !gone;
    }
};

thread_local RequestSink* t_sink = nullptr;

int32_t Output(void* /*hostContext*/, int32_t /*kind*/, int32_t count, const char* bytes) {
    RequestSink* sink = t_sink;
    if (!sink) return -1;
    if (count <= 0 || !bytes) return sink->Flush() ? 0 : -1;  // end of the page
    if (sink->gone) return -1;
    sink->buffer.append(bytes, static_cast<size_t>(count));
    if ((sink->buffer.size() >= kGather ||
         std::chrono::steady_clock::now() - sink->lastFlush >= kFlushAfter) &&
        !sink->Flush()) {
        return -1;
    }
    return 0;
}

// How often running pages are looked at: a page cancelled for its client or its deadline
// stops within this (plus its current statement or tag call).
constexpr auto kWatchEvery = std::chrono::milliseconds(100);

// True when the peer has closed the connection (or it broke). Data the client sent meanwhile
// (a pipelined request) is left unread.
bool ClientGone(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    int n = ::poll(&p, 1, 0);
    return n > 0 && (p.revents & (POLLRDHUP | POLLHUP | POLLERR | POLLNVAL)) != 0;
}

}  // namespace

struct PageHost::Running {
    int32_t cancel = 0;  // read by the interpreter on the page's thread
    std::chrono::steady_clock::time_point deadline;
    int clientFd;
    PageStop why = PageStop::None;
};

PageHost::~PageHost() { Release(); }

void PageHost::Watch() {
    std::unique_lock lock(mu_);
    while (!stopWatch_) {
        const auto now = std::chrono::steady_clock::now();
        for (Running* r : running_) {
            if (r->why != PageStop::None) continue;
            if (cancelAll_) r->why = PageStop::Shutdown;
            else if (now >= r->deadline) r->why = PageStop::Timeout;
            else if (r->clientFd >= 0 && ClientGone(r->clientFd)) r->why = PageStop::ClientGone;
            if (r->why != PageStop::None) __atomic_store_n(&r->cancel, 1, __ATOMIC_RELEASE);
        }
        // Woken early by a new page or CancelAll; the wait is the watch's period, not a hand-off.
        wake_.wait_for(lock, kWatchEvery);
    }
}

void PageHost::CancelAll() {
    std::lock_guard lock(mu_);
    cancelAll_ = true;
    for (Running* r : running_) {
        if (r->why == PageStop::None) r->why = PageStop::Shutdown;
        __atomic_store_n(&r->cancel, 1, __ATOMIC_RELEASE);
    }
    wake_.notify_all();
}

bool PageHost::Load(const std::string& libraryName, std::string* error) {
    library_ = platform::LoadLibraryByName(libraryName);
    if (!library_) {
        *error = "cannot load " + libraryName + ": " + platform::LibraryError();
        return false;
    }
    auto init = reinterpret_cast<QmServiceInitializeFn>(
        platform::LibrarySymbol(library_, "ServiceInitialize"));
    serviceFn_ = platform::LibrarySymbol(library_, "Service");
    cancelFn_ = platform::LibrarySymbol(library_, "ServiceWithCancel");
    releaseFn_ = platform::LibrarySymbol(library_, "ServiceRelease");
    if (!init || !serviceFn_ || !releaseFn_) {
        *error = libraryName + " lacks ServiceInitialize, Service or ServiceRelease";
        platform::FreeLibraryHandle(library_);
        library_ = nullptr;
        return false;
    }
    service_ = init(nullptr, nullptr, &Output);
    if (!service_) {
        *error = "ServiceInitialize failed";
        platform::FreeLibraryHandle(library_);
        library_ = nullptr;
        return false;
    }
    stopWatch_ = false;
    watcher_ = std::thread([this] { Watch(); });
    return true;
}

int PageHost::Run(std::string params, const PageWriter& writer, int clientFd, PageStop* why) {
    if (why) *why = PageStop::None;
    if (!service_) return -1;
    Running me;
    me.clientFd = clientFd;
    me.deadline = timeout_.count() > 0 ? std::chrono::steady_clock::now() + timeout_
                                       : std::chrono::steady_clock::time_point::max();
    {
        std::lock_guard lock(mu_);
        if (cancelAll_) {
            me.why = PageStop::Shutdown;
            me.cancel = 1;
        }
        running_.push_back(&me);
    }
    RequestSink sink{&writer, {}, false};
    sink.buffer.reserve(kGather);
    RequestSink* outer = t_sink;
    t_sink = &sink;
    params.push_back('\0');
    int rc = cancelFn_ ? reinterpret_cast<QmServiceWithCancelFn>(cancelFn_)(service_, params.data(), &me.cancel)
                       : reinterpret_cast<QmServiceFn>(serviceFn_)(service_, params.data());
    sink.Flush();
    t_sink = outer;
    {
        std::lock_guard lock(mu_);
        running_.remove(&me);
        if (why) *why = me.why;
    }
    return rc;
}

void PageHost::Release() {
    {
        std::lock_guard lock(mu_);
        stopWatch_ = true;
        wake_.notify_all();
    }
    if (watcher_.joinable()) watcher_.join();
    if (service_) reinterpret_cast<QmServiceReleaseFn>(releaseFn_)(service_);
    service_ = nullptr;
    if (library_) platform::FreeLibraryHandle(library_);
    library_ = nullptr;
}

}  // namespace qm::httpd
