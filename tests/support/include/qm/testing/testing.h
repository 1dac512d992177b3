// Test helpers: a throw-away installation root per test, and forked child processes for the
// cross-process cases.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <string>

namespace qm::testing {

// Makes a fresh root under $TMPDIR with the runtime folders, points QM_ROOT at it for the
// lifetime of the object, and removes it afterwards.
class TempRoot {
public:
    TempRoot();
    ~TempRoot();
    TempRoot(const TempRoot&) = delete;
    TempRoot& operator=(const TempRoot&) = delete;
    const std::string& path() const { return path_; }
    std::string operator/(const std::string& rel) const { return path_ + "/" + rel; }

private:
    std::string path_;
    std::string previous_;
    bool hadPrevious_ = false;
};

// Runs `body` in a forked child; the child's exit status is body's return value.
class Child {
public:
    explicit Child(const std::function<int()>& body);
    ~Child();  // kills the child if it is still running
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    pid_t pid() const { return pid_; }
    // Exit status, or -1 on time-out / abnormal end (a kill gives -signal).
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20));
    void Kill(int signal = 9);

private:
    pid_t pid_ = -1;
    bool reaped_ = false;
};

// Polls `cond` until it is true or the time runs out.
bool Eventually(const std::function<bool()>& cond,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// The build's bin/ folder (where the test binary and the libraries live).
std::string BuildBinFolder();

}  // namespace qm::testing
