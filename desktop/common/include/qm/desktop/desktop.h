// What the control panel applet and the tray monitor share: the names both sides of the
// desktop use, the seams through which their logic reaches the server, the registry, the
// message boxes and other programs, the refresh events and the monitor's identity.
//
// The logic classes of both programs take these seams by reference, so that the same code runs
// under Qt and in tests without a display. Every seam has one real implementation here.
// Threads: each object is used from one thread at a time unless its comment says otherwise.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "qm/platform/named_objects.h"

namespace qm::desktop {

inline constexpr const char* kHttpdKey = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Httpd";

// "__REFRESH__%s" with these owners: each program creates its own and signals the other's.
inline constexpr const char* kPanelOwner = "QMpanel";
inline constexpr const char* kMonitorOwner = "QMmonitor";
std::string RefreshEventName(const std::string& owner);

// The identity by which the monitor's instance, the applet and a second start find it.
inline constexpr const char* kMonitorClass = "95serv_Class";
inline constexpr const char* kMonitorTitle = "OvrelNetQuinsward Monitor";
// Messages a monitor instance takes: close, and "re-add your icon and refresh".
inline constexpr int kMsgClose = 16;
inline constexpr int kMsgRefresh = 1025;

// Server states as the control helpers report them.
inline constexpr int kStateUnknown = -1;
inline constexpr int kStateStopped = 0;
inline constexpr int kStateRunning = 1;
inline constexpr int kStatePaused = 2;

enum class Operation { Start, Stop, Pause, Continue };

// The HTTP server as the control helpers see it. Results as the helpers give them: 0 done,
// 1 the state did not arrive in time, -1 failed.
class ServerOps {
public:
    virtual ~ServerOps() = default;
    virtual int Platform();
    virtual int State();
    virtual int Run(Operation op, bool noWait);
    // The last "[Error]" line of the server's service log, "" when none.
    virtual std::string LastError();
};

// Warning boxes: caption and text. The Qt layer shows them; tests record them.
class Messages {
public:
    virtual ~Messages() = default;
    virtual void Warn(const std::string& caption, const std::string& text) = 0;
};

// Other programs the desktop starts. Each returns 0 when the program was started.
class Launcher {
public:
    virtual ~Launcher() = default;
    // The tray monitor program, QMMONITOR of the installation.
    virtual int StartMonitor();
    // The control panel applet through the runner ("qmcplrun libQMPANEL.so").
    virtual int OpenApplet();
    // A page in the desktop's default browser (xdg-open).
    virtual int OpenBrowser(const std::string& url);
    // Whether a tray monitor instance runs.
    virtual bool MonitorRunning();
};

// Start at boot where systemd manages the server's unit ("qmhttpd.service").
class BootService {
public:
    virtual ~BootService() = default;
    // True when systemd knows the unit (then the unit's enablement is the start-up setting).
    virtual bool Managed();
    // 0 with `enabled` set; 21 when systemd cannot be asked, 22 when the unit cannot be read.
    virtual int Enabled(bool* enabled);
    // 0, or 23 when the unit could not be enabled or disabled.
    virtual int SetEnabled(bool enabled);
};

// Runs a program (looked up in PATH) with its standard output captured, at most `timeoutMs`.
// The exit status, or -1 when it could not run or ran too long (it is killed then).
int RunCaptured(const std::vector<std::string>& argv, std::string* output, int timeoutMs);

// Signals "__REFRESH__<owner>" when it exists: 0 signalled, 2 nobody listens.
int SignalRefresh(const std::string& owner);

// The refresh thread of a window: creates "__REFRESH__<owner>" (auto-reset), calls `refresh`
// once at start and again each time the event is signalled, until Stop. Stop clears the
// running flag, signals the event and joins the thread, in that order; the object's
// destructor does the same.
class RefreshLoop {
public:
    RefreshLoop() = default;
    ~RefreshLoop();
    RefreshLoop(const RefreshLoop&) = delete;
    RefreshLoop& operator=(const RefreshLoop&) = delete;

    // 0, or the error number of the event's creation.
    int Start(const std::string& owner, std::function<void()> refresh);
    // Signals this loop's own event (safe from any thread).
    void Signal();
    void Stop();
    bool running() const { return running_.load(); }

private:
    platform::NamedEvent wait_;    // the thread waits through this handle
    platform::NamedEvent signal_;  // ...and is woken through this one: a handle never consumes
                                   // its own signal
    std::atomic<bool> running_{false};
    std::thread thread_;
};

// The single tray monitor of an installation, found by its class and title. The instance that
// claims the identity receives the numbers other processes send it.
class MonitorIdentity {
public:
    MonitorIdentity() = default;
    ~MonitorIdentity();
    MonitorIdentity(const MonitorIdentity&) = delete;
    MonitorIdentity& operator=(const MonitorIdentity&) = delete;

    // 0 when this process now is the monitor; 183 when another instance already is. On success
    // `onMessage` runs on a listening thread for every number received.
    int Claim(std::function<void(int message)> onMessage);
    void Release();

    // Whether an instance holds the identity.
    static bool Exists();
    // Sends a number to the instance: 0 delivered, 2 none runs.
    static int Send(int message);

private:
    platform::MailslotReader slot_;
    std::atomic<bool> listening_{false};
    std::thread thread_;
};

// The first line of `text` (up to the line end), used to show a log line in a box.
std::string FirstLine(const std::string& text);

}  // namespace qm::desktop
