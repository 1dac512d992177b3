// Temporary roots and child processes for tests.
#include "qm/testing/testing.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

namespace qm::testing {

TempRoot::TempRoot() {
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/qmroot.XXXXXX";
    char* made = mkdtemp(pattern.data());
    path_ = made ? made : "";
    for (const char* d : {"bin", "html/common", "html/en", "cache", "conf", "ntf/log", "htdocs",
                          "run", "log"}) {
        std::filesystem::create_directories(path_ + "/" + d);
    }
    if (const char* prev = std::getenv("QM_ROOT")) {
        previous_ = prev;
        hadPrevious_ = true;
    }
    setenv("QM_ROOT", path_.c_str(), 1);
}

TempRoot::~TempRoot() {
    if (hadPrevious_) setenv("QM_ROOT", previous_.c_str(), 1);
    else unsetenv("QM_ROOT");
    std::error_code ec;
    if (!path_.empty()) std::filesystem::remove_all(path_, ec);
}

Child::Child(const std::function<int()>& body) {
    pid_ = fork();
    if (pid_ == 0) {
        int rc = 99;
        try {
            rc = body();
        } catch (...) {
        }
        _exit(rc);
    }
}

Child::~Child() {
    if (pid_ > 0 && !reaped_) {
        Kill(SIGKILL);
        Wait(std::chrono::seconds(5));
    }
}

void Child::Kill(int signal) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

int Child::Wait(std::chrono::milliseconds timeout) {
    if (pid_ <= 0) return -1;
    auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid_, &status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            if (WIFEXITED(status)) return WEXITSTATUS(status);
            if (WIFSIGNALED(status)) return -WTERMSIG(status);
            return -1;
        }
        if (r < 0) return -1;
        if (std::chrono::steady_clock::now() > deadline) return -1;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

Holder::Holder(const std::function<int(const Hold& hold)>& setup) {
    if (pipe(pipe_) != 0) return;
    child_ = std::make_unique<Child>([&] {
        return setup([this] {
            char c = 'r';
            if (write(pipe_[1], &c, 1) != 1) _exit(98);
            for (;;) pause();
        });
    });
    ::close(pipe_[1]);
    pipe_[1] = -1;
    char c;
    ready_ = read(pipe_[0], &c, 1) == 1;  // EOF: the child ended without holding
}

Holder::~Holder() {
    child_.reset();
    if (pipe_[0] >= 0) ::close(pipe_[0]);
}

bool Eventually(const std::function<bool()>& cond, std::chrono::milliseconds timeout) {
    auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (cond()) return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return cond();
}

std::string BuildBinFolder() {
    std::error_code ec;
    return std::filesystem::read_symlink("/proc/self/exe", ec).parent_path().string();
}

int FreePort() {
    int s = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
    socklen_t len = sizeof a;
    ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
    ::close(s);
    return ntohs(a.sin_port);
}

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream content;
    content << in.rdbuf();
    return content.str();
}

pid_t StartBuiltProgram(const std::string& program, const std::vector<std::string>& args) {
    const std::string exe = BuildBinFolder() + "/" + program;
    std::vector<char*> argv{const_cast<char*>(exe.c_str())};
    for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
    argv.push_back(nullptr);
    const pid_t pid = fork();
    if (pid == 0) {
        execv(exe.c_str(), argv.data());
        _exit(127);
    }
    return pid;
}

}  // namespace qm::testing
