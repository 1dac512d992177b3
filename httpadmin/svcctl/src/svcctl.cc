// The service control helpers over qmhttpd's named objects (see svcctl.h).
#include "qm/svcctl/svcctl.h"

#include <sys/utsname.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>

#include "qm/platform/clock.h"
#include "qm/platform/paths.h"
#include "qm/platform/process.h"
#include "qm/platform/registry.h"
#include "qm/platform/service_control.h"

namespace {

using qm::platform::RegRoot;

constexpr const char* kServiceName = "QNQuinsward_Httpd";
constexpr const char* kHttpdKey = "SOFTWARE\\OvrelNet\\OvrelNetQuinsward\\Httpd";
constexpr int kPollIntervalMs = 200;
constexpr int kPollCount = 25;  // 5 seconds in all

bool InstallationPath(std::string* out) {
    qm::platform::RegValue v;
    if (qm::platform::RegGetValue(RegRoot::LocalMachine, kHttpdKey, "InstallationPath", &v) != 0 ||
        v.type != qm::platform::kRegSz) {
        return false;
    }
    *out = qm::platform::ToPosixPath(v.text);
    while (out->size() > 1 && out->back() == '/') out->pop_back();
    return true;
}

// Polls the state until it is `wanted`: 0 when it arrives, 1 when the polls run out.
int WaitForState(int wanted) {
    for (int i = 0; i < kPollCount; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(kPollIntervalMs));
        if (GetServerState() == wanted) return 0;
    }
    return 1;
}

// The server program: InstallationPath holds it on a plain installation; an installation that
// keeps its administration programs out of the CGI folder has it in sbin/.
std::string ServerProgram(const std::string& installationPath) {
    for (const std::string& p :
         {installationPath + "/qmhttpd", qm::platform::RootPath("sbin") + "/qmhttpd"}) {
        if (access(p.c_str(), X_OK) == 0) return p;
    }
    return {};
}

// Pausing and continuing are one toggle of the server's pause event, made only from the
// opposite state: 0 when the server is (or gets) `to`, -1 from any other state.
int TogglePause(int from, int to, int noWait) {
    int state = GetServerState();
    if (state == to) return 0;
    if (state != from) return -1;
    if (qm::platform::SignalServicePause(kServiceName) != 0) return -1;
    if (noWait) return 0;
    return WaitForState(to);
}

}  // namespace

extern "C" {

int GetPlatform(unsigned* version) {
    if (version) {
        *version = 0;
        utsname u{};
        if (uname(&u) == 0) {
            unsigned major = 0, minor = 0;
            std::sscanf(u.release, "%u.%u", &major, &minor);
            *version = (major << 16) | (minor & 0xFFFFu);
        }
    }
    return qm::platform::PlatformClass();
}

int GetServerState(void) {
    if (qm::platform::PlatformClass() != 2) return QM_SERVER_UNKNOWN;
    int state = qm::platform::QueryServiceState(kServiceName);
    return state >= 0 && state <= 2 ? state : QM_SERVER_UNKNOWN;
}

int StartServer(int noWait) {
    int state = GetServerState();
    if (state == QM_SERVER_RUNNING) return 0;
    if (state == QM_SERVER_PAUSED) return -1;
    std::string install;
    if (!InstallationPath(&install)) return -1;
    std::string program = ServerProgram(install);
    if (program.empty()) return -1;
    if (qm::platform::StartDetached({program, "--root", qm::platform::InstallRoot()}) != 0) {
        return -1;
    }
    if (noWait) return 0;
    return WaitForState(QM_SERVER_RUNNING);
}

int StopServer(int noWait) {
    if (GetServerState() == QM_SERVER_STOPPED) return 0;
    if (qm::platform::SignalServiceStop(kServiceName) != 0) return -1;
    if (noWait) return 0;
    return WaitForState(QM_SERVER_STOPPED);
}

int PauseServer(int noWait) { return TogglePause(QM_SERVER_RUNNING, QM_SERVER_PAUSED, noWait); }

int ContinueServer(int noWait) { return TogglePause(QM_SERVER_PAUSED, QM_SERVER_RUNNING, noWait); }

int ServiceLogPath(char* buf, size_t size) {
    std::string install;
    if (!buf || size == 0 || !InstallationPath(&install)) return -1;
    std::string path = install + "/servicelog.txt";
    if (path.size() + 1 > size) return -1;
    std::memcpy(buf, path.c_str(), path.size() + 1);
    return 0;
}

size_t LastErrorLine(const char* logPath, char* buf, size_t size) {
    if (!buf || size == 0) return 0;
    std::string last = logPath ? qm::platform::LastServiceErrorLine(logPath) : std::string();
    size_t n = last.size() < size - 1 ? last.size() : size - 1;
    std::memcpy(buf, last.data(), n);
    buf[n] = '\0';
    return n;
}

}  // extern "C"
