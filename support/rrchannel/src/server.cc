// The serving side of the request/response channel: listener and per-request session.
#include "qm/rrchannel/server.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <utility>

#include "frame_io.h"
#include "qm/platform/errors.h"
#include "qm/platform/paths.h"

namespace qm::rrchannel {

using Clock = std::chrono::steady_clock;

RequestText SplitRequestText(std::string_view text) {
    RequestText out;
    auto first = text.find('|');
    out.installDir = std::string(text.substr(0, first));
    if (first == std::string_view::npos) return out;
    text.remove_prefix(first + 1);
    auto second = text.find('|');
    out.service = std::string(text.substr(0, second));
    if (second != std::string_view::npos) out.parameters = std::string(text.substr(second + 1));
    return out;
}

ServerSession::ServerSession(int fd) : fd_(fd) {}

bool ServerSession::ReadRequest(std::string* text, std::chrono::milliseconds timeout) {
    if (!fd_) return false;
    FrameHeader head;
    auto r = io::RecvFrame(fd_.get(), &head, text, Clock::now() + timeout);
    return r == io::ReadResult::kOk && head.kind == FrameKind::kRequest && !text->empty();
}

bool ServerSession::Accept(std::int32_t status) {
    return fd_.ok() && io::SendInt32Frame(fd_.get(), FrameKind::kAccept, status);
}

bool ServerSession::ReadInput(std::string* upload, std::size_t limit,
                              std::chrono::milliseconds timeout) {
    if (!fd_) return false;
    auto deadline = Clock::now() + timeout;
    std::size_t taken = 0;
    FrameHeader head;
    std::string payload;
    for (;;) {
        if (io::RecvFrame(fd_.get(), &head, &payload, deadline) != io::ReadResult::kOk) return false;
        if (head.kind == FrameKind::kInputEnd) return true;
        if (head.kind != FrameKind::kWrite) return false;
        taken += payload.size();
        if (taken > limit) return false;
        upload->append(payload);
    }
}

bool ServerSession::Receive(RequestText* request, std::string* upload) {
    std::string text;
    if (!ReadRequest(&text) || !Accept(0) || !ReadInput(upload)) return false;
    *request = SplitRequestText(text);
    return true;
}

bool ServerSession::WriteData(std::uint8_t mode, std::string_view bytes) {
    if (!fd_) return false;
    while (!bytes.empty()) {
        std::size_t n = std::min<std::size_t>(bytes.size(), kMaxFramePayload);
        if (!io::SendFrame(fd_.get(), FrameKind::kData, mode, bytes.substr(0, n))) return false;
        bytes.remove_prefix(n);
    }
    return true;
}

bool ServerSession::WriteEnd() { return fd_.ok() && io::SendFrame(fd_.get(), FrameKind::kEnd, 0, {}); }

bool ServerSession::WriteFailure(std::int32_t negativeCode) {
    return fd_.ok() && io::SendInt32Frame(fd_.get(), FrameKind::kFailure, negativeCode);
}

Listener::~Listener() { Close(); }

int Listener::Open(std::string_view root) {
    Close();
    // run/ normally exists; a fresh root gets it here rather than a puzzling bind error.
    platform::MakeDirectories(std::string(root) + "/run");
    SocketAddress addr(root);
    if (!addr.valid()) return platform::kErrPathNotFound;
    platform::UniqueFd probe(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!probe) return platform::WsaErrorFromErrno(errno);
    // A file that still answers belongs to a live server; one that refuses is stale.
    if (::connect(probe.get(), addr.addr(), addr.length()) == 0) return platform::kWsaEaddrinuse;
    probe.reset();
    platform::UniqueFd fd(::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!fd) return platform::WsaErrorFromErrno(errno);
    ::unlink(addr.path().c_str());
    if (::bind(fd.get(), addr.addr(), addr.length()) != 0) return platform::WsaErrorFromErrno(errno);
    // Owner-only before listen(): nobody can connect until the mode is right.
    struct stat st {};
    if (::chmod(addr.path().c_str(), 0600) != 0 || ::stat(addr.path().c_str(), &st) != 0 ||
        ::listen(fd.get(), 128) != 0) {
        int err = errno;
        ::unlink(addr.path().c_str());
        return platform::WsaErrorFromErrno(err);
    }
    fd_ = std::move(fd);
    path_ = addr.path();
    dev_ = st.st_dev;
    ino_ = st.st_ino;
    return 0;
}

void Listener::Close() {
    if (!fd_) return;
    fd_.reset();
    struct stat st {};
    if (::stat(path_.c_str(), &st) == 0 && st.st_dev == dev_ && st.st_ino == ino_) {
        ::unlink(path_.c_str());
    }
}

std::optional<ServerSession> Listener::Accept(std::chrono::milliseconds timeout) {
    if (!fd_) return std::nullopt;
    pollfd pfd{fd_.get(), POLLIN, 0};
    int r;
    do {
        r = ::poll(&pfd, 1, static_cast<int>(timeout.count()));
    } while (r < 0 && errno == EINTR);
    if (r <= 0) return std::nullopt;
    int c = ::accept4(fd_.get(), nullptr, nullptr, SOCK_CLOEXEC);
    if (c < 0) return std::nullopt;
    io::SetSendTimeout(c, kDefaultSendTimeout);
    return ServerSession(c);
}

}  // namespace qm::rrchannel
