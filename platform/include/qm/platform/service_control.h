// Service control objects, by service name: how a service shows that it runs or is paused,
// how it is told to stop or pause, and its service log. The HTTP server, the monitor and the
// notification service each use them under their own names.
//
// The protocol, for a service named N: while it runs the service holds a handle to the mutex
// "__MUTEX__N" (so the object exists), and while paused it owns it; the event "__STOP__N" stops
// it and "__PAUSE__N" toggles between running and paused. One lock file, run/<program>.lock,
// decides which process serves the installation (the mutex alone cannot tell a second service
// from a control helper that has it open for a moment).
//
// Threads: ServiceControl's calls come from the thread that owns the object; the callbacks run
// on its two watcher threads. ServiceLog is thread-safe. Errors: Claim reports why it failed;
// the log skips a line it cannot write; the state helpers return -1 where the state cannot be
// read. Nothing here throws except allocation.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

#include "qm/platform/named_objects.h"
#include "qm/platform/owners.h"

namespace qm::platform {

// "__MUTEX__N", "__STOP__N", "__PAUSE__N".
std::string ServiceMutexName(const std::string& service);
std::string ServiceStopEventName(const std::string& service);
std::string ServicePauseEventName(const std::string& service);

// The service's side.
class ServiceControl {
public:
    ServiceControl() = default;
    ~ServiceControl();
    ServiceControl(const ServiceControl&) = delete;
    ServiceControl& operator=(const ServiceControl&) = delete;

    // Claims this installation's slot for `program` (lock file run/<program>.lock). False with
    // `error` set when another process already serves the installation: "another <program>
    // already serves the installation <root>". Nothing is announced yet.
    bool Claim(const std::string& serviceName, const std::string& program, std::string* error);
    // Creates the mutex of the service, the sign of a running service. Called once the service
    // can serve, so that a start that fails is never seen as running.
    bool Announce(std::string* error);
    // Starts the watcher threads and returns once they listen. `onStop` runs once, on a
    // watcher thread, when asked to stop; `onPause` runs with the new paused state.
    void Watch(std::function<void()> onStop, std::function<void(bool)> onPause);
    bool paused() const { return paused_.load(); }
    // Ends the watchers (gives up a paused mutex) and drops the objects. Safe to call again,
    // and from the stop callback.
    void Shutdown();

private:
    std::string name_;
    UniqueFd lock_;
    NamedMutex mutex_;
    std::atomic<bool> paused_{false};
    std::atomic<bool> ending_{false};
    std::thread stopThread_, pauseThread_;
};

// Appends "YYYY/MM/DD HH:MM:SS text" lines to <folder>/<file>; errors get the "[Error]" prefix
// the control helpers look for in the first seven characters. A text is written as one line:
// control characters and backslashes are escaped, so that nothing a request or a setting
// carries can start a forged "[Error]" line.
class ServiceLog {
public:
    explicit ServiceLog(const std::string& folder, const std::string& file = "servicelog.txt");
    void Info(const std::string& text);
    void Error(const std::string& text);
    // "\n", "\r", "\t", "\\" and "\xHH" for the other control characters.
    static std::string OneLine(std::string_view text);
    const std::string& path() const { return path_; }

private:
    void Append(const std::string& line);
    std::mutex lock_;
    std::string path_;
};

// The controllers' side. State of the service: 0 stopped, 1 running, 2 paused, -1 unknown.
int QueryServiceState(const std::string& serviceName);
// Signals "__STOP__N" or "__PAUSE__N": 0 when delivered, -1 when no service listens.
int SignalServiceStop(const std::string& serviceName);
int SignalServicePause(const std::string& serviceName);
// The last line of the log that begins with "[Error]" (lines read up to 127 characters each),
// or "" when there is none or the log cannot be read.
std::string LastServiceErrorLine(const std::string& logPath);

}  // namespace qm::platform
