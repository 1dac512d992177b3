// Service control through named objects, and the service log.
#include "qm/platform/service_control.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <ctime>
#include <latch>

#include "qm/platform/clock.h"
#include "qm/platform/paths.h"

namespace qm::platform {

std::string ServiceMutexName(const std::string& service) { return "__MUTEX__" + service; }
std::string ServiceStopEventName(const std::string& service) { return "__STOP__" + service; }
std::string ServicePauseEventName(const std::string& service) { return "__PAUSE__" + service; }

ServiceControl::~ServiceControl() { Shutdown(); }

bool ServiceControl::Claim(const std::string& serviceName, const std::string& program,
                           std::string* error) {
    name_ = serviceName;
    std::string run = RootPath("run");
    MakeDirectories(run);
    std::string lockPath = run + "/" + program + ".lock";
    lock_.reset(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600));
    if (!lock_ || flock(lock_.get(), LOCK_EX | LOCK_NB) != 0) {
        *error = "another " + program + " already serves the installation " + InstallRoot();
        lock_.reset();
        return false;
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(lock_.get(), 0) == 0 && ::write(lock_.get(), pid.data(), pid.size()) < 0) {
        // the pid is only a hint for admins
    }
    return true;
}

bool ServiceControl::Announce(std::string* error) {
    int rc = mutex_.Create(ServiceMutexName(name_));
    if (rc != 0 && rc != kErrAlreadyExists) {
        *error = "cannot create the control mutex (error " + std::to_string(rc) + ")";
        return false;
    }
    return true;
}

void ServiceControl::Watch(std::function<void()> onStop, std::function<void(bool)> onPause) {
    ending_ = false;
    // Watch returns once both events exist and are cleared, so that a signal sent after it
    // returns is never taken for a stale one and thrown away.
    std::latch ready(2);
    stopThread_ = std::thread([this, &ready, onStop = std::move(onStop)] {
        NamedEvent stop;
        if (stop.Create(ServiceStopEventName(name_), false) != 0 && !stop.IsOpen()) {
            ready.count_down();
            return;
        }
        stop.Reset();  // a stop meant for an earlier run must not end this one
        ready.count_down();
        while (!ending_.load()) {
            if (stop.Wait(200) == 0 && !ending_.load()) {
                onStop();
                return;
            }
        }
    });
    pauseThread_ = std::thread([this, &ready, onPause = std::move(onPause)] {
        NamedEvent pause;
        if (pause.Create(ServicePauseEventName(name_), false) != 0 && !pause.IsOpen()) {
            ready.count_down();
            return;
        }
        pause.Reset();
        ready.count_down();
        while (!ending_.load()) {
            if (pause.Wait(200) != 0 || ending_.load()) continue;
            // The mutex is owned by this thread while paused; ownership is per thread.
            if (!paused_.load()) {
                mutex_.Wait();
                paused_ = true;
            } else {
                mutex_.Release();
                paused_ = false;
            }
            if (onPause) onPause(paused_.load());
        }
        if (paused_.load()) {
            mutex_.Release();
            paused_ = false;
        }
    });
    ready.wait();
}

void ServiceControl::Shutdown() {
    ending_ = true;
    // The watchers wait in short slices, so they see the flag within a fraction of a second.
    if (stopThread_.joinable() && stopThread_.get_id() != std::this_thread::get_id()) {
        stopThread_.join();
    } else if (stopThread_.joinable()) {
        stopThread_.detach();
    }
    if (pauseThread_.joinable()) pauseThread_.join();
    mutex_.Close();
    lock_.reset();
}


ServiceLog::ServiceLog(const std::string& folder, const std::string& file)
    : path_(folder + "/" + file) {}

void ServiceLog::Append(const std::string& text) {
    std::string line = text;
    if (line.empty() || line.back() != '\n') line.push_back('\n');
    std::lock_guard<std::mutex> g(lock_);
    UniqueFd fd(::open(path_.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0640));
    if (!fd) return;
    ssize_t n = ::write(fd.get(), line.data(), line.size());
    (void)n;
}

std::string ServiceLog::OneLine(std::string_view text) {
    static constexpr char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(text.size());
    for (const char c : text) {
        const auto u = static_cast<unsigned char>(c);
        if (u < 0x20 || u == 0x7F || c == '\\') {
            out += '\\';
            switch (c) {
                case '\n': out += 'n'; break;
                case '\r': out += 'r'; break;
                case '\t': out += 't'; break;
                case '\\': out += '\\'; break;
                default:
                    out += 'x';
                    out += kHex[u >> 4];
                    out += kHex[u & 0xF];
            }
        } else {
            out += c;
        }
    }
    return out;
}

void ServiceLog::Info(const std::string& text) {
    Append(platform::LocalTimeText("%Y/%m/%d %H:%M:%S ") + OneLine(text));
}

// The control helpers match the first seven characters, so the prefix leads the line.
void ServiceLog::Error(const std::string& text) {
    Append("[Error] " + platform::LocalTimeText("%Y/%m/%d %H:%M:%S ") + OneLine(text));
}

int QueryServiceState(const std::string& serviceName) {
    NamedMutex m;
    int rc = m.Open(ServiceMutexName(serviceName));
    if (rc == kErrFileNotFound) return 0;
    if (rc != 0) return -1;
    // The service owns the mutex only while paused.
    if (m.Wait(0) == 0) {
        m.Release();
        return 1;
    }
    return 2;
}

namespace {

// Only a running service listens; an event nobody made is not created just to be lost.
int Signal(const std::string& eventName) {
    NamedEvent e;
    if (e.Open(eventName) != 0) return -1;
    return e.Set() == 0 ? 0 : -1;
}

}  // namespace

int SignalServiceStop(const std::string& serviceName) {
    return Signal(ServiceStopEventName(serviceName));
}

int SignalServicePause(const std::string& serviceName) {
    return Signal(ServicePauseEventName(serviceName));
}

std::string LastServiceErrorLine(const std::string& logPath) {
    std::FILE* f = std::fopen(logPath.c_str(), "r");
    if (!f) return {};
    std::string last;
    char line[128];
    bool atLineStart = true;
    while (std::fgets(line, sizeof line, f)) {
        size_t n = std::strlen(line);
        bool complete = n > 0 && line[n - 1] == '\n';
        if (atLineStart && std::strncmp(line, "[Error]", 7) == 0) {
            while (n > 0 && (line[n - 1] == '\n' || line[n - 1] == '\r')) --n;
            last.assign(line, n);
        }
        atLineStart = complete;
    }
    std::fclose(f);
    return last;
}

}  // namespace qm::platform
