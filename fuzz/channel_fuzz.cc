// Whatever a local client writes into the request/response channel: the server's reading of
// the request frame, the acceptance and the upload frames, and the split of the request text.
// Nothing may crash, read past a frame or take more than its limits.
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "qm/rrchannel/server.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0) std::abort();
    // The client side writes everything and hangs up; inputs stay below the socket buffer so
    // one write never blocks.
    if (size > 65536) size = 65536;
    size_t done = 0;
    while (done < size) {
        ssize_t n = write(fds[1], data + done, size - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    shutdown(fds[1], SHUT_WR);
    qm::rrchannel::ServerSession session(fds[0]);
    std::string text;
    const auto wait = std::chrono::milliseconds(200);
    if (session.ReadRequest(&text, wait)) {
        if (text.size() > qm::rrchannel::kMaxRequestText) std::abort();
        qm::rrchannel::RequestText request = qm::rrchannel::SplitRequestText(text);
        if (request.installDir.size() + request.service.size() + request.parameters.size() > text.size())
            std::abort();
        session.Accept(0);
        std::string upload;
        const size_t limit = 4096;
        session.ReadInput(&upload, limit, wait);
        if (upload.size() > limit + qm::rrchannel::kMaxFramePayload) std::abort();
    }
    close(fds[1]);
    return 0;
}
