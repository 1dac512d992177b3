// The serving side of the trap registration handshake: one request at a time, acknowledged
// after the registration call returns, until the helper has been idle for its idle time.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <string>

namespace qm::qntpset {

struct ServerOptions {
    std::chrono::milliseconds idle{std::chrono::seconds(60)};
    // While ending: how long requests that were already on their way are still served, and
    // how long the ending event is then set for requesters waiting on it.
    std::chrono::milliseconds grace{std::chrono::seconds(2)};
    std::chrono::milliseconds wake{std::chrono::seconds(1)};
    // When set (a signal handler, a test), the helper ends as if it had become idle.
    const std::atomic<bool>* stop = nullptr;
};

// Registers (command 1) or removes (9) the trap destination on one printer; the result is
// traced only.
using Registrar = std::function<int(int command, const std::string& address)>;

// Serves until idle. Returns 0 after an orderly end, 1 when another helper already serves
// this installation, 2 when the objects cannot be made.
int Serve(const ServerOptions& options, const Registrar& registrar);

}  // namespace qm::qntpset
