// A qmhttpd of a test's own: started from the build on a test root and port, and waited for
// until it answers.
#pragma once

#include <httplib.h>
#include <signal.h>
#include <sys/wait.h>

#include <chrono>
#include <functional>
#include <string>

#include "qm/testing/testing.h"

namespace qm::httpd::test {

// The server's pid once it answers "/" (and `alsoReady`, when given, holds); -1, after the
// process was killed, when it did not come up within `patience`.
inline pid_t StartHttpd(const std::string& root, int port,
                        std::chrono::milliseconds patience = std::chrono::seconds(30),
                        const std::function<bool()>& alsoReady = {}) {
    pid_t pid = testing::StartBuiltProgram("qmhttpd", {"--root", root, "--port", std::to_string(port)});
    bool up = testing::Eventually([&] {
        httplib::Client c("127.0.0.1", port);
        return static_cast<bool>(c.Get("/")) && (!alsoReady || alsoReady());
    }, patience);
    if (up) return pid;
    kill(pid, SIGKILL);
    waitpid(pid, nullptr, 0);
    return -1;
}

}  // namespace qm::httpd::test
