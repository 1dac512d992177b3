// The request/response channel between a CGI (or script host) and the serving process: where
// its socket lives and the bytes that cross it. Both sides build against this header only.
//
// Socket
// ------
// One listening Unix stream socket per installation root, a file named QMRR.sock in <root>/run/
// (owner-only permissions, so no other local user can inject requests). sun_path holds only
// 107 characters, and installation roots can be longer than that; then both sides reach the
// same file through an open descriptor of <root>/run/ as "/proc/self/fd/<n>/QMRR.sock", which
// the kernel resolves like the real path. No chdir, no second name, one file either way.
// The server owns the file: it refuses to start when another server answers on it, removes a
// stale file left by a crashed server, and removes the file when it stops.
//
// Exchange (one connection = one request)
// --------
//   client                                   server
//   Request(text)                 ─────▶
//                                 ◀───── Accept(status)   status 0 = taken, else refused
//   Write(mode, bytes) ...        ─────▶                  optional upload, any number
//   InputEnd                      ─────▶                  always sent, exactly once
//                                 ◀───── Data(mode, bytes) ...   mode 1 text, 2 binary
//                                 ◀───── End              or Failure(code) instead
//
// The client sends InputEnd either when the caller closes the upload (a write of 0 bytes) or,
// at the latest, before it reads the first response frame; so the server always knows when
// the input is complete and never has to guess whether an upload follows. The server reads
// all input before it writes the first Data frame, which keeps both sides out of a deadlock
// where each waits for the other to drain a full socket buffer.
//
// Frame
// -----
// Every frame is an 8-byte header followed by `length` payload bytes:
//   byte 0      kind     (FrameKind, one ASCII letter so that dumps are readable)
//   byte 1      mode     (Write and Data frames: the data mode; 0 in every other frame)
//   byte 2      version  (kWireVersion)
//   byte 3      0
//   bytes 4..7  length   unsigned 32-bit, little-endian
// Payloads:
//   Request   the request text, without a terminating NUL; 1..kMaxRequestText bytes
//   Accept    4 bytes: status, signed 32-bit little-endian
//   Write     1..kMaxFramePayload bytes of upload data
//   InputEnd  none
//   Data      1..kMaxFramePayload bytes of response data, passed on unchanged (NUL, CR, LF
//             included); mode 1 = text, 2 = binary; a client reports any other mode as an
//             illegal data mode
//   End       none
//   Failure   4 bytes: a negative code, signed 32-bit little-endian; the client's read call
//             returns it as its result
// A frame with a wrong version, an unknown kind, or a length beyond its limit ends the
// connection; neither side trusts a length before checking it.
#pragma once

#include <fcntl.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "qm/platform/owners.h"

namespace qm::rrchannel {

inline constexpr std::uint8_t kWireVersion = 1;
inline constexpr std::size_t kHeaderSize = 8;
// The request text of the CGI is at most 204800 bytes with its terminator.
inline constexpr std::uint32_t kMaxRequestText = 204799;
inline constexpr std::uint32_t kMaxFramePayload = 65536;

enum class FrameKind : std::uint8_t {
    kRequest = 'Q',
    kAccept = 'A',
    kWrite = 'W',
    kInputEnd = 'E',
    kData = 'D',
    kEnd = 'Z',
    kFailure = 'F',
};

inline constexpr std::uint8_t kModeText = 1;
inline constexpr std::uint8_t kModeBinary = 2;

// Failure codes a client's read call returns (a server may send its own negative codes too).
inline constexpr int kErrNotOpen = -1;       // no channel open on this thread
inline constexpr int kErrBroken = -2;        // connection lost or a malformed frame
inline constexpr int kErrTimeout = -3;       // the server did not answer in time
inline constexpr int kErrServerFailure = -4; // the server gave up on the request
inline constexpr int kErrParameter = -5;     // a null buffer or a capacity below 1

struct FrameHeader {
    FrameKind kind{};
    std::uint8_t mode = 0;
    std::uint32_t length = 0;
};

inline void EncodeHeader(const FrameHeader& h, unsigned char out[kHeaderSize]) {
    out[0] = static_cast<unsigned char>(h.kind);
    out[1] = h.mode;
    out[2] = kWireVersion;
    out[3] = 0;
    for (int i = 0; i < 4; ++i) out[4 + i] = static_cast<unsigned char>(h.length >> (8 * i));
}

inline bool IsKnownKind(std::uint8_t k) {
    switch (static_cast<FrameKind>(k)) {
        case FrameKind::kRequest:
        case FrameKind::kAccept:
        case FrameKind::kWrite:
        case FrameKind::kInputEnd:
        case FrameKind::kData:
        case FrameKind::kEnd:
        case FrameKind::kFailure:
            return true;
    }
    return false;
}

// The largest payload a frame of this kind may carry.
inline std::uint32_t MaxPayload(FrameKind k) {
    switch (k) {
        case FrameKind::kRequest: return kMaxRequestText;
        case FrameKind::kWrite:
        case FrameKind::kData: return kMaxFramePayload;
        case FrameKind::kAccept:
        case FrameKind::kFailure: return 4;
        case FrameKind::kInputEnd:
        case FrameKind::kEnd: return 0;
    }
    return 0;
}

// False for a header that must end the connection (version, kind, length out of bounds).
inline bool DecodeHeader(const unsigned char in[kHeaderSize], FrameHeader* h) {
    if (in[2] != kWireVersion || in[3] != 0 || !IsKnownKind(in[0])) return false;
    h->kind = static_cast<FrameKind>(in[0]);
    h->mode = in[1];
    h->length = 0;
    for (int i = 0; i < 4; ++i) h->length |= static_cast<std::uint32_t>(in[4 + i]) << (8 * i);
    if (h->length > MaxPayload(h->kind)) return false;
    if (h->kind == FrameKind::kAccept || h->kind == FrameKind::kFailure) return h->length == 4;
    return true;
}

inline void EncodeInt32(std::int32_t v, unsigned char out[4]) {
    auto u = static_cast<std::uint32_t>(v);
    for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(u >> (8 * i));
}

inline std::int32_t DecodeInt32(const unsigned char in[4]) {
    std::uint32_t u = 0;
    for (int i = 0; i < 4; ++i) u |= static_cast<std::uint32_t>(in[i]) << (8 * i);
    return static_cast<std::int32_t>(u);
}

inline constexpr const char* kSocketFileName = "QMRR.sock";

// The address of the channel socket of an installation root. Holds an open descriptor of the
// run/ folder when the path is too long for sun_path; keep the object alive until bind() or
// connect() has returned.
class SocketAddress {
public:
    explicit SocketAddress(std::string_view root) {
        std::string folder(root);
        while (folder.size() > 1 && folder.back() == '/') folder.pop_back();
        folder += "/run";
        path_ = folder + "/" + kSocketFileName;
        std::memset(&addr_, 0, sizeof addr_);
        addr_.sun_family = AF_UNIX;
        std::string use = path_;
        if (use.size() >= sizeof addr_.sun_path) {
            dirFd_.reset(::open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC));
            if (!dirFd_) return;
            use = "/proc/self/fd/" + std::to_string(dirFd_.get()) + "/" + kSocketFileName;
        }
        std::memcpy(addr_.sun_path, use.data(), use.size());
        len_ = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + use.size() + 1);
        valid_ = true;
    }
    SocketAddress(const SocketAddress&) = delete;
    SocketAddress& operator=(const SocketAddress&) = delete;

    bool valid() const { return valid_; }
    const sockaddr* addr() const { return reinterpret_cast<const sockaddr*>(&addr_); }
    socklen_t length() const { return len_; }
    // The socket file's real path (for unlink, chmod and messages).
    const std::string& path() const { return path_; }

private:
    sockaddr_un addr_{};
    socklen_t len_ = 0;
    platform::UniqueFd dirFd_;
    bool valid_ = false;
    std::string path_;
};

}  // namespace qm::rrchannel
