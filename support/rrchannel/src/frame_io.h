// Whole-frame reads and writes on a channel socket, with a deadline on every read.
#pragma once

#include <poll.h>
#include <sys/socket.h>
#include <sys/time.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "qm/rrchannel/wire.h"

namespace qm::rrchannel::io {

enum class ReadResult { kOk, kClosed, kTimeout, kBroken };

// Bounds every send on the socket: a peer that stops reading must not hold the other side
// for ever once the socket buffer is full.
inline void SetSendTimeout(int fd, std::chrono::milliseconds timeout) {
    timeval tv{};
    tv.tv_sec = static_cast<time_t>(timeout.count() / 1000);
    tv.tv_usec = static_cast<suseconds_t>((timeout.count() % 1000) * 1000);
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
}

// Writes every byte; false when the peer is gone. MSG_NOSIGNAL: a vanished peer must give an
// error, not a SIGPIPE that kills a CGI in the middle of its page.
inline bool SendAll(int fd, const void* data, std::size_t len) {
    const char* p = static_cast<const char*>(data);
    while (len > 0) {
        ssize_t n = ::send(fd, p, len, MSG_NOSIGNAL);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += n;
        len -= static_cast<std::size_t>(n);
    }
    return true;
}

inline bool SendFrame(int fd, FrameKind kind, std::uint8_t mode, std::string_view payload) {
    unsigned char head[kHeaderSize];
    EncodeHeader({kind, mode, static_cast<std::uint32_t>(payload.size())}, head);
    // One buffer for small frames keeps header and payload in one segment.
    if (payload.size() <= 4096) {
        char buf[kHeaderSize + 4096];
        std::memcpy(buf, head, kHeaderSize);
        if (!payload.empty()) std::memcpy(buf + kHeaderSize, payload.data(), payload.size());
        return SendAll(fd, buf, kHeaderSize + payload.size());
    }
    return SendAll(fd, head, kHeaderSize) && SendAll(fd, payload.data(), payload.size());
}

inline bool SendInt32Frame(int fd, FrameKind kind, std::int32_t value) {
    unsigned char v[4];
    EncodeInt32(value, v);
    return SendFrame(fd, kind, 0, std::string_view(reinterpret_cast<char*>(v), 4));
}

// Reads exactly len bytes before the deadline. kClosed only when the peer closed before the
// first byte; a close in the middle is kBroken.
inline ReadResult RecvAll(int fd, void* data, std::size_t len,
                          std::chrono::steady_clock::time_point deadline) {
    char* p = static_cast<char*>(data);
    std::size_t got = 0;
    while (got < len) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) return ReadResult::kTimeout;
        pollfd pfd{fd, POLLIN, 0};
        int r = ::poll(&pfd, 1, static_cast<int>(std::min<long long>(left, 1 << 30)));
        if (r < 0) {
            if (errno == EINTR) continue;
            return ReadResult::kBroken;
        }
        if (r == 0) return ReadResult::kTimeout;
        ssize_t n = ::recv(fd, p + got, len - got, 0);
        if (n < 0) {
            if (errno == EINTR || errno == EAGAIN) continue;
            return ReadResult::kBroken;
        }
        if (n == 0) return got == 0 ? ReadResult::kClosed : ReadResult::kBroken;
        got += static_cast<std::size_t>(n);
    }
    return ReadResult::kOk;
}

// Reads one frame; a malformed header is kBroken.
inline ReadResult RecvFrame(int fd, FrameHeader* head, std::string* payload,
                            std::chrono::steady_clock::time_point deadline) {
    unsigned char raw[kHeaderSize];
    ReadResult r = RecvAll(fd, raw, kHeaderSize, deadline);
    if (r != ReadResult::kOk) return r;
    if (!DecodeHeader(raw, head)) return ReadResult::kBroken;
    payload->resize(head->length);
    if (head->length == 0) return ReadResult::kOk;
    r = RecvAll(fd, payload->data(), head->length, deadline);
    return r == ReadResult::kClosed ? ReadResult::kBroken : r;
}

}  // namespace qm::rrchannel::io
