// Test helpers: a throw-away installation root per test, and forked child processes for the
// cross-process cases.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

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

// A child process that sets something up (creates an object, takes a lock...) and then holds
// it until killed. The constructor returns once the set-up has finished in the child.
class Holder {
public:
    // `setup` runs in the child and calls hold() once its objects exist: hold() reports the
    // child ready and never returns, so everything `setup` made stays alive until the child is
    // killed. A `setup` that returns instead ends the child with its result.
    using Hold = std::function<void()>;
    explicit Holder(const std::function<int(const Hold& hold)>& setup);
    ~Holder();
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;
    bool ready() const { return ready_; }
    void Kill(int signal = 9) { child_->Kill(signal); }
    int Wait(std::chrono::milliseconds timeout = std::chrono::seconds(20)) {
        return child_->Wait(timeout);
    }

private:
    int pipe_[2] = {-1, -1};
    std::unique_ptr<Child> child_;
    bool ready_ = false;
};

// Polls `cond` until it is true or the time runs out.
bool Eventually(const std::function<bool()>& cond,
                std::chrono::milliseconds timeout = std::chrono::seconds(10));

// A TCP port on 127.0.0.1 that was free a moment ago (servers under test listen there).
int FreePort();

// The build's bin/ folder (where the test binary and the libraries live).
std::string BuildBinFolder();

// The whole content of a file; "" when it cannot be read.
std::string ReadFile(const std::string& path);

// Starts `program` from the build's bin/ folder with `args` in a new process and returns its
// pid (the caller waits for it); a program that cannot be started exits with 127.
pid_t StartBuiltProgram(const std::string& program, const std::vector<std::string>& args);

}  // namespace qm::testing
