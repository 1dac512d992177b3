// The interpreter's output callback carries only the host context given once at start, but
// many requests run at once; each runs Service on its own thread, so the thread identifies the
// request: a thread-local pointer leads the callback to that request's writer.
#include "page_host.h"

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

}  // namespace

PageHost::~PageHost() { Release(); }

bool PageHost::Load(const std::string& libraryName, std::string* error) {
    library_ = platform::LoadLibraryByName(libraryName);
    if (!library_) {
        *error = "cannot load " + libraryName + ": " + platform::LibraryError();
        return false;
    }
    auto init = reinterpret_cast<QmServiceInitializeFn>(
        platform::LibrarySymbol(library_, "ServiceInitialize"));
    serviceFn_ = platform::LibrarySymbol(library_, "Service");
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
    return true;
}

int PageHost::Run(std::string params, const PageWriter& writer) {
    if (!service_) return -1;
    RequestSink sink{&writer, {}, false};
    sink.buffer.reserve(kGather);
    RequestSink* outer = t_sink;
    t_sink = &sink;
    params.push_back('\0');
    int rc = reinterpret_cast<QmServiceFn>(serviceFn_)(service_, params.data());
    sink.Flush();
    t_sink = outer;
    return rc;
}

void PageHost::Release() {
    if (service_) reinterpret_cast<QmServiceReleaseFn>(releaseFn_)(service_);
    service_ = nullptr;
    if (library_) platform::FreeLibraryHandle(library_);
    library_ = nullptr;
}

}  // namespace qm::httpd
