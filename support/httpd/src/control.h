// The server's side of the service-control protocol: while it runs it holds a handle to the
// mutex "__MUTEX__QNQuinsward_Httpd" (so the object exists), and while paused it owns it, which
// is how the control helpers tell running from paused; "__STOP__..." stops it and
// "__PAUSE__..." toggles between running and paused.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>

#include "qm/platform/named_objects.h"

namespace qm::httpd {

class ServiceControl {
public:
    ServiceControl() = default;
    ~ServiceControl();

    // Claims this installation's server slot. False with `error` set when another server
    // already runs for this installation. Nothing is announced yet.
    bool Claim(const std::string& serviceName, std::string* error);
    // Creates the control mutex, the sign of a running server. Called once the server can
    // serve (port bound, interpreter loaded), so a start that fails is never seen as running.
    bool Announce(std::string* error);
    // Starts the watcher threads. `onStop` runs once, on a watcher thread, when asked to stop;
    // `onPause` runs with the new paused state.
    void Watch(std::function<void()> onStop, std::function<void(bool)> onPause);
    bool paused() const { return paused_.load(); }
    // Ends the watchers (gives up a paused mutex) and drops the objects.
    void Shutdown();

private:
    std::string name_;
    int lockFd_ = -1;
    platform::NamedMutex mutex_;
    std::atomic<bool> paused_{false};
    std::atomic<bool> ending_{false};
    std::thread stopThread_, pauseThread_;
};

}  // namespace qm::httpd
