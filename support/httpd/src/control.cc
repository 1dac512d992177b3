// Stop and pause through named objects.
#include "control.h"

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "qm/platform/paths.h"

namespace qm::httpd {

ServiceControl::~ServiceControl() { Shutdown(); }

bool ServiceControl::Claim(const std::string& serviceName, std::string* error) {
    name_ = serviceName;
    // The mutex alone cannot tell a second server from a control helper that has it open for
    // a moment, so one lock file decides who serves this installation.
    std::string run = platform::RootPath("run");
    platform::MakeDirectories(run);
    std::string lockPath = run + "/qmhttpd.lock";
    lockFd_ = ::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (lockFd_ < 0 || flock(lockFd_, LOCK_EX | LOCK_NB) != 0) {
        *error = "another qmhttpd already serves the installation " + platform::InstallRoot();
        if (lockFd_ >= 0) ::close(lockFd_);
        lockFd_ = -1;
        return false;
    }
    std::string pid = std::to_string(getpid()) + "\n";
    if (ftruncate(lockFd_, 0) == 0 && ::write(lockFd_, pid.data(), pid.size()) < 0) {
        // the pid is only a hint for admins
    }
    return true;
}

bool ServiceControl::Announce(std::string* error) {
    int rc = mutex_.Create("__MUTEX__" + name_);
    if (rc != 0 && rc != platform::kErrAlreadyExists) {
        *error = "cannot create the control mutex (error " + std::to_string(rc) + ")";
        return false;
    }
    return true;
}

void ServiceControl::Watch(std::function<void()> onStop, std::function<void(bool)> onPause) {
    stopThread_ = std::thread([this, onStop = std::move(onStop)] {
        platform::NamedEvent stop;
        if (stop.Create("__STOP__" + name_, false) != 0 &&
            !stop.IsOpen()) {
            return;
        }
        stop.Reset();  // a stop meant for an earlier server must not end this one
        while (!ending_.load()) {
            if (stop.Wait(200) == 0 && !ending_.load()) {
                onStop();
                return;
            }
        }
    });
    pauseThread_ = std::thread([this, onPause = std::move(onPause)] {
        platform::NamedEvent pause;
        if (pause.Create("__PAUSE__" + name_, false) != 0 && !pause.IsOpen()) return;
        pause.Reset();
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
            onPause(paused_.load());
        }
        if (paused_.load()) {
            mutex_.Release();
            paused_ = false;
        }
    });
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
    if (lockFd_ >= 0) ::close(lockFd_);
    lockFd_ = -1;
}

}  // namespace qm::httpd
