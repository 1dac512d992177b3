// The real seams of the desktop programs: the control helpers, programs started detached,
// systemd, the refresh events and the monitor's identity.
#include "qm/desktop/desktop.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <cstring>

#include "qm/platform/paths.h"
#include "qm/platform/process.h"
#include "qm/platform/registry.h"
#include "qm/svcctl/svcctl.h"

extern char** environ;

namespace qm::desktop {

namespace {

constexpr const char* kUnit = "qmhttpd.service";
constexpr int kSystemctlTimeoutMs = 20000;

std::string MonitorSlotName() {
    return std::string("\\\\.\\mailslot\\") + kMonitorClass + "\\" + kMonitorTitle;
}

// InstallationPath/<name> when that is a program, else the name alone, which the process
// layer looks up in the installation's bin/ and sbin/ and then in PATH.
std::string InstalledProgram(const std::string& name) {
    platform::RegValue v;
    if (platform::RegGetValue(platform::RegRoot::LocalMachine, kHttpdKey, "InstallationPath", &v) ==
            0 &&
        v.type == platform::kRegSz && !v.text.empty()) {
        std::string p = platform::ToPosixPath(v.text) + "/" + name;
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return name;
}

}  // namespace

std::string RefreshEventName(const std::string& owner) { return "__REFRESH__" + owner; }

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find_first_of("\r\n"));
}

// ---- ServerOps ---------------------------------------------------------------------------

int ServerOps::Platform() { return GetPlatform(nullptr); }

int ServerOps::State() { return GetServerState(); }

int ServerOps::Run(Operation op, bool noWait) {
    int w = noWait ? 1 : 0;
    switch (op) {
        case Operation::Start: return StartServer(w);
        case Operation::Stop: return StopServer(w);
        case Operation::Pause: return PauseServer(w);
        case Operation::Continue: return ContinueServer(w);
    }
    return -1;
}

std::string ServerOps::LastError() {
    char path[1024];
    if (ServiceLogPath(path, sizeof path) != 0) return {};
    char line[256];
    LastErrorLine(path, line, sizeof line);
    return line;
}

// ---- Launcher ----------------------------------------------------------------------------

int Launcher::StartMonitor() {
    return platform::StartDetached(
        {InstalledProgram("QMMONITOR"), "--root", platform::InstallRoot()});
}

int Launcher::OpenApplet() {
    return platform::StartDetached(
        {InstalledProgram("qmcplrun"), "--root", platform::InstallRoot(), "libQMPANEL.so"});
}

int Launcher::OpenBrowser(const std::string& url) {
    return platform::StartDetached({"xdg-open", url});
}

bool Launcher::MonitorRunning() { return MonitorIdentity::Exists(); }

// ---- BootService -------------------------------------------------------------------------

int RunCaptured(const std::vector<std::string>& argv, std::string* output, int timeoutMs) {
    if (argv.empty()) return -1;
    int out[2];
    if (pipe2(out, O_CLOEXEC) != 0) return -1;
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_adddup2(&fa, out[1], 1);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 2, "/dev/null", O_WRONLY, 0);
    std::vector<char*> args;
    std::vector<std::string> copy = argv;
    for (auto& a : copy) args.push_back(a.data());
    args.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, args[0], &fa, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&fa);
    ::close(out[1]);
    if (rc != 0) {
        ::close(out[0]);
        return -1;
    }
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    bool timedOut = false;
    for (;;) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                        deadline - std::chrono::steady_clock::now())
                        .count();
        if (left <= 0) {
            timedOut = true;
            break;
        }
        pollfd p{out[0], POLLIN, 0};
        int n = poll(&p, 1, static_cast<int>(left));
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) continue;
        char buf[512];
        ssize_t got = ::read(out[0], buf, sizeof buf);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) break;
        if (text.size() < 65536) text.append(buf, static_cast<size_t>(got));
    }
    ::close(out[0]);
    if (timedOut) kill(pid, SIGKILL);
    int status = 0;
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (output) *output = text;
    if (timedOut || !WIFEXITED(status)) return -1;
    return WEXITSTATUS(status);
}

bool BootService::Managed() {
    std::string out;
    int rc = RunCaptured({"systemctl", "show", "--property=LoadState", "--value", kUnit}, &out,
                         kSystemctlTimeoutMs);
    return rc == 0 && FirstLine(out) == "loaded";
}

int BootService::Enabled(bool* enabled) {
    std::string out;
    int rc = RunCaptured({"systemctl", "is-enabled", kUnit}, &out, kSystemctlTimeoutMs);
    if (rc < 0) return 21;
    std::string state = FirstLine(out);
    // is-enabled answers non-zero for "disabled" too; only an empty answer is a failure.
    if (state.empty()) return 22;
    *enabled = state == "enabled" || state == "enabled-runtime" || state == "alias";
    return 0;
}

int BootService::SetEnabled(bool enabled) {
    int rc = RunCaptured({"systemctl", enabled ? "enable" : "disable", kUnit}, nullptr,
                         kSystemctlTimeoutMs);
    return rc == 0 ? 0 : 23;
}

// ---- Refresh events ----------------------------------------------------------------------

int SignalRefresh(const std::string& owner) {
    platform::NamedEvent e;
    if (e.Open(RefreshEventName(owner)) != 0) return 2;
    return e.Set();
}

RefreshLoop::~RefreshLoop() { Stop(); }

int RefreshLoop::Start(const std::string& owner, std::function<void()> refresh) {
    Stop();
    int rc = wait_.Create(RefreshEventName(owner), false);
    if (rc != 0 && rc != 183) return rc;
    rc = signal_.Open(RefreshEventName(owner));
    if (rc != 0) {
        wait_.Close();
        return rc;
    }
    running_ = true;
    thread_ = std::thread([this, refresh = std::move(refresh)] {
        while (running_.load()) {
            refresh();
            wait_.Wait();
        }
    });
    return 0;
}

void RefreshLoop::Signal() {
    if (signal_.IsOpen()) signal_.Set();
}

void RefreshLoop::Stop() {
    if (!thread_.joinable()) return;
    running_ = false;
    signal_.Set();
    thread_.join();
    wait_.Close();
    signal_.Close();
}

// ---- Monitor identity --------------------------------------------------------------------

MonitorIdentity::~MonitorIdentity() { Release(); }

int MonitorIdentity::Claim(std::function<void(int)> onMessage) {
    Release();
    int rc = slot_.Create(MonitorSlotName());
    if (rc != 0) return rc;
    listening_ = true;
    thread_ = std::thread([this, onMessage = std::move(onMessage)] {
        char buf[32];
        while (listening_.load()) {
            size_t got = 0;
            if (slot_.Receive(buf, &got, platform::kInfinite) != 0) continue;
            if (!listening_.load()) break;
            std::string text(buf, got);
            char* end = nullptr;
            long n = std::strtol(text.c_str(), &end, 10);
            if (end != text.c_str() && *end == '\0') onMessage(static_cast<int>(n));
        }
    });
    return 0;
}

void MonitorIdentity::Release() {
    if (!thread_.joinable()) return;
    listening_ = false;
    // Wake the listener with a message of our own; it sees the cleared flag and ends.
    platform::MailslotWriter w;
    if (w.Open(MonitorSlotName()) == 0) w.Write("0");
    thread_.join();
    slot_.Close();
}

bool MonitorIdentity::Exists() {
    platform::MailslotWriter w;
    return w.Open(MonitorSlotName()) == 0;
}

int MonitorIdentity::Send(int message) {
    platform::MailslotWriter w;
    if (w.Open(MonitorSlotName()) != 0) return 2;
    return w.Write(std::to_string(message)) == 0 ? 0 : 2;
}

}  // namespace qm::desktop
