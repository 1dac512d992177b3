// The client side of the request/response channel (libQMRR.so): the four ShMem calls.
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <string>

#include "QBUtil.h"
#include "QMRR.h"
#include "frame_io.h"
#include "qm/platform/paths.h"
#include "qm/rrchannel/wire.h"

namespace {

using namespace qm::rrchannel;
using Clock = std::chrono::steady_clock;

constexpr const char* kModule = "QMRR";

// A page may wait on slow printers (a discovery walk can take minutes), so the answer gets a
// generous time between frames; the HTTP server's own CGI time-out is the real bound.
std::chrono::milliseconds ResponseTimeout() {
    if (const char* env = std::getenv("QM_RR_TIMEOUT_MS"); env && *env) {
        long v = std::strtol(env, nullptr, 10);
        if (v > 0) return std::chrono::milliseconds(v);
    }
    return std::chrono::minutes(10);
}

// One exchange per thread: the scripting component runs one object per thread, and a CGI has
// one thread anyway.
struct Channel {
    qm::platform::UniqueFd fd;
    bool inputEnded = false;
    bool responseEnded = false;
    int failure = 0;      // sticky negative result once the exchange went wrong
    std::uint8_t pendingMode = 0;
    std::string pending;  // rest of a Data frame larger than the caller's buffer
    std::size_t pendingPos = 0;

    ~Channel() { Reset(); }
    void Reset() {
        fd.reset();
        inputEnded = responseEnded = false;
        failure = 0;
        pending.clear();
        pendingPos = 0;
    }
};

thread_local Channel t_channel;

int Fail(Channel& ch, int code) {
    if (ch.failure == 0) ch.failure = code;
    return ch.failure;
}

int FailureOf(io::ReadResult r) {
    return r == io::ReadResult::kTimeout ? kErrTimeout : kErrBroken;
}

bool EndInput(Channel& ch) {
    if (ch.inputEnded) return true;
    ch.inputEnded = true;
    return io::SendFrame(ch.fd.get(), FrameKind::kInputEnd, 0, {});
}

}  // namespace

extern "C" int ShMemOpen(const char* request) {
    Channel& ch = t_channel;
    ch.Reset();
    if (!request) return 0;
    std::string_view text(request);
    if (text.empty() || text.size() > kMaxRequestText) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "ShMemOpen: request of %zu bytes refused",
                text.size());
        return 0;
    }
    std::string root = qm::platform::InstallRoot();
    SocketAddress addr(root);
    qm::platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return 0;
    if (!addr.valid() || ::connect(fd.get(), addr.addr(), addr.length()) != 0) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "ShMemOpen: no server at %s (errno %d)",
                addr.path().c_str(), errno);
        return 0;
    }
    ch.fd = std::move(fd);
    io::SetSendTimeout(ch.fd.get(), ResponseTimeout());
    if (!io::SendFrame(ch.fd.get(), FrameKind::kRequest, 0, text)) {
        ch.Reset();
        return 0;
    }
    FrameHeader head;
    std::string payload;
    auto r = io::RecvFrame(ch.fd.get(), &head, &payload, Clock::now() + ResponseTimeout());
    if (r != io::ReadResult::kOk || head.kind != FrameKind::kAccept ||
        DecodeInt32(reinterpret_cast<const unsigned char*>(payload.data())) != 0) {
        QbTrace(QB_TRACE_ERROR, kModule, __LINE__, "ShMemOpen: request not accepted");
        ch.Reset();
        return 0;
    }
    return 1;
}

extern "C" int ShMemWrite(int mode, int count, const char* data) {
    Channel& ch = t_channel;
    if (!ch.fd || ch.inputEnded) return -1;
    if (count == 0) return EndInput(ch) ? 0 : -1;
    if (count < 0 || !data || (mode != kModeText && mode != kModeBinary)) return -1;
    std::string_view rest(data, static_cast<std::size_t>(count));
    while (!rest.empty()) {
        std::size_t n = std::min<std::size_t>(rest.size(), kMaxFramePayload);
        if (!io::SendFrame(ch.fd.get(), FrameKind::kWrite, static_cast<std::uint8_t>(mode),
                           rest.substr(0, n))) {
            return -1;
        }
        rest.remove_prefix(n);
    }
    return count;
}

extern "C" int ShMemRead(int* mode, int capacity, char* buffer) {
    Channel& ch = t_channel;
    if (!ch.fd) return kErrNotOpen;
    if (!mode || !buffer || capacity < 1) return kErrParameter;
    if (ch.pendingPos >= ch.pending.size()) {
        if (ch.failure) return ch.failure;
        if (ch.responseEnded) return 0;
        if (!EndInput(ch)) return Fail(ch, kErrBroken);
        FrameHeader head;
        auto deadline = Clock::now() + ResponseTimeout();
        for (;;) {
            auto r = io::RecvFrame(ch.fd.get(), &head, &ch.pending, deadline);
            if (r != io::ReadResult::kOk) return Fail(ch, FailureOf(r));
            if (head.kind == FrameKind::kData) {
                if (head.length == 0) continue;
                ch.pendingMode = head.mode;
                ch.pendingPos = 0;
                break;
            }
            int code = kErrBroken;
            if (head.kind == FrameKind::kFailure) {
                // The server's own code, as long as it is a failure; else our generic one.
                code = DecodeInt32(reinterpret_cast<const unsigned char*>(ch.pending.data()));
                if (code >= 0) code = kErrServerFailure;
            }
            ch.pending.clear();
            ch.pendingPos = 0;
            if (head.kind == FrameKind::kEnd) {
                ch.responseEnded = true;
                return 0;
            }
            return Fail(ch, code);
        }
    }
    std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(capacity),
                                          ch.pending.size() - ch.pendingPos);
    std::memcpy(buffer, ch.pending.data() + ch.pendingPos, n);
    ch.pendingPos += n;
    *mode = ch.pendingMode;
    return static_cast<int>(n);
}

extern "C" int ShMemClose(void) {
    Channel& ch = t_channel;
    if (!ch.fd) return 0;
    ch.Reset();
    return 1;
}
