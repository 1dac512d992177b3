// The serving side of the request/response channel, ready to embed: a listener on the
// installation's channel socket and one session per accepted request (wire format in wire.h).
//
// Typical use in a serving thread:
//   Listener listener;
//   if (int err = listener.Open(root); err != 0) { ... 10048: another server runs ... }
//   while (auto session = listener.Accept(std::chrono::milliseconds(500))) {
//       RequestText req;
//       std::string upload;
//       if (!session->Receive(&req, &upload)) continue;   // client gone or malformed
//       ... run req.service with req.parameters, for each output piece:
//       session->WriteData(kModeText, bytes);
//       session->WriteEnd();                               // or WriteFailure(code)
//   }
// Accept() also returns nullopt on a mere time-out, so a real loop checks its own stop flag
// and calls Accept() again. Sessions are independent: hand each to its own thread if wanted.
// Neither class is safe for concurrent use of one object from several threads.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "qm/platform/owners.h"
#include "qm/rrchannel/wire.h"

namespace qm::rrchannel {

// The request text split the way the serving side uses it: installation directory, target
// service, and the rest (the "|"-separated name=value text a service entry takes).
struct RequestText {
    std::string installDir;
    std::string service;
    std::string parameters;
};

// Splits at the first two "|". Missing fields come back empty.
RequestText SplitRequestText(std::string_view text);

inline constexpr std::size_t kDefaultUploadLimit = 64u << 20;
inline constexpr std::chrono::milliseconds kDefaultInputTimeout{30000};
// A client that stops reading its answer fails the session's writes after this long.
inline constexpr std::chrono::milliseconds kDefaultSendTimeout{120000};

class ServerSession {
public:
    explicit ServerSession(int fd);  // takes ownership of the connected socket

    // Step 1: the request text. False when the client sent none, or a malformed frame, in time.
    bool ReadRequest(std::string* text, std::chrono::milliseconds timeout = kDefaultInputTimeout);
    // Step 2: status 0 takes the request; any other value refuses it (the client's ShMemOpen
    // then returns 0 and the session is finished).
    bool Accept(std::int32_t status = 0);
    // Step 3: the upload, appended to *upload, until the client ends its input. False on a
    // broken connection, a time-out, or more than `limit` bytes (the rest is not read).
    bool ReadInput(std::string* upload, std::size_t limit = kDefaultUploadLimit,
                   std::chrono::milliseconds timeout = kDefaultInputTimeout);
    // Steps 1 to 3 in one call, taking every request.
    bool Receive(RequestText* request, std::string* upload);

    // The answer: data in any number of calls (split into frames as needed; empty data is
    // ignored), then exactly one WriteEnd() or WriteFailure(). False once the client is gone.
    // `mode` is passed through unchecked: clients know 1 (text) and 2 (binary) only.
    bool WriteData(std::uint8_t mode, std::string_view bytes);
    bool WriteEnd();
    bool WriteFailure(std::int32_t negativeCode);

    int fd() const { return fd_.get(); }

private:
    platform::UniqueFd fd_;
};

class Listener {
public:
    Listener() = default;
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;

    // Listens on <root>/run/QMRR.sock. 0 on success; 10048 (address in use) when another
    // server answers on that socket; another Windows error number otherwise. A stale socket
    // file from a crashed server is replaced.
    int Open(std::string_view root);
    // Stops listening and removes the socket file, unless another server has replaced it.
    void Close();
    bool IsOpen() const { return fd_.ok(); }
    int fd() const { return fd_.get(); }
    const std::string& path() const { return path_; }

    // Waits up to `timeout` for the next client; nullopt on time-out or error.
    std::optional<ServerSession> Accept(std::chrono::milliseconds timeout);

private:
    platform::UniqueFd fd_;
    std::string path_;
    dev_t dev_ = 0;
    ino_t ino_ = 0;
};

}  // namespace qm::rrchannel
